#include "sim/hw/eeprom.h"

#include "sim/common/input_file.h"
#include "sim/common/profile_schema.h"
#include "sim/hw/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace sim::hw {

const char* to_string(MicrowireOp op) {
  switch (op) {
    case MicrowireOp::none: return "none";
    case MicrowireOp::read: return "READ";
    case MicrowireOp::write: return "WRITE";
    case MicrowireOp::erase: return "ERASE";
    case MicrowireOp::ewen: return "EWEN";
    case MicrowireOp::ewds: return "EWDS";
    case MicrowireOp::eral: return "ERAL";
    case MicrowireOp::wral: return "WRAL";
  }
  return "?";
}

EepromConfig EepromConfig::part_64x16() { return generic(64, 6); }
EepromConfig EepromConfig::part_128x16() { return generic(128, 8); }
EepromConfig EepromConfig::part_256x16() { return generic(256, 8); }

EepromConfig EepromConfig::generic(unsigned words, unsigned address_bits) {
  EepromConfig c;
  c.words = words;
  c.address_bits = address_bits;
  return c;
}

namespace {

void validate(const EepromConfig& c) {
  if (c.words == 0 || c.words > 65536) throw std::invalid_argument("eeprom: words must be 1 to 65536");
  // Two bits at least: the EWEN/EWDS/ERAL/WRAL group is told apart by the
  // two top address bits.
  if (c.address_bits < 2 || c.address_bits > 16) throw std::invalid_argument("eeprom: address_bits must be 2 to 16");
  if ((1u << c.address_bits) < c.words)
    throw std::invalid_argument("eeprom: " + std::to_string(c.address_bits) + " address bits cannot reach " +
                                std::to_string(c.words) + " words");
  if (c.faults.do_stuck_high && c.faults.do_stuck_low)
    throw std::invalid_argument("eeprom: data out cannot be stuck both high and low");
}

unsigned default_address_bits(unsigned words) {
  if (words == 64) return 6;
  if (words == 128 || words == 256) return 8;
  unsigned bits = 2;
  while (bits < 16 && (1u << bits) < words) ++bits;
  return bits;
}

}  // namespace

std::uint64_t profile_number(const nlohmann::json& j, const std::string& what, std::uint64_t max) {
  std::uint64_t value = 0;
  if (j.is_number_unsigned()) {
    value = j.get<std::uint64_t>();
  } else if (j.is_number_integer() && j.get<std::int64_t>() >= 0) {
    value = static_cast<std::uint64_t>(j.get<std::int64_t>());
  } else if (j.is_string()) {
    const std::string text = j.get<std::string>();
    const auto number = text.empty() || text[0] == '-' ? std::nullopt : schema::whole_number(text, 0);
    if (!number) throw std::runtime_error(what + ": \"" + text + "\" is not a number");
    value = *number;
  } else {
    throw std::runtime_error(what + ": must be a non-negative number, not " + j.dump());
  }
  if (value > max) throw std::runtime_error(what + ": " + std::to_string(value) + " is above " + std::to_string(max));
  return value;
}

std::vector<std::uint16_t> load_eeprom_image(const std::filesystem::path& path) {
  std::string bytes;
  try {
    bytes = read_input_file(path, kMaxEepromImageBytes, "EEPROM image");
  } catch (const std::exception& error) {
    throw std::runtime_error(std::string("eeprom: ") + error.what());
  }
  return parse_eeprom_image(bytes, path);
}

std::vector<std::uint16_t> parse_eeprom_image(const std::string& bytes, const std::filesystem::path& path) {
  std::vector<std::uint16_t> words;
  if (path.extension() == ".bin") {
    if (bytes.size() % 2 != 0) throw std::runtime_error("eeprom: " + path.string() + " has an odd number of bytes");
    for (std::size_t i = 0; i < bytes.size(); i += 2)
      words.push_back(static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[i]) |
                                                 static_cast<unsigned char>(bytes[i + 1]) << 8));
    return words;
  }
  std::istringstream in(bytes);
  std::string line;
  for (int line_no = 1; std::getline(in, line); ++line_no) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream fields(line);
    std::string field;
    while (fields >> field) {
      const auto value = schema::whole_number(field, 16);
      if (!value || *value > 0xFFFF)
        throw std::runtime_error("eeprom: " + path.string() + ":" + std::to_string(line_no) + ": bad word '" + field +
                                 "'");
      words.push_back(static_cast<std::uint16_t>(*value));
    }
  }
  return words;
}

namespace {

std::string word_text(std::uint16_t word, bool prefix, bool lower) {
  char buf[8];
  std::snprintf(buf, sizeof buf, lower ? "%04x" : "%04X", word);
  return (prefix ? "0x" : "") + std::string(buf);
}

// The text image: `original` with each word rewritten where it stands
// (keeping its 0x prefix and its case), then the words beyond it, eight a
// line, through the last one that is not 0xFFFF (what a missing word reads).
std::string image_text(const std::vector<std::uint16_t>& words, const std::string& original) {
  std::string out;
  std::size_t next = 0;
  bool comment = false;
  for (std::size_t i = 0; i < original.size();) {
    const char c = original[i];
    if (c == '\n') comment = false;
    if (c == '#') comment = true;
    if (comment || std::isspace(static_cast<unsigned char>(c))) {
      out += c;
      ++i;
      continue;
    }
    std::size_t end = i;
    while (end < original.size() && !std::isspace(static_cast<unsigned char>(original[end])) && original[end] != '#')
      ++end;
    const std::string token = original.substr(i, end - i);
    const bool prefix = token.size() > 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X');
    const bool lower =
        token.find_first_of("abcdef") != std::string::npos && token.find_first_of("ABCDEF") == std::string::npos;
    out += next < words.size() ? word_text(words[next], prefix, lower) : token;
    ++next;
    i = end;
  }
  // A new image holds every word; one that grows keeps only what a load
  // would not fill in by itself.
  std::size_t last = words.size();
  while (!original.empty() && last > next && words[last - 1] == 0xFFFF) --last;
  if (next < last && !out.empty() && out.back() != '\n') out += '\n';
  for (std::size_t i = next; i < last; ++i)
    out += word_text(words[i], false, false) + ((i - next) % 8 == 7 || i + 1 == last ? '\n' : ' ');
  return out;
}

}  // namespace

void save_eeprom_image(const std::filesystem::path& path, const std::vector<std::uint16_t>& words,
                       const std::string& original) {
  std::string bytes;
  if (path.extension() == ".bin") {
    for (auto w : words) {
      bytes.push_back(static_cast<char>(w & 0xFF));
      bytes.push_back(static_cast<char>(w >> 8));
    }
  } else {
    bytes = image_text(words, original);
  }
  std::string error;
  if (!replace_file_contents(path.string(), bytes, error)) throw std::runtime_error("eeprom: " + error);
}

EepromConfig eeprom_config_from_json(const nlohmann::json& j, const std::filesystem::path& base_dir) {
  if (!j.is_object()) throw std::runtime_error("eeprom: profile entry must be an object");
  EepromConfig c;
  for (const auto& [key, value] : j.items()) {
    static const char* const known[] = {"words",       "address_bits",  "contents",     "file", "program_time_us",
                                        "never_ready", "do_stuck_high", "do_stuck_low", "save"};
    if (std::find(std::begin(known), std::end(known), key) == std::end(known))
      throw std::runtime_error("eeprom: unknown key \"" + key + "\"");
  }
  c.words = j.contains("words") ? static_cast<unsigned>(profile_number(j.at("words"), "words", 65536)) : 64;
  c.address_bits = j.contains("address_bits")
                       ? static_cast<unsigned>(profile_number(j.at("address_bits"), "address_bits", 16))
                       : default_address_bits(c.words);
  if (j.contains("program_time_us"))
    c.program_time_ns = profile_number(j.at("program_time_us"), "program_time_us", 60'000'000) * 1000;
  auto flag = [&](const char* key) {
    if (!j.contains(key)) return false;
    if (!j.at(key).is_boolean()) throw std::runtime_error(std::string("eeprom: ") + key + " must be true or false");
    return j.at(key).get<bool>();
  };
  c.faults.never_ready = flag("never_ready");
  c.faults.do_stuck_high = flag("do_stuck_high");
  c.faults.do_stuck_low = flag("do_stuck_low");
  if (j.contains("contents") && j.contains("file"))
    throw std::runtime_error("eeprom: give either contents or file, not both");
  if (j.contains("contents")) {
    if (!j.at("contents").is_array()) throw std::runtime_error("eeprom: contents must be a list of words");
    for (const auto& w : j.at("contents"))
      c.contents.push_back(static_cast<std::uint16_t>(profile_number(w, "eeprom word", 0xFFFF)));
  } else if (j.contains("file")) {
    std::filesystem::path p = j.at("file").get<std::string>();
    if (p.is_relative() && !base_dir.empty()) p = base_dir / p;
    std::string text;
    try {
      text = read_input_file(p, kMaxEepromImageBytes, "EEPROM image");
    } catch (const std::exception& error) {
      throw std::runtime_error(std::string("eeprom: ") + error.what());
    }
    c.contents = parse_eeprom_image(text, p);
    c.file = p;
    if (flag("save")) {
      // Found out now, before anything is written to the part, rather than
      // when the words are saved at the end of the run: the image is
      // replaced by a new file made beside it.
      const std::filesystem::path folder = p.has_parent_path() ? p.parent_path() : std::filesystem::path(".");
      if (::access(p.c_str(), W_OK) != 0)
        throw std::runtime_error("eeprom: save: " + p.string() + " cannot be written: " + std::strerror(errno));
      if (::access(folder.c_str(), W_OK) != 0)
        throw std::runtime_error("eeprom: save: " + p.string() +
                                 " cannot be written: its folder: " + std::strerror(errno));
      // The file a symbolic link names is the one the save replaces.
      std::error_code ignored;
      const std::filesystem::path target = std::filesystem::weakly_canonical(p, ignored);
      c.save_path = target.empty() ? p : target;
      c.save_text = std::move(text);
    }
  } else if (flag("save")) {
    throw std::runtime_error("eeprom: save needs a file");
  }
  validate(c);
  if (c.contents.size() > c.words)
    throw std::runtime_error("eeprom: " + std::to_string(c.contents.size()) + " words given for a part of " +
                             std::to_string(c.words));
  return c;
}

MicrowireEeprom::MicrowireEeprom(const sim::VirtualClock& clock, EepromConfig config)
    : clock_(clock), config_(std::move(config)) {
  validate(config_);
  load(config_.contents);
}

void MicrowireEeprom::load(const std::vector<std::uint16_t>& words) {
  if (words.size() > config_.words) throw std::invalid_argument("eeprom: image larger than the part");
  words_ = words;
  words_.resize(config_.words, 0xFFFF);  // erased cells read as ones
}

bool MicrowireEeprom::changed() const {
  for (std::size_t i = 0; i < words_.size(); ++i)
    if (words_[i] != (i < config_.contents.size() ? config_.contents[i] : 0xFFFF)) return true;
  return false;
}

bool MicrowireEeprom::busy() const {
  return programming_ && (config_.faults.never_ready || clock_.now_ns() < busy_until_ns_);
}

std::vector<MicrowireSession> MicrowireEeprom::commands() const {
  std::vector<MicrowireSession> out;
  for (const auto& s : sessions_)
    if (s.di.find('1') != std::string::npos && !s.ignored_busy) out.push_back(s);
  return out;
}

unsigned MicrowireEeprom::word_index(unsigned address) const {
  // Address bits beyond the array (A7 of a 128-word part) are ignored.
  return address % config_.words;
}

// Whether the next rising clock edge takes DI as an instruction bit (not
// once the instruction is complete, nor while the part shifts data out or
// is busy programming).
bool MicrowireEeprom::samples_di() const {
  return !busy() &&
         (phase_ == Phase::idle || phase_ == Phase::opcode || phase_ == Phase::address || phase_ == Phase::data_in);
}

void MicrowireEeprom::violation(const char* what, std::uint64_t since_ns, PinMaster since_by,
                                std::uint64_t minimum_ns) {
  // kNever: the line has not moved since power-up, as good as long ago.
  const std::uint64_t now = clock_.now_ns();
  if (since_ns == kNever || now - since_ns >= minimum_ns) return;
  const std::uint64_t took = now - since_ns;
  std::string text = "EEPROM timing: " + std::string(what) + " " + std::to_string(took) + " ns, the part needs " +
                     std::to_string(minimum_ns) + " ns (at " + std::to_string(now) + " ns)";
  if (violations_.size() >= kRecorderLimit)
    violations_.erase(violations_.begin(), violations_.begin() + kRecorderLimit / 2);
  violations_.push_back(text);
  const PinMaster culprit =
      since_by == PinMaster::client || now_by_ == PinMaster::client ? PinMaster::client : PinMaster::driver;
  if (sink_) sink_(text, culprit);
}

void MicrowireEeprom::check_timing(bool cs, bool sk, bool di) {
  const MicrowireTiming& t = config_.timing;
  const std::uint64_t now = clock_.now_ns();
  if (cs && !cs_) {
    if (cs_fall_ns_ != kNever) violation("chip select low between instructions", cs_fall_ns_, cs_fall_by_, t.cs_low_ns);
    cs_rise_ns_ = now;
    cs_rise_by_ = now_by_;
    clocked_since_select_ = false;
  }
  if (!cs && cs_) {
    if (!sk_ && sk_fall_ns_ != kNever && sk_fall_ns_ >= cs_rise_ns_)
      violation("chip select hold after the clock fell", sk_fall_ns_, sk_fall_by_, t.cs_hold_ns);
    cs_fall_ns_ = now;
    cs_fall_by_ = now_by_;
  }
  const bool selected = cs && cs_;
  if (selected && di != di_ && last_rise_sampled_)
    violation("data hold after the rising clock", sk_rise_ns_, sk_rise_by_, t.data_hold_ns);
  if (di != di_) {
    di_change_ns_ = now;
    di_change_by_ = now_by_;
  }
  if (selected && sk && !sk_) {
    if (!clocked_since_select_)
      violation("chip select setup before the first rising clock", cs_rise_ns_, cs_rise_by_, t.cs_setup_ns);
    else
      violation("clock low", sk_fall_ns_, sk_fall_by_, t.clock_low_ns);
    last_rise_sampled_ = samples_di();
    if (last_rise_sampled_)
      violation("data setup before the rising clock", di_change_ns_, di_change_by_, t.data_setup_ns);
    clocked_since_select_ = true;
  }
  if (selected && !sk && sk_) violation("clock high", sk_rise_ns_, sk_rise_by_, t.clock_high_ns);
  if (sk && !sk_) {
    sk_rise_ns_ = now;
    sk_rise_by_ = now_by_;
  }
  if (!sk && sk_) {
    sk_fall_ns_ = now;
    sk_fall_by_ = now_by_;
  }
  if (!selected) last_rise_sampled_ = false;
  di_ = di;
}

void MicrowireEeprom::drive(bool cs, bool sk, bool di) {
  now_by_ = master_probe_ ? master_probe_() : PinMaster::driver;
  check_timing(cs, sk, di);
  if (cs != cs_) {
    // A clock edge in the same write as a chip-select change is not a
    // valid edge (CS setup/hold time); the part only sees the CS change.
    cs_ = cs;
    if (cs)
      chip_select_rising();
    else
      chip_select_falling();
  } else if (cs && sk && !sk_) {
    clock_rising(di);
  }
  sk_ = sk;
}

void MicrowireEeprom::chip_select_rising() {
  if (sessions_.size() >= kRecorderLimit) sessions_.erase(sessions_.begin(), sessions_.begin() + kRecorderLimit / 2);
  MicrowireSession s;
  s.start_ns = clock_.now_ns();
  s.ignored_busy = busy();
  sessions_.push_back(std::move(s));
  phase_ = Phase::idle;
  driving_ = false;
}

void MicrowireEeprom::chip_select_falling() {
  if (!sessions_.empty()) session().end_ns = clock_.now_ns();
  if (pending_program_ && !config_.start_on_last_clock) start_programming();
  pending_program_ = false;
  phase_ = Phase::idle;
  driving_ = false;  // DO returns to high impedance
}

void MicrowireEeprom::clock_rising(bool di) {
  session().di.push_back(di ? '1' : '0');
  // Each phase shifts DI into its field, first bit first, until the field
  // has all its bits.
  auto shift_in = [&](auto& field, unsigned width) {
    field = (field << 1) | (di ? 1u : 0u);
    return ++bits_ == width;
  };
  auto enter = [&](Phase next, auto& field) {
    phase_ = next;
    bits_ = 0;
    field = 0;
  };
  if (busy()) {
    session().ignored_busy = true;
  } else {
    switch (phase_) {
      case Phase::idle:
        if (di) {  // start bit
          status_armed_ = false;
          enter(Phase::opcode, opcode_);
        }
        break;
      case Phase::opcode:
        if (shift_in(opcode_, 2)) enter(Phase::address, address_);
        break;
      case Phase::address:
        if (shift_in(address_, config_.address_bits)) {
          session().address = address_;
          const unsigned top = address_ >> (config_.address_bits - 2);
          if (opcode_ == 2) {
            session().op = MicrowireOp::read;
            session().outcome = MicrowireOutcome::executed;
            phase_ = Phase::reading;
            driving_ = true;
            out_bit_ = false;  // dummy zero
            read_index_ = word_index(address_);
            read_bit_ = 15;
          } else if (opcode_ == 1 || (opcode_ == 0 && top == 1)) {
            session().op = opcode_ == 1 ? MicrowireOp::write : MicrowireOp::wral;
            enter(Phase::data_in, data_);
          } else {
            session().op = opcode_ == 3 ? MicrowireOp::erase
                           : top == 3   ? MicrowireOp::ewen
                           : top == 0   ? MicrowireOp::ewds
                                        : MicrowireOp::eral;
            instruction_complete();
          }
        }
        break;
      case Phase::data_in:
        if (shift_in(data_, 16)) {
          session().data = static_cast<std::uint16_t>(data_);
          instruction_complete();
        }
        break;
      case Phase::reading: {
        out_bit_ = (words_[read_index_] >> read_bit_) & 1;
        if (read_bit_ == 0) {
          ++session().words_read;
          read_index_ = (read_index_ + 1) % config_.words;  // sequential read
          read_bit_ = 15;
        } else {
          --read_bit_;
        }
        break;
      }
      case Phase::done: break;
    }
  }
  session().dout.push_back(data_out() ? '1' : '0');
}

void MicrowireEeprom::instruction_complete() {
  phase_ = Phase::done;
  MicrowireSession& s = session();
  switch (s.op) {
    case MicrowireOp::ewen:
      write_enable_ = true;
      s.outcome = MicrowireOutcome::executed;
      return;
    case MicrowireOp::ewds:
      write_enable_ = false;
      s.outcome = MicrowireOutcome::executed;
      return;
    default: break;
  }
  if (!write_enable_) {
    s.outcome = MicrowireOutcome::refused_disabled;
    return;
  }
  s.outcome = MicrowireOutcome::executed;
  pending_program_ = true;
  pending_op_ = s.op;
  pending_address_ = s.address;
  pending_data_ = s.data;
  if (config_.start_on_last_clock) {
    start_programming();
    pending_program_ = false;
  }
}

void MicrowireEeprom::start_programming() {
  programming_ = true;
  status_armed_ = true;
  ++programming_cycles_;
  busy_until_ns_ = clock_.now_ns() + config_.program_time_ns;
  if (config_.faults.never_ready) return;  // the cycle hangs; the array is left as it was
  // The cells are only readable again once the cycle is over, so the new
  // contents can be stored now.
  switch (pending_op_) {
    case MicrowireOp::erase: words_[word_index(pending_address_)] = 0xFFFF; break;
    case MicrowireOp::write: words_[word_index(pending_address_)] = pending_data_; break;
    case MicrowireOp::eral: std::fill(words_.begin(), words_.end(), 0xFFFF); break;
    case MicrowireOp::wral: std::fill(words_.begin(), words_.end(), pending_data_); break;
    default: break;
  }
}

bool MicrowireEeprom::data_out() const {
  if (config_.faults.do_stuck_high) return true;
  if (config_.faults.do_stuck_low) return false;
  if (!cs_) return true;              // high impedance, pulled up
  if (status_armed_) return !busy();  // ready/busy status
  if (driving_) return out_bit_;
  return true;
}

std::uint16_t EepromControlRegister::read() const {
  return static_cast<std::uint16_t>(latch_ | (part_.data_out() ? kDataOut : 0));
}

void EepromControlRegister::write(std::uint16_t value, std::uint16_t byte_mask) {
  if (byte_mask & 0x00FF) {
    if (written_.size() >= 16 * MicrowireEeprom::kRecorderLimit)
      written_.erase(written_.begin(), written_.begin() + 8 * MicrowireEeprom::kRecorderLimit);
    written_.push_back(static_cast<std::uint8_t>(value));
  }
  latch_ = static_cast<std::uint16_t>(((latch_ & ~byte_mask) | (value & byte_mask)) & ~kDataOut);
  if (byte_mask & 0x00FF) part_.drive(latch_ & kChipSelect, latch_ & kClock, latch_ & kDataIn);
}

}  // namespace sim::hw
