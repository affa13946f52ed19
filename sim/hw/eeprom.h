// Model of a Microwire serial EEPROM in x16 organisation (93C46/93C56/93C66
// class parts), written from the parts' data sheets:
//
// - Instructions are clocked in on DI at rising SK edges while CS is high:
//   a start bit (the first 1 seen on DI; leading zeros are ignored), a
//   two-bit opcode, the address, and for WRITE and WRAL sixteen data bits.
//   Opcodes: 10 READ, 01 WRITE, 11 ERASE; 00 selects by its two top address
//   bits 11 EWEN, 00 EWDS, 10 ERAL, 01 WRAL (the other bits are don't-care
//   but must be clocked).
// - An instruction executes only when all of its bits have been clocked in;
//   taking CS low earlier abandons it. Once complete, SK and DI are
//   don't-care until CS goes low.
// - READ: after the rising edge of the last address bit the part drives a
//   dummy 0 on DO; each following rising edge shifts out the next data bit,
//   D15 first. While CS stays high the output continues with the next word
//   (sequential read), wrapping at the end of the array.
// - The write-enable latch is off at power-up; ERASE, WRITE, ERAL and WRAL
//   are refused while it is off. EWEN sets it, EWDS clears it.
// - Programming is self-timed: by default it starts on the falling edge of
//   CS after a complete programming instruction (93AA/93LC parts); the
//   option `start_on_last_clock` starts it on the rising edge of the last
//   bit instead (5 V 93C parts). While it runs the part ignores everything.
//   When CS is raised again after a programming instruction, DO shows the
//   status: 0 busy, 1 ready, until a start bit is clocked in.
// - DO is high-impedance whenever the part does not drive it; the adapter
//   pulls it up, so data_out() then reads 1.
//
// Timing is kept in the machine's virtual clock, and the part holds its
// master to the data sheet's minimum timings (MicrowireTiming): each
// violation is recorded, and passed to the violation sink with whoever
// drove the pins. A violation is between two events (the earlier edge and
// the one that came too soon); the master probe says, at every write of the
// pins, whether the driver's own routines drive them or a client's values
// pass through the driver untouched (raw register writes). Both events the
// driver's: the driver's fault (the simulated kernel records it as one);
// either of them a client's: the client's misuse.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "sim/common/clock.h"

namespace sim::hw {

enum class MicrowireOp { none, read, write, erase, ewen, ewds, eral, wral };

const char* to_string(MicrowireOp op);

// What the part did with a completely received instruction.
enum class MicrowireOutcome {
  incomplete,        // CS went low (or never rose) before the instruction was complete
  executed,          // done (for programming instructions: programming started)
  refused_disabled,  // ERASE/WRITE/ERAL/WRAL while the write-enable latch is off
};

// One chip-select-high period as the part saw it.
struct MicrowireSession {
  std::uint64_t start_ns = 0;
  std::uint64_t end_ns = 0;   // 0 while still selected
  std::string di;             // DI at each rising SK edge, '0' / '1'
  std::string dout;           // DO just after each rising SK edge
  bool ignored_busy = false;  // selected while programming was in progress
  MicrowireOp op = MicrowireOp::none;
  MicrowireOutcome outcome = MicrowireOutcome::incomplete;
  unsigned address = 0;     // address field as received (all address bits)
  std::uint16_t data = 0;   // data field of WRITE / WRAL
  unsigned words_read = 0;  // complete data words shifted out by READ
  std::size_t clocks() const { return di.size(); }
};

// Who set the pin levels of a write of the control register.
enum class PinMaster { driver, client };

struct EepromFaults {
  bool never_ready = false;    // programming never completes (DO stays busy)
  bool do_stuck_high = false;  // DO always reads 1
  bool do_stuck_low = false;   // DO always reads 0
};

// Minimum timings of a 93XX46/56/66 class part at 2.5 to 5.5 V, in
// nanoseconds (the data sheets' AC characteristics). A clock edge, a
// chip-select edge or a data change closer to the previous event than
// these is a fault of the bus master.
struct MicrowireTiming {
  std::uint64_t clock_high_ns = 250;  // TCKH
  std::uint64_t clock_low_ns = 200;   // TCKL
  std::uint64_t cs_setup_ns = 100;    // TCSS: CS high before the first rising SK
  std::uint64_t cs_hold_ns = 0;       // TCSH: SK low before CS falls
  std::uint64_t cs_low_ns = 250;      // TCSL: CS low between instructions
  std::uint64_t data_setup_ns = 100;  // TDIS: DI stable before a rising SK that samples it
  std::uint64_t data_hold_ns = 100;   // TDIH: DI stable after a rising SK that sampled it
};

struct EepromConfig {
  unsigned words = 64;                        // x16 words; a power of two for the presets
  unsigned address_bits = 6;                  // address bits the part expects per instruction
  std::uint64_t program_time_ns = 5'000'000;  // tWC: erase/write cycle
  bool start_on_last_clock = false;
  MicrowireTiming timing;
  EepromFaults faults;
  std::vector<std::uint16_t> contents;  // initial words; missing ones read 0xFFFF
  // Where the owner saves the words when the part goes away ("file" with
  // "save": true in a profile), so that writes persist between runs.
  std::filesystem::path save_path;
  // The image file the words were loaded from ("file" in a profile), if any.
  std::filesystem::path file;
  // The image file's text as loaded: a save rewrites its words in place and
  // keeps its comments and layout.
  std::string save_text;

  static EepromConfig part_64x16();   // 93C46 class: 64 words, 6 address bits
  static EepromConfig part_128x16();  // 93C56 class: 128 words, 8 address bits, A7 ignored
  static EepromConfig part_256x16();  // 93C66 class: 256 words, 8 address bits
  static EepromConfig generic(unsigned words, unsigned address_bits);
};

// Reads the `eeprom` object of a hardware profile:
//   {"words": 64, "address_bits": 6, "contents": [...] | "file": "path",
//    "program_time_us": 5000, "never_ready": false, "do_stuck_high": false,
//    "do_stuck_low": false, "save": false}
// `address_bits` defaults to the preset for the size (6, 8, 8), otherwise to
// the smallest width that covers the size. A relative `file` is taken from
// `base_dir`; "save": true (with "file") sets save_path to it. Throws std::runtime_error on malformed input.
EepromConfig eeprom_config_from_json(const nlohmann::json& j, const std::filesystem::path& base_dir = {});

// A number of a hardware profile: a JSON number, or a string in C notation
// ("0x1F", "31"). Throws std::runtime_error naming `what` otherwise or
// above `max`.
std::uint64_t profile_number(const nlohmann::json& j, const std::string& what, std::uint64_t max);

// Word images on disk: a file ending in ".bin" holds the words little-endian,
// two bytes each; any other file is text, whitespace-separated hexadecimal
// words (with or without 0x), '#' starting a comment. An image of the
// largest part (65,536 words) loads back in either form.
inline constexpr std::uintmax_t kMaxEepromImageBytes = 1 << 20;
std::vector<std::uint16_t> load_eeprom_image(const std::filesystem::path& path);
// The words of an image file's contents; `path` names it in messages and
// tells the form.
std::vector<std::uint16_t> parse_eeprom_image(const std::string& bytes, const std::filesystem::path& path);
// Writes the words to `path`: into a new file in the same folder, flushed to
// the disk and renamed over the old one, so that a failure (a full disk)
// leaves the old image whole. A text image is given `original` (the text it
// was loaded from): its words are rewritten in place, its comments and
// layout kept. Throws std::runtime_error with the system's reason.
void save_eeprom_image(const std::filesystem::path& path, const std::vector<std::uint16_t>& words,
                       const std::string& original = {});

class MicrowireEeprom {
 public:
  MicrowireEeprom(const sim::VirtualClock& clock, EepromConfig config);

  // Pin levels as the EEPROM control register drives them; called on every
  // write of that register.
  void drive(bool cs, bool sk, bool di);
  // DO as the register reads it (pull-up and faults included).
  bool data_out() const;

  const EepromConfig& config() const { return config_; }
  EepromFaults& faults() { return config_.faults; }
  void set_program_time_ns(std::uint64_t ns) { config_.program_time_ns = ns; }

  const std::vector<std::uint16_t>& words() const { return words_; }
  std::uint16_t word(unsigned index) const { return words_.at(index); }
  void set_word(unsigned index, std::uint16_t value) { words_.at(index) = value; }
  void load(const std::vector<std::uint16_t>& words);
  void load_file(const std::filesystem::path& path) { load(load_eeprom_image(path)); }
  void save_file(const std::filesystem::path& path) const { save_eeprom_image(path, words_, config_.save_text); }
  // Whether any word differs from the contents the part was loaded with.
  bool changed() const;

  bool write_enabled() const { return write_enable_; }
  bool selected() const { return cs_; }
  bool busy() const;
  std::uint64_t programming_cycles() const { return programming_cycles_; }

  // Timing violations seen so far, in order ("EEPROM timing: ...").
  const std::vector<std::string>& timing_violations() const { return violations_; }
  void clear_timing_violations() { violations_.clear(); }
  // Called with each violation and who is to blame for it (see above).
  using ViolationSink = std::function<void(const std::string&, PinMaster)>;
  void set_violation_sink(ViolationSink sink) { sink_ = std::move(sink); }
  // Asked at every write of the pins who drives them; without a probe, the driver.
  void set_master_probe(std::function<PinMaster()> probe) { master_probe_ = std::move(probe); }

  // The recorders keep the most recent sessions (and register writes): at
  // kRecorderLimit the older half is dropped, so a long run stays bounded.
  // A session holds its bit strings (about 200 bytes), so the limit keeps
  // the recorder near 1 MB whatever the traffic; every test of a sequence
  // looks at far fewer sessions than that.
  static constexpr std::size_t kRecorderLimit = 1 << 12;
  const std::vector<MicrowireSession>& sessions() const { return sessions_; }
  // Sessions that carried a start bit (drops the empty selects of status polls).
  std::vector<MicrowireSession> commands() const;
  void clear_sessions() { sessions_.clear(); }

 private:
  enum class Phase { idle, opcode, address, data_in, reading, done };

  void check_timing(bool cs, bool sk, bool di);
  void violation(const char* what, std::uint64_t since_ns, PinMaster since_by, std::uint64_t minimum_ns);
  bool samples_di() const;
  void chip_select_rising();
  void chip_select_falling();
  void clock_rising(bool di);
  void instruction_complete();
  void start_programming();
  unsigned word_index(unsigned address) const;
  MicrowireSession& session() { return sessions_.back(); }

  const sim::VirtualClock& clock_;
  EepromConfig config_;
  std::vector<std::uint16_t> words_;

  bool cs_ = false, sk_ = false;
  bool write_enable_ = false;  // off at power-up
  Phase phase_ = Phase::idle;
  unsigned bits_ = 0;  // bits received in the current phase
  unsigned opcode_ = 0, address_ = 0;
  std::uint32_t data_ = 0;
  bool driving_ = false;  // DO driven by a READ
  bool out_bit_ = true;
  unsigned read_index_ = 0, read_bit_ = 0;
  bool status_armed_ = false;  // DO shows ready/busy while selected
  bool pending_program_ = false;
  MicrowireOp pending_op_ = MicrowireOp::none;
  unsigned pending_address_ = 0;
  std::uint16_t pending_data_ = 0;
  bool programming_ = false;  // a programming cycle has been started
  std::uint64_t busy_until_ns_ = 0;
  std::uint64_t programming_cycles_ = 0;
  std::vector<MicrowireSession> sessions_;

  // Times of the last edges, for the timing checks (nothing yet: max).
  static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
  bool di_ = false;
  std::uint64_t cs_rise_ns_ = kNever, cs_fall_ns_ = kNever;
  std::uint64_t sk_rise_ns_ = kNever, sk_fall_ns_ = kNever, di_change_ns_ = kNever;
  // Who drove each of those edges, and who drives the write being checked.
  PinMaster cs_rise_by_ = PinMaster::driver, cs_fall_by_ = PinMaster::driver;
  PinMaster sk_rise_by_ = PinMaster::driver, sk_fall_by_ = PinMaster::driver, di_change_by_ = PinMaster::driver;
  PinMaster now_by_ = PinMaster::driver;
  bool clocked_since_select_ = false;
  bool last_rise_sampled_ = false;
  std::vector<std::string> violations_;
  ViolationSink sink_;
  std::function<PinMaster()> master_probe_;
};

// The adapter's 16-bit EEPROM control register in front of the part:
// clock 0x01, chip select 0x02 and data in 0x04 drive the part's pins on
// every write of the low byte; data out 0x08 reads the part's DO line and
// ignores writes; the other bits read back what was written.
class EepromControlRegister {
 public:
  static constexpr std::uint16_t kClock = 0x01, kChipSelect = 0x02, kDataIn = 0x04, kDataOut = 0x08;

  explicit EepromControlRegister(MicrowireEeprom& part) : part_(part) {}
  std::uint16_t read() const;
  // byte_mask: 0x00FF, 0xFF00 or 0xFFFF for the bytes written.
  void write(std::uint16_t value, std::uint16_t byte_mask = 0xFFFF);

  // Every value written to the low byte, as written (data-out bit
  // included), for tests of the images a driver builds.
  const std::vector<std::uint8_t>& written() const { return written_; }
  void clear_written() { written_.clear(); }

 private:
  MicrowireEeprom& part_;
  std::uint16_t latch_ = 0;
  std::vector<std::uint8_t> written_;
};

}  // namespace sim::hw
