// Machine profiles: parsing, errors that name their source, faults.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "sim/common/input_file.h"
#include "tests/kernel/test_driver.h"

namespace {

using namespace testdrv;

std::string error_of(sim::kernel::Kernel& k, const std::string& text) {
  try {
    k.load_profile_text(text, "machine.json");
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

class ProfileTest : public Fixture {};

TEST_F(ProfileTest, BadProfilesAreRefusedWithTheirSourceAndPlace) {
  EXPECT_NE(error_of(kernel, "{ not json").find("machine.json:1: not valid JSON"), std::string::npos);
  EXPECT_EQ(error_of(kernel, R"({"adapters": [{"bars": [{"type": "memory", "size": 4000}]}]})"),
            "machine.json:1: adapters[0].bars[0].size: must be a power of two of at least 16");
  EXPECT_EQ(error_of(kernel, R"({"adapters": [{"bars": [{"type": "rom", "size": 4096}]}]})"),
            "machine.json:1: adapters[0].bars[0].type: must be \"memory\" or \"io\"");
  EXPECT_EQ(error_of(kernel, R"({"adapters": [{"device": 32, "bars": []}]})"),
            "machine.json:1: adapters[0].device: 32 is out of range (at most 31)");
  EXPECT_EQ(error_of(kernel, R"({"adapter": []})"),
            "machine.json:1: adapter: unknown key \"adapter\" (known: buses, adapters, translate_to_io, faults, "
            "comment, bios_image, client)");
  EXPECT_EQ(error_of(kernel, R"({"faults": {"eject_floppy": "always"}})"),
            "machine.json:1: faults.eject_floppy: unknown fault \"eject_floppy\"");
  // The line is the line of the offending key or value.
  EXPECT_EQ(error_of(kernel,
                     "{\n \"adapters\": [\n  { \"bars\": [],\n    \"irq\": 5 },\n  { \"bars\": [],\n"
                     "    \"device\": 4,\n    \"eeprom\": { \"words\": true } } ] }"),
            "machine.json:7: adapters[1].eeprom.words: must be a number or a numeric string");
  EXPECT_EQ(error_of(kernel, "{\n \"adapters\": [\n  { \"bars\": [],\n    \"irq\": \"x\" } ] }"),
            "machine.json:4: adapters[0].irq: \"x\" is not a number");
  EXPECT_EQ(error_of(kernel, R"({"adapters": [{"bars": []}, {"bars": []}]})"),
            "machine.json:1: adapters[1]: slot already taken by another adapter");
  // A key given twice in one object (the JSON reader would keep the last),
  // also when an escape spells it differently.
  EXPECT_EQ(error_of(kernel, "{\"buses\": [0],\n \"buses\": [1]}"), "machine.json:2: buses: duplicate key \"buses\"");
  EXPECT_EQ(error_of(kernel, "{\"adapters\": [{\"bars\": []}, {\"bars\": [],\n \"irq\": 5, \"\\u0069rq\": 6}]}"),
            "machine.json:2: adapters[1].irq: duplicate key \"irq\"");
  // A PHY or register named by an empty key is not PHY or register 0.
  EXPECT_EQ(error_of(kernel, R"({"adapters": [{"bars": [], "phys": {"": {}}}]})"),
            "machine.json:1: adapters[0].phys: phys: bad PHY address ''");
  EXPECT_EQ(error_of(kernel, R"({"adapters": [{"bars": [], "device": 4}, {"bars": [], "device": 5}]})"), "");
  // A refused profile leaves the machine as it was.
  EXPECT_NE(kernel.adapter(0), nullptr);

  const auto file = std::filesystem::temp_directory_path() / "nickit_bad_profile.json";
  std::ofstream(file) << R"({"adapters": [{"vendor": "0xZZ", "bars": []}]})";
  try {
    kernel.load_profile_file(file);
    ADD_FAILURE() << "accepted a bad vendor";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), file.string() + ":1: adapters[0].vendor: \"0xZZ\" is not a number");
  }
  std::filesystem::remove(file);
  EXPECT_THROW(kernel.load_profile_file("/nonexistent/machine.json"), std::runtime_error);
}

TEST_F(ProfileTest, ProfileDescribesAdaptersBusesAndFaults) {
  kernel.load_profile_text(R"({
    "buses": [0, 2],
    "adapters": [ { "bus": 2, "device": 9, "function": 1, "device_id": "0x1030", "irq": 5,
                    "bars": [ { "type": "io", "size": 32, "address": "0xC000" } ] } ],
    "faults": { "create_device": "always" } })");
  ULONG vendor = 0;
  PCI_SLOT_NUMBER s;
  s.u.AsULONG = 0;
  s.u.bits.DeviceNumber = 9;
  s.u.bits.FunctionNumber = 1;
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 2, s.u.AsULONG, &vendor, 0, 4), 4u);
  EXPECT_EQ(vendor, 0x10308086u);
  EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 1, s.u.AsULONG, &vendor, 0, 4), 0u);  // no bus 1
  EXPECT_EQ(kernel.load_driver(DriverEntry, kRegistryPath), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_FALSE(kernel.driver_loaded());

  // The built-in default is a profile like any other.
  kernel.load_profile_text(sim::kernel::Kernel::default_profile_json());
  load();
  EXPECT_TRUE(unload().empty());
}

// The one reader of the files a user names, in its two wordings: the file's
// role ("the profile ...") or the file itself. A pipe, a socket, a device or
// a folder is refused without blocking; a file over the limit by its size.
TEST(InputFile, RefusesWhatIsNotARegularFileWithinTheLimit) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("nickit-input-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::ofstream(dir / "ok.json") << "{}";
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string sock_path = (dir / "sock").string();
  ASSERT_LT(sock_path.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, sock_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const struct {
    std::string file;
    std::uintmax_t limit;
    std::string named, plain;  // the message with the role "profile", and without
  } cases[] = {
      {"ok.json", 2, "", ""},
      {"ok.json", 1, "the profile is larger than 1 bytes", "the file is 2 bytes, more than the limit of 1"},
      {"none.json", 9, "cannot open the profile: no such file", "no such file"},
      {"ok.json/x", 9, "cannot open the profile: Not a directory", "cannot open: Not a directory"},
      {"", 9, "the profile is not a regular file", "is a folder, not a file"},
      {"fifo", 9, "the profile is not a regular file", "not a regular file (a device, pipe or socket is not read)"},
      {"sock", 9, "the profile is not a regular file", "not a regular file (a device, pipe or socket is not read)"},
  };
  for (const auto& c : cases) {
    const fs::path file = dir / c.file;
    for (const char* role : {"profile", static_cast<const char*>(nullptr)}) {
      const std::string expected = role ? c.named : c.plain;
      try {
        EXPECT_EQ(sim::read_input_file(file, c.limit, role), "{}") << c.file;
        EXPECT_EQ(expected, "") << c.file;
      } catch (const sim::InputError& e) {
        EXPECT_EQ(e.what(), file.string() + ": " + expected) << c.file;
      }
    }
  }
  try {
    sim::read_input_file("/dev/zero", 9, "profile");
    ADD_FAILURE() << "read /dev/zero";
  } catch (const sim::InputError& e) {
    EXPECT_STREQ(e.what(), "/dev/zero: the profile is not a regular file");
  }
  ::close(sock);
  fs::remove_all(dir);
}

}  // namespace
