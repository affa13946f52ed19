// The eeprom command: the adapter's serial EEPROM sized, dumped, read and
// written word by word through the driver's EEPROM codes, its checksum
// verified and fixed, and images saved and restored.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/nicdiag/adapter.h"

namespace nicdiag {
namespace {

struct Eeprom {
  Run &run;
  uint32_t reg = 0;
  uint32_t method = 0;  // AddressMethod: 0 port, 2 memory
  uint32_t size = 0;

  // Sends one of the EEPROM codes; result is the word it answers.
  template <typename Args>
  bool Send(uint32_t code, Args args, uint32_t &result) {
    args.RegisterAddress = reg;
    args.AddressMethod = static_cast<uint16_t>(method);
    if (!run.Request(code, args, 4)) return false;
    result = run.Word(0);
    return true;
  }
  // The arguments of a read or a write of one word.
  template <typename Args>
  Args At(uint32_t word) const {
    Args args{};
    args.SizeInWords = static_cast<uint16_t>(size);
    args.WordAddress = static_cast<uint16_t>(word);
    return args;
  }
  bool Probe(uint32_t &result) { return Send(IOCTL_KDVR_GET_EEPROM_SIZE, KDVR_EEPROM_SIZE_ARGS{}, result); }
  bool Read(uint32_t word, uint32_t &value) {
    return Send(IOCTL_KDVR_READ_EEPROM, At<KDVR_READ_EEPROM_ARGS>(word), value);
  }
  // Every word of the part, with a progress line for a large part.
  bool ReadAll(std::vector<uint32_t> &words, const char *what = "reading the EEPROM") {
    words.clear();
    const bool show = size >= kLargePart;
    for (uint32_t i = 0; i < size; i++) {
      uint32_t value = 0;
      if (show) Progress(run.options, what, i, size);
      if (!Read(i, value)) {
        if (show) Progress(run.options, what, size, size);
        return false;
      }
      words.push_back(value);
    }
    if (show) Progress(run.options, what, size, size);
    return true;
  }
  // A part this large takes about half a second or more to read whole.
  static constexpr uint32_t kLargePart = 128;
  bool Write(uint32_t word, uint32_t data, uint32_t &result) {
    KDVR_WRITE_EEPROM_ARGS args = At<KDVR_WRITE_EEPROM_ARGS>(word);
    args.Data = static_cast<uint16_t>(data);
    return Send(IOCTL_KDVR_WRITE_EEPROM, args, result);
  }
};

// The image's checksum: every word, the last included, sums to 0xBABA (16
// bits, carries dropped) in a valid image; the last word is the one chosen
// to make it so.
constexpr uint32_t kChecksumTarget = 0xBABA;

struct Checksum {
  uint32_t sum = 0;
  uint32_t word = 0;     // index of the checksum word: the last one
  uint32_t current = 0;  // its value now
  uint32_t fix = 0;      // the value that makes the sum right
  bool valid() const { return sum == kChecksumTarget; }
  explicit Checksum(const std::vector<uint32_t> &words) {
    for (uint32_t w : words) sum = (sum + w) & 0xFFFF;
    word = words.empty() ? 0 : static_cast<uint32_t>(words.size() - 1);
    current = words.empty() ? 0 : words.back();
    fix = (current + kChecksumTarget - sum) & 0xFFFF;
  }
  std::string Text() const {
    if (valid()) return Format("checksum valid: the words sum to 0x%04llX", sum);
    return Format("checksum WRONG: the words sum to 0x%04llX, not 0x%04llX; ", sum, kChecksumTarget) +
           Format("word 0x%02llX should be 0x%04llX (now 0x%04llX): eeprom fix-checksum writes it", word, fix, current);
  }
  std::string Json() const {
    return Format(",\"sum\":%llu,\"checksum_valid\":", sum) + (valid() ? "true" : "false") +
           Format(",\"checksum_word\":%llu,\"checksum_fix\":%llu", word, fix);
  }
};

// The address width the driver uses for a size (6 bits for 64 words, 8 for
// 128 and 256).
uint32_t AddressBits(uint32_t words) { return words == 64 ? 6 : 8; }

// Sizes the EEPROM. Only 64, 128 and 256 words have an address width the
// driver can use. A --size is checked against the part: a size whose
// address width differs from the width the part answers the probe with
// would read and write other words than those named, so it is refused. The
// probe cannot tell 128 words from 256 (both take 8 address bits), and a
// part that does not answer it leaves the size to --size alone.
bool EepromSize(Eeprom &e, const HwOptions &o) {
  uint32_t probed = 0;
  if (!e.Probe(probed)) return false;
  const bool answered = probed == 64 || probed == 128 || probed == 256;
  if (o.size != 0) {
    if (answered && AddressBits(o.size) != AddressBits(probed))
      return e.run.Usage(
          Format("--size %llu disagrees with the part: it answers the size probe with %llu words ", o.size, probed) +
          Format("(%llu address bits, not %llu); nothing read or written", AddressBits(probed), AddressBits(o.size)));
    e.size = o.size;
    return true;
  }
  if (!answered) {
    e.run.ok = false;
    e.run.text =
        Format("the size probe gave %llu words (no EEPROM of 64, 128 or 256 words answered); give --size", probed);
    e.run.json_extra = Format(",\"size\":%llu", probed);
    return false;
  }
  e.size = probed;
  return true;
}

// The image as eeprom dump --out saves it: hex text, or little-endian
// bytes for a name ending in .bin.
std::string ImageBytes(const std::string &path, const std::vector<uint32_t> &words) {
  bool binary = path.size() > 4 && path.compare(path.size() - 4, 4, ".bin") == 0;
  std::string text;
  for (size_t i = 0; i < words.size(); i++) {
    if (binary) {
      text += static_cast<char>(words[i] & 0xFF);
      text += static_cast<char>(words[i] >> 8);
    } else {
      text += Format("%04llX", words[i]) + ((i % 16 == 15 || i + 1 == words.size()) ? '\n' : ' ');
    }
  }
  return text;
}

// Largest EEPROM image read back: the text of 65,536 words with comments.
constexpr size_t kMaxImageBytes = 1 << 20;

// An EEPROM image as eeprom dump --out writes it: little-endian words in a
// file ending in .bin, else hexadecimal words ('#' starts a comment).
// "-" reads the image from standard input, once: the commands are checked
// before they run, and both passes see the same words.
bool LoadWords(const std::string &path, std::vector<uint32_t> &words, std::string &error) {
  static bool stdin_read = false;
  static std::string stdin_text;
  std::string text;
  if (path == "-") {
    if (!stdin_read && !ReadStandardInput(kMaxImageBytes, stdin_text, error)) return false;
    stdin_read = true;
    text = stdin_text;
  } else if (!ReadInputFile(path, "image", kMaxImageBytes, text, error)) {
    return false;
  }
  words.clear();
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".bin") == 0) {
    if (text.size() % 2 != 0) {
      error = path + ": an odd number of bytes: not an image of 16-bit words";
      return false;
    }
    for (size_t i = 0; i < text.size(); i += 2)
      words.push_back(static_cast<uint8_t>(text[i]) | static_cast<uint32_t>(static_cast<uint8_t>(text[i + 1])) << 8);
    return true;
  }
  size_t start = 0;
  for (unsigned long long line = 1; start < text.size(); line++) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string content = text.substr(start, end - start);
    start = end + 1;
    const size_t hash = content.find('#');
    if (hash != std::string::npos) content.resize(hash);
    for (size_t i = 0; i < content.size();) {
      while (i < content.size() && std::strchr(" \t\r\v\f", content[i]) != nullptr) i++;
      const size_t word_start = i;
      while (i < content.size() && std::strchr(" \t\r\v\f", content[i]) == nullptr) i++;
      if (i == word_start) continue;
      std::string word = content.substr(word_start, i - word_start);
      uint32_t value = 0;
      const bool prefixed = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
      if (!ParseNumber(prefixed ? word : "0x" + word, value) || value > 0xFFFF || word.size() > 6) {
        error = path + Format(":%llu: bad word '", line) + word + "' (hexadecimal, 0 to FFFF)";
        return false;
      }
      words.push_back(value);
    }
  }
  return true;
}

bool Confirm(Run &run, const std::string &question, bool stdin_holds_image = false) {
  if (run.options.script == "-" || stdin_holds_image) {
    return run.Fail(std::string("refusing to write the EEPROM: standard input holds the ") +
                    (stdin_holds_image ? "image" : "script") + ", not an answer; add --yes");
  }
  if (!StdinIsTerminal()) {
    return run.Fail("refusing to write the EEPROM without a terminal to confirm on; add --yes");
  }
  std::printf("%s [y/N] ", question.c_str());
  std::fflush(stdout);
  char answer[16] = {0};
  if (std::fgets(answer, sizeof answer, stdin) == nullptr || (answer[0] != 'y' && answer[0] != 'Y')) {
    return run.Fail("not written");
  }
  return true;
}

// Writes one word; fails the command when the EEPROM did not finish or the
// word did not take. The driver reads the word back itself and answers 0
// when it differs; read_back reads it once more and reports what it holds
// (eeprom write and fix-checksum), a restore trusts the driver's answer.
bool WriteWord(Eeprom &e, const std::string &name, uint32_t word, uint32_t value, bool read_back = true) {
  Run &run = e.run;
  uint32_t result = 0, after = value;
  if (!e.Write(word, value, result)) return false;
  if (read_back) {
    if (!e.Read(word, after)) return false;
    run.json_extra += Format(",\"written\":%llu,\"read_back\":%llu", result, after);
  }
  if (result != 1) {
    return run.Fail(name + Format(": word 0x%02llX: the EEPROM did not finish the erase or the write", word) +
                    (read_back ? "" : ", or the word read back otherwise"));
  }
  if (after != value) {
    return run.Fail(
        name + Format(": word 0x%02llX: the driver reported success but the word reads back 0x%04llX", word, after));
  }
  return true;
}

// Writes a saved image back: every word that differs (the driver reads each
// back), then the words not written are read again, so that a write that
// landed on another word shows. Each word is read once before and once
// after, the written ones by the driver: 256 changed words of a 256-word
// part take the time of their writes and one reading of the part.
bool RestoreImage(Eeprom &e, const HwOptions &o, const std::string &name, const std::vector<uint32_t> &image) {
  Run &run = e.run;
  const std::string &file = o.positional[1];
  const std::string shown = file == "-" ? "standard input" : file;
  if (image.size() != e.size) {
    return run.Usage(
        name + ": " + shown +
        Format(" holds %llu words; the EEPROM has %llu: not its image; nothing written", image.size(), e.size));
  }
  std::vector<uint32_t> before;
  if (!e.ReadAll(before, "reading the EEPROM before the restore")) return false;
  std::vector<uint32_t> differ;
  std::vector<bool> written_word(e.size, false);
  for (uint32_t i = 0; i < e.size; i++)
    if (before[i] != image[i]) differ.push_back(i);
  if (!differ.empty() && !o.yes &&
      !Confirm(run, name + Format(": write the %llu words that differ from ", differ.size()) + shown + "?",
               file == "-"))
    return false;
  size_t written = 0;
  for (uint32_t i : differ) {
    Progress(run.options, "restoring: words written", written, differ.size());
    if (!WriteWord(e, name, i, image[i], false)) {
      Progress(run.options, "restoring: words written", differ.size(), differ.size());
      run.text += Format("; %llu of the %llu words that differ were written before it", written, differ.size());
      return false;
    }
    written_word[i] = true;
    written++;
  }
  Progress(run.options, "restoring: words written", differ.size(), differ.size());
  std::string mismatches;
  size_t bad = 0;
  for (uint32_t i = 0; i < e.size; i++) {
    if (written_word[i]) continue;
    uint32_t value = 0;
    if (!e.Read(i, value)) return false;
    if (value == image[i]) continue;
    if (bad++ < 8) mismatches += Format(" 0x%02llX=0x%04llX (image 0x%04llX)", i, value, image[i]);
  }
  const Checksum checksum(image);
  run.json_extra += Format(",\"size\":%llu,\"written\":%llu,\"verified\":", e.size, written) +
                    (bad == 0 ? "true" : "false") + checksum.Json();
  if (bad != 0) {
    return run.Fail(name + Format(": %llu words read back otherwise than ", bad) + shown + ":" + mismatches);
  }
  run.text = name + ": restored from " + shown +
             Format(": %llu words written, %llu already equal; ", written, e.size - written) +
             Format("all %llu words read back equal to the image; ", e.size) + checksum.Text();
  return true;
}

}  // namespace

bool CommandEeprom(Run &run) {
  const char *usage =
      "eeprom size|dump|read WORD|write WORD VALUE|fix-checksum|restore FILE [--method io|mem] "
      "[--size WORDS] [-s BB:DD.F | --bus BUS --device DEVICE[.FUNCTION] | --register ADDRESS] "
      "[--out FILE|-] [--yes] [--checksum] [--ignore-checksum]";
  HwOptions o;
  if (!ParseHwOptions(run, true, usage, o)) return false;
  const std::string op = o.positional[0];
  uint32_t word = 0, value = 0;
  std::vector<uint32_t> image;  // restore: the words of the file
  if (op == "restore") {
    if (o.positional.size() != 2) return run.Usage(usage);
    const std::string &file = o.positional[1];
    if (file == "-" && run.options.script == "-")
      return run.Usage("restore - reads the image from standard input, which holds the script");
    run.Uses(file, false, "image to restore");
    std::string error;
    if (!LoadWords(file, image, error)) return run.Usage(error);
    if (image.empty()) return run.Usage(file + ": no words in the image");
    // Refused before anything is written: a wrong sum means a damaged or
    // foreign image, and the adapter would read it back as one.
    const Checksum sum(image);
    if (!sum.valid() && !o.ignore_checksum)
      return run.Usage((file == "-" ? std::string("standard input") : file) +
                       Format(": the image's words sum to 0x%04llX, not 0x%04llX: ", sum.sum, kChecksumTarget) +
                       "a damaged or foreign image; nothing written (--ignore-checksum writes it all the same)");
  } else if (op == "size" || op == "dump" || op == "fix-checksum") {
    if (o.positional.size() != 1) return run.Usage(usage);
  } else if (op == "read") {
    if (o.positional.size() != 2 || !ParseNumber(o.positional[1], word)) return run.Usage(usage);
  } else if (op == "write") {
    if (o.positional.size() != 3 || !ParseNumber(o.positional[1], word) || !ParseNumber(o.positional[2], value))
      return run.Usage(usage);
    if (value > 0xFFFF) return run.Usage("VALUE must fit in 16 bits");
  } else {
    return run.Usage(usage);
  }
  if (word > 255) return run.Usage("WORD must be below 256");
  if (!o.out.empty() && op != "dump") return run.Usage("--out applies to dump");
  if (o.checksum && op != "write") return run.Usage("--checksum applies to write");
  if (o.ignore_checksum && op != "restore") return run.Usage("--ignore-checksum applies to restore");
  if (o.out == "-" && run.options.json)
    return run.Usage("--out - sends the image to standard output, which --json keeps for JSON");
  if (!o.out.empty()) run.Uses(o.out, true, "--out");
  RegisterBlock block(run);
  if (!FindRegisterBlock(run, o, 0x0E, block)) return false;
  Eeprom e{run, block.base + 0x0E, o.memory ? 2u : 0u, 0};
  const std::string name = block.adapter.Name();
  const std::string where = Format(" (register 0x%08llX, ", e.reg) + (o.memory ? "memory)" : "port)");
  run.json_extra = block.adapter.Json();

  if (op == "size") {
    uint32_t probed = 0;
    if (!e.Probe(probed)) return false;
    run.json_extra += Format(",\"size\":%llu", probed);
    if (probed == 64 || probed == 128 || probed == 256) {
      run.text = name + ": " + Format("EEPROM: %llu words", probed) + where;
      return true;
    }
    run.ok = false;
    if (probed == 0)
      run.text = name + ": no EEPROM answered the size probe (data out stayed high)" + where;
    else if (probed == 2)
      run.text = name + ": no EEPROM size: data out reads low at once (stuck low, or no EEPROM)" + where;
    else
      run.text = name + Format(": the size probe gave %llu words: not a part of 64, 128 or 256 words", probed) + where;
    return false;
  }
  if (!EepromSize(e, o)) {
    run.text = name + ": " + run.text;
    return false;
  }
  if (word >= e.size) return run.Usage(name + Format(": WORD must be below the size, %llu", e.size));
  if (op == "read") {
    if (!e.Read(word, value)) return false;
    run.text = name + Format(": word 0x%02llX = 0x%04llX", word, value);
    run.json_extra += Format(",\"size\":%llu,\"word\":%llu,\"value\":%llu", e.size, word, value);
    return true;
  }
  if (op == "restore") return RestoreImage(e, o, name, image);
  if (op == "write") {
    uint32_t before = 0;
    if (!e.Read(word, before)) return false;
    if (!o.yes &&
        !Confirm(run, name + Format(": write 0x%04llX to EEPROM word 0x%02llX (now 0x%04llX)?", value, word, before)))
      return false;
    run.json_extra += Format(",\"size\":%llu,\"word\":%llu,\"value\":%llu", e.size, word, value);
    if (!WriteWord(e, name, word, value)) return false;
    run.text = name + Format(": word 0x%02llX <- 0x%04llX (was 0x%04llX)", word, value, before);
    // The image's checksum after the write needs every word: read only
    // when asked, since on a 256-word part it takes forty times the write.
    if (!o.checksum) {
      run.notes.push_back("the checksum was not checked: eeprom write --checksum, or eeprom dump, checks it");
      return true;
    }
    std::vector<uint32_t> words;
    if (!e.ReadAll(words)) return false;
    const Checksum checksum(words);
    run.json_extra += checksum.Json();
    if (!checksum.valid())
      run.text += Format("\nthe write leaves the checksum WRONG: the words sum to 0x%04llX, not 0x%04llX; ",
                         checksum.sum, kChecksumTarget) +
                  Format("eeprom fix-checksum writes word 0x%02llX = 0x%04llX", checksum.word, checksum.fix);
    return true;
  }
  std::vector<uint32_t> words;
  if (!e.ReadAll(words, op == "dump" ? "dumping the EEPROM" : "reading the EEPROM")) return false;
  const Checksum checksum(words);
  if (op == "fix-checksum") {
    run.json_extra += Format(",\"size\":%llu", e.size) + checksum.Json();
    if (checksum.valid()) {
      run.text = name + ": " + checksum.Text() + "; nothing written";
      return true;
    }
    if (!o.yes &&
        !Confirm(run, name + Format(": the words sum to 0x%04llX; write 0x%04llX to checksum word 0x%02llX (now "
                                    "0x%04llX)?",
                                    checksum.sum, checksum.fix, checksum.word, checksum.current)))
      return false;
    if (!WriteWord(e, name, checksum.word, checksum.fix)) return false;
    words.back() = checksum.fix;
    const Checksum after(words);
    run.text = name +
               Format(": word 0x%02llX <- 0x%04llX (was 0x%04llX); ", checksum.word, checksum.fix, checksum.current) +
               after.Text();
    return true;
  }
  // dump
  std::string list;
  run.text = name + Format(": EEPROM, %llu words", e.size) + where;
  for (uint32_t i = 0; i < words.size(); i++) {
    run.text += Format(i % 16 != 0 ? " %04llX" : "\n%02llX: %04llX", i % 16 != 0 ? words[i] : i, words[i]);
    list += Format(i == 0 ? "%llu" : ",%llu", words[i]);
  }
  std::string mac;
  for (int i = 0; i < 6; i++) mac += Format(i == 0 ? "%02llx" : ":%02llx", (words[i / 2] >> (8 * (i % 2))) & 0xFF);
  run.text += "\nMAC address " + mac + "\n" + checksum.Text();
  run.json_extra +=
      Format(",\"size\":%llu", e.size) + checksum.Json() + ",\"mac\":\"" + mac + "\",\"words\":[" + list + "]";
  if (o.out == "-") {
    run.text = ImageBytes(o.out, words);
    run.raw_output = true;
  } else if (!o.out.empty()) {
    std::string error;
    if (!ReplaceContents(o.out, ImageBytes(o.out, words), error)) {
      return run.Fail(name + ": the words were read but not saved: " + error);
    }
    run.notes.push_back("written to " + o.out);
  }
  return true;
}

}  // namespace nicdiag
