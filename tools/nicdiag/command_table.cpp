// The table of nicdiag's commands: each command's name, its handler and its
// lines of --help. Dispatch and --help are both made from it; --help lists
// the commands in the table's order.
#include <cstdio>
#include <string>

#include "tools/nicdiag/command.h"
#include "tools/nicdiag/service.h"

namespace nicdiag {
namespace {

const char kUsageHead[] =
    "usage: nicdiag [--profile FILE] [--json] [--quiet] [--debug-log] [--stop-on-error] [--script FILE|-]\n"
    "               COMMAND [ARGS] [; COMMAND [ARGS]] ...\n"
    "\n"
    "Sends device-control requests to the NICPORT driver (\\\\.\\NICPORT) and prints what came back.\n"
    "Several commands run in one session when separated by a ';' argument (quote it: ';'),\n"
    "or one per line of a --script file ('#' starts a comment); mapped windows stay mapped\n"
    "between the commands of one session.\n"
    "\n"
    "Options:\n"
    "  --profile FILE   hardware profile of the simulated machine (default: built-in adapter)\n"
    "  --json           one JSON object per command and line: status, information, output\n"
    "                   (hex of the bytes returned), sim_time_us (virtual time taken) and more\n"
    "  --script FILE    read the commands from FILE (after any given on the command line);\n"
    "                   - reads them from standard input\n"
    "  --stop-on-error  end the session at the first command that fails\n"
    "  --quiet, -q      no notes on standard error (\"written to FILE\") and no progress line\n"
    "  --debug-log      echo the driver's debug output (DbgPrint) to stderr, prefixed 'dbg: '\n"
    "  --version        nicdiag's version\n"
    "  --help           this text\n"
    "\n"
    "Commands (numbers are decimal, or hexadecimal with 0x):\n";

const char kUsageNotes[] =
    "\n"
    "SLOT is the PCI slot number (device in bits 0-4, function in bits 5-7) or DEVICE.FUNCTION.\n"
    "-s [[DOMAIN:]BUS:]DEVICE[.FUNCTION], in hexadecimal as lspci -s takes it (00:03.0), can\n"
    "stand for BUS SLOT (pci read/write, validate) and for --bus/--device (eeprom, phy, resources).\n"
    "Every command is checked before the first one runs; an error names the script's file and\n"
    "line. No --out may name an input of the run (the profile, the script, an image, a file the\n"
    "profile names); --out - is standard output. Numbers are decimal (010 is ten) or 0x hex.\n"
    "\n";

// After the platform's note: what the exit status says, and examples.
const char kUsageEnd[] =
    "\n"
    "Exit status:\n"
    "  0    every command succeeded\n"
    "  1    a request failed, the driver left something behind at unload, an EEPROM image could\n"
    "       not be saved or standard output could not be written\n"
    "  2    bad input: usage, an unreadable or malformed script or profile\n"
    "  3    the device could not be opened\n"
    "  4    a service command in a build that cannot manage services (not Windows)\n"
    "  5    a service command not run as an administrator\n"
    "  6    the service is not in the state the command needs (already installed, also with\n"
    "       another ImagePath; not installed; already running; not running; still running after\n"
    "       a stop)\n"
    "  7    the service is marked for deletion (restart Windows)\n"
    "  8    the driver file is missing\n"
    "  9    a service key is left in the registry that the service control manager does not know\n"
    "  130  Ctrl-C ended the session (after the command it arrived in; the EEPROM image is saved\n"
    "       as at any other end)\n"
    "  129  SIGHUP ended the session, as Ctrl-C does\n"
    "  143  SIGTERM ended the session, as Ctrl-C does\n"
    "\n"
    "Examples:\n"
    "  nicdiag id\n"
    "  nicdiag pci list\n"
    "  nicdiag eeprom dump --out saved-eeprom.txt\n"
    "  nicdiag eeprom restore saved-eeprom.txt --yes\n"
    "  nicdiag --json phy dump ';' pci read 0 3 0 64\n"
    "  nicdiag --script commands.txt --stop-on-error\n";

}  // namespace

const CommandRow kCommands[] = {
    {"id", CommandId, "  id                                  identification value of the driver (0x21)\n"},
    {"port", CommandPort,
     "  port read 8|16|32 PORT              read an I/O port\n"
     "  port write 8|16|32 PORT VALUE [--truncate]\n"
     "                                      write an I/O port; a VALUE wider than the access is\n"
     "                                      refused unless --truncate writes its low bits\n"},
    {"mem", CommandMem,
     "  mem map BUS ADDRESS LENGTH          map LENGTH bytes of PCI bus memory at ADDRESS;\n"
     "                                      prints the window's virtual address\n"
     "  mem read 8|16|32 ADDRESS            read inside a mapped window\n"
     "  mem write 8|16|32 ADDRESS VALUE [--truncate]\n"
     "                                      write inside a mapped window (VALUE as for port write)\n"
     "  mem unmap ADDRESS LENGTH            unmap a window (its virtual address and length)\n"},
    {"pci", CommandPci,
     "  pci read BUS SLOT OFFSET LENGTH     read PCI configuration space (16 bytes a line,\n"
     "                                      laid out as lspci -x prints it)\n"
     "  pci write BUS SLOT OFFSET HEXBYTES  write PCI configuration space (bytes as hex, e.g. 0700);\n"
     "                                      fewer bytes read or written than asked is a failure\n"
     "  pci list                            every function of every device on every bus that\n"
     "                                      answers: BB:DD.F CLASS: VENDOR:DEVICE (rev RR)\n"},
    {"validate", CommandValidate,
     "  validate ADDRESS BUS SLOT           validate a memory window address (re-assigns the\n"
     "                                      slot's resources when not on a 2 MB boundary)\n"},
    {"first-range", CommandFirstRange,
     "  first-range                         start of the first range of the last assignment\n"},
    {"stall", CommandStall, "  stall MICROSECONDS                  busy-wait in the driver\n"},
    {"eeprom", CommandEeprom,
     "  eeprom size|dump|read WORD|write WORD VALUE|fix-checksum|restore FILE [--method io|mem]\n"
     "         [--size WORDS] [-s BB:DD.F | --bus BUS --device DEVICE[.FUNCTION] | --register ADDRESS]\n"
     "         [--out FILE|-] [--yes] [--checksum] [--ignore-checksum]\n"
     "                                      the adapter's serial EEPROM: size probe, all words\n"
     "                                      (16 a line, MAC address, checksum verdict: all words\n"
     "                                      sum to 0xBABA in a valid image, the last word making\n"
     "                                      it so; --out FILE saves them, .bin as little-endian\n"
     "                                      bytes, else hex text), one word, a write (asks first\n"
     "                                      unless --yes; with --checksum it reads the part and\n"
     "                                      says when the write leaves the sum wrong), or\n"
     "                                      fix-checksum, which writes the last word so the sum is\n"
     "                                      right; restore writes an image saved by --out back\n"
     "                                      (- reads it from standard input), refusing one whose\n"
     "                                      sum is wrong unless --ignore-checksum, and checks\n"
     "                                      every word. --size is checked against the size probe.\n"
     "                                      --out - prints the image. ADDRESS is the EEPROM\n"
     "                                      control register; by\n"
     "                                      default the adapter's I/O window (io) or memory\n"
     "                                      window (mem) + 0x0E\n"},
    {"phy", CommandPhy,
     "  phy dump|scan|read REG|write REG VALUE [--phy-address N] [--method io|mem]\n"
     "         [-s BB:DD.F | --bus BUS --device DEVICE[.FUNCTION] | --register BASE]\n"
     "                                      PHY management registers through the MDI control\n"
     "                                      register at BASE + 0x10; dump decodes BMCR, BMSR, the\n"
     "                                      identifier, ANAR and ANLPAR; scan lists the addresses\n"
     "                                      that answer. N: odd, default 1\n"
     "  eeprom and phy act on the first supported adapter (vendor 8086, device 1229, 1000 or\n"
     "  5201) unless --bus/--device or --register names another; their output names it.\n"},
    {"raw", CommandRaw,
     "  raw CODE [HEXBYTES] [--out N]       any control code with any input; N output bytes\n"
     "                                      (default 8); prints status, byte count and bytes\n"},
    {"resources", CommandResources,
     "  resources SLOT memory|port LENGTH ALIGNMENT MIN MAX [--bus B] [--slot S | -s BB:DD.F]\n"
     "  resources SLOT irq MIN MAX [--bus B] [--slot S | -s BB:DD.F]\n"
     "  resources SLOT release [--bus B] [--slot S | -s BB:DD.F]\n"
     "                                      claim a range or an interrupt for slot object SLOT\n"
     "                                      (0-3) for PCI device B/S, or give its claim back\n"},
    {"dmi", CommandDmi,
     "  dmi [--out FILE|-]                  the SMBIOS structure table, decoded; --out saves it\n"
     "                                      as a dump that dmidecode --from-dump reads (entry\n"
     "                                      point, then the table at offset 0x20). Without a\n"
     "                                      _DMI_ anchor, the SMBIOS 3.0 entry point is looked\n"
     "                                      for through mem map/read. Every entry point's checksum\n"
     "                                      is verified first\n"},
    {"pir", CommandPir,
     "  pir [--out FILE|-]                  the PCI interrupt routing table ($PIR), decoded once\n"
     "                                      its checksum is verified; --out saves its raw bytes\n"},
    {"install", CommandInstall,
     "  install [PATH]                      install the driver as the kernel service " NICDIAG_SERVICE_NAME ",\n"
     "                                      demand start, ImagePath\n"
     "                                      " NICDIAG_IMAGE_PATH ";\n"
     "                                      with PATH, copy that " NICDIAG_DRIVER_FILE " (or the one in\n"
     "                                      folder PATH) to %SystemRoot%\\System32\\drivers first\n",
     true},
    {"start", CommandStart, "  start                               start the service (load the driver)\n", true},
    {"stop", CommandStop, "  stop                                stop the service (unload the driver)\n", true},
    {"remove", CommandRemove,
     "  remove                              stop the service if it runs, then delete it (the driver\n"
     "                                      file stays); install, start, stop and remove need\n"
     "                                      Windows and an administrator, and close the device\n"
     "                                      if an earlier command of the session opened it\n",
     true},
};

void Execute(Run &run) {
  const std::string &name = run.words[0];
  for (const CommandRow &command : kCommands) {
    if (name == command.name) {
      command.handler(run);
      return;
    }
  }
  run.Usage("unknown command '" + name + "' (see --help)");
}

bool RunsWithoutDevice(const std::string &name) {
  for (const CommandRow &command : kCommands)
    if (name == command.name) return command.without_device;
  return false;
}

void PrintUsage() {
  std::fputs(kUsageHead, stdout);
  for (const CommandRow &command : kCommands) std::fputs(command.help, stdout);
  std::fputs(kUsageNotes, stdout);
  std::printf("%s\n", kPlatformNote);
  std::fputs(kUsageEnd, stdout);
}

}  // namespace nicdiag
