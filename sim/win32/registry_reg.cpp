// The registry as .reg text: import as regedit reads a file (REGEDIT4 or
// Version 5, ANSI, UTF-8 or UTF-16LE), export as regedit writes one, and
// the difference between two registries as a change file or an undo file.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "sim/common/input_file.h"
#include "registry_state.h"

namespace sim::win32 {

namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

// ---- import -------------------------------------------------------------------

[[noreturn]] void fail(const std::string& source, std::size_t line, const std::string& what) {
  throw InputError(source + ":" + std::to_string(line) + ": " + what);
}

// Where a strict reading of UTF-8 stops: the offset of the first byte that
// does not start a well-formed character (overlong forms, surrogates and
// code points past U+10FFFF included), or npos. Such a byte has no UTF-16
// form, so it could not come back unchanged from a Version 5 export.
std::size_t first_invalid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t extra = 0;
    char32_t u = 0, least = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, u = c & 0x1F, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, u = c & 0x0F, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, u = c & 0x07, least = 0x10000;
    } else {
      return i;
    }
    if (i + extra >= s.size()) return i;
    for (std::size_t k = 1; k <= extra; ++k) {
      const unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return i;
      u = (u << 6) | (cc & 0x3F);
    }
    if (u < least || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return i;
    i += extra + 1;
  }
  return std::string_view::npos;
}

std::size_t line_at(std::string_view text, std::size_t offset) {
  return 1 +
         static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

std::string decode_reg_bytes(const std::string& bytes, const std::string& source, const CodePage& cp) {
  // regedit refuses an empty file as it refuses one with no header line.
  if (bytes.empty()) throw InputError(source + ": the file is empty, not a registry file");
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    std::string_view body(bytes);
    body.remove_prefix(2);
    std::string text = utf8_from_utf16le(body);
    if (body.size() % 2 != 0) {
      std::size_t line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
      throw InputError(source + ":" + std::to_string(line) + ": UTF-16 text ends in half a character");
    }
    return text;
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    std::string text = bytes.substr(3);
    if (const std::size_t bad = first_invalid_utf8(text); bad != std::string_view::npos) {
      const std::size_t line =
          1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(bad), '\n'));
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(text[bad]));
      throw InputError(source + ":" + std::to_string(line) + ": byte " + byte +
                       " is not UTF-8, yet the file starts with UTF-8's byte order mark");
    }
    return text;
  }
  // ANSI: the machine's code page, which must define every byte.
  std::size_t bad = std::string_view::npos;
  std::string text = cp.to_utf8(bytes, &bad);
  if (bad != std::string_view::npos) {
    char byte[8];
    std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned char>(bytes[bad]));
    throw InputError(source + ":" + std::to_string(line_at(bytes, bad)) + ": byte " + byte +
                     (cp.is_lead(static_cast<unsigned char>(bytes[bad])) ? " and the byte after it" : "") +
                     " stand for no character of the machine's code page " + std::to_string(cp.id()));
  }
  return text;
}

std::string_view trim_left(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

std::string_view trim_right(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && fold(s.substr(0, prefix.size())) == fold(prefix);
}

// A quoted string at s[pos] ('"' expected there) with \\ and \" escapes;
// pos ends after the closing quote. Empty optional with `error` set on bad input.
std::optional<std::string> parse_quoted(std::string_view s, std::size_t& pos, std::string& error) {
  std::string out;
  ++pos;
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return out;
    if (c == '\\') {
      if (pos >= s.size()) break;
      char e = s[pos++];
      if (e != '\\' && e != '"') {
        error = std::string("unknown escape '\\") + e + "' in quoted text";
        return std::nullopt;
      }
      out.push_back(e);
    } else {
      out.push_back(c);
    }
  }
  error = "missing closing '\"'";
  return std::nullopt;
}

void import_text(Registry::State& reg, const std::string& raw, const std::string& source) {
  const std::string text = decode_reg_bytes(raw, source, reg.cp());
  // A NUL cannot be part of a key or value name, nor of the text of a
  // string; it is refused rather than cut the name there.
  if (const std::size_t nul = text.find('\0'); nul != std::string::npos)
    fail(source, line_at(text, nul), "a NUL character, which no key name, value name or string can hold");
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start <= text.size();) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(trim_right(std::string_view(text).substr(start, end - start)));
    start = end + 1;
  }

  const std::string_view header = lines.empty() ? std::string_view{} : lines[0];
  bool v5 = false;
  if (header == kHeader5) {
    v5 = true;
  } else if (header != kHeader4) {
    fail(source, 1, "not a registry file: the first line must be REGEDIT4 or Windows Registry Editor Version 5.00");
  }

  RegKey* current = nullptr;
  bool in_deleted_key = false;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t line_no = i + 1;
    std::string_view line = trim_left(lines[i]);
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      std::size_t close = line.rfind(']');
      if (close == std::string_view::npos) fail(source, line_no, "missing ']' after key name");
      if (!trim_left(line.substr(close + 1)).empty()) fail(source, line_no, "text after ']'");
      std::string_view inner = line.substr(1, close - 1);
      bool remove = !inner.empty() && inner.front() == '-';
      if (remove) inner.remove_prefix(1);
      ParsedPath path;
      std::string error = parse_full_path(inner, path);
      if (!error.empty()) fail(source, line_no, error);
      if (path.parts.size() > kMaxKeyDepth)
        fail(source, line_no,
             "key nested " + std::to_string(path.parts.size()) + " levels deep, more than the " +
                 std::to_string(kMaxKeyDepth) + " a registry allows");
      for (const auto& part : path.parts)
        if (part.size() > kMaxKeyNameChars)
          fail(source, line_no,
               "key name of " + std::to_string(part.size()) + " characters, more than the " +
                   std::to_string(kMaxKeyNameChars) + " a registry allows");
      for (auto& part : path.parts) part = reg.store(part);
      if (remove) {
        if (path.parts.empty()) fail(source, line_no, "a root key cannot be deleted");
        if (RegKey* key = reg.find(path)) reg.remove_child(*key->parent, key);
        current = nullptr;
        in_deleted_key = true;
      } else {
        current = reg.ensure(path);
        in_deleted_key = false;
      }
      continue;
    }

    if (line.front() != '"' && line.front() != '@') fail(source, line_no, "expected '[key]' or a value line");

    // A value line may run on over lines that end with a backslash.
    std::string logical(line);
    while (!logical.empty() && logical.back() == '\\' && i + 1 < lines.size()) {
      logical.pop_back();
      logical += trim_left(lines[++i]);
    }
    std::string_view s(logical);

    if (!current)
      fail(source, line_no, in_deleted_key ? "value inside a deleted key" : "value before any '[key]' line");

    std::string name;
    std::size_t pos = 0;
    std::string error;
    if (s.front() == '@') {
      pos = 1;
    } else {
      auto quoted = parse_quoted(s, pos, error);
      if (!quoted) fail(source, line_no, "value name: " + error);
      name = std::move(*quoted);
      if (name.size() > kMaxValueNameChars)
        fail(source, line_no,
             "value name of " + std::to_string(name.size()) + " characters, more than the " +
                 std::to_string(kMaxValueNameChars) + " a registry allows");
    }
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
    if (pos >= s.size() || s[pos] != '=') fail(source, line_no, "expected '=' after the value name");
    ++pos;
    std::string_view data = trim_left(s.substr(pos));

    if (data == "-") {
      current->erase_value(reg.store(name));
      continue;
    }
    if (!data.empty() && data.front() == '"') {
      std::size_t p = 0;
      auto str = parse_quoted(data, p, error);
      if (!str) fail(source, line_no, "string data: " + error);
      if (!trim_left(data.substr(p)).empty()) fail(source, line_no, "text after the closing '\"'");
      std::vector<std::uint8_t> bytes(str->begin(), str->end());
      bytes.push_back(0);
      current->put_value(reg.store(name), REG_SZ, reg.stored_data(REG_SZ, std::move(bytes)));
      continue;
    }
    if (starts_with_nocase(data, "dword:")) {
      std::string_view digits = data.substr(6);
      if (digits.empty() || digits.size() > 8) fail(source, line_no, "dword: needs 1 to 8 hex digits");
      DWORD v = 0;
      for (char c : digits) {
        int d = hex_digit(c);
        if (d < 0) fail(source, line_no, "dword: needs 1 to 8 hex digits");
        v = (v << 4) | static_cast<DWORD>(d);
      }
      current->put_value(reg.store(name), REG_DWORD,
                         {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                          static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
      continue;
    }
    if (starts_with_nocase(data, "hex")) {
      std::string_view rest = data.substr(3);
      DWORD type = REG_BINARY;
      if (!rest.empty() && rest.front() == '(') {
        std::size_t close = rest.find(')');
        std::string_view digits = rest.substr(1, close == std::string_view::npos ? 0 : close - 1);
        if (close == std::string_view::npos || digits.empty() || digits.size() > 8)
          fail(source, line_no, "hex(N): N must be 1 to 8 hex digits");
        type = 0;
        for (char c : digits) {
          int d = hex_digit(c);
          if (d < 0) fail(source, line_no, "hex(N): N must be 1 to 8 hex digits");
          type = (type << 4) | static_cast<DWORD>(d);
        }
        rest = rest.substr(close + 1);
      }
      if (rest.empty() || rest.front() != ':') fail(source, line_no, "expected ':' after hex");
      rest = trim_left(trim_right(rest.substr(1)));
      std::vector<std::uint8_t> bytes;
      if (!rest.empty()) {
        std::size_t start = 0;
        while (true) {
          std::size_t comma = rest.find(',', start);
          std::string_view token = trim_left(
              trim_right(rest.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
          if (token.empty() || token.size() > 2 || hex_digit(token[0]) < 0 ||
              (token.size() == 2 && hex_digit(token[1]) < 0))
            fail(source, line_no, "bad byte '" + std::string(token) + "' in hex data");
          int v = hex_digit(token[0]);
          if (token.size() == 2) v = v * 16 + hex_digit(token[1]);
          bytes.push_back(static_cast<std::uint8_t>(v));
          if (comma == std::string_view::npos) break;
          start = comma + 1;
        }
      }
      if (v5 && is_string_type(type)) {
        // Version 5 files hold string data as UTF-16LE, REGEDIT4 files in
        // the ANSI code page.
        if (bytes.size() % 2 != 0) fail(source, line_no, "UTF-16 string data of odd length");
        bytes = bytes_of(utf8_from_utf16le(text_of(bytes)));
      } else if (is_string_type(type)) {
        std::size_t bad = std::string_view::npos;
        std::string text = reg.cp().to_utf8(text_of(bytes), &bad);
        if (bad != std::string_view::npos)
          fail(source, line_no,
               "string data: byte " + std::to_string(bad) + " stands for no character of the machine's code page " +
                   std::to_string(reg.cp().id()));
        bytes = bytes_of(text);
      }
      current->put_value(reg.store(name), type, reg.stored_data(type, std::move(bytes)));
      continue;
    }
    fail(source, line_no, "unrecognised value data '" + std::string(data.substr(0, 20)) + "'");
  }
}

// ---- export --------------------------------------------------------------------

// A REGEDIT4 file holds its text in the machine's code page: a key path,
// value name or string that the page cannot represent is refused, naming
// it, rather than written with '?' (which would name another key, or none,
// when the file is imported). `ansi` is null for a Version 5 file.
void check_ansi(const CodePage* ansi, const std::string& path, const RegValue* v) {
  if (!ansi) return;
  auto refuse = [&](const std::string& what, std::string_view text) {
    std::string chars;
    for (char32_t u : utf32_from_utf8(text)) {
      if (ansi->holds(utf8_from_utf32(std::u32string_view(&u, 1)))) continue;
      char buf[16];
      std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(u));
      chars = buf;
      break;
    }
    throw UnrepresentableText("[" + path + "]" + what + " holds " + chars + ", which the machine's code page " +
                              std::to_string(ansi->id()) + " cannot represent in a REGEDIT4 file");
  };
  if (!v) {
    if (!ansi->holds(path)) refuse("", path);
    return;
  }
  const std::string name = v->name.empty() ? "@" : "\"" + v->name + "\"";
  if (!ansi->holds(v->name)) refuse(" value " + name + ": its name", v->name);
  if (is_string_type(v->type) && !ansi->holds(text_of(v->data)))
    refuse(" value " + name + ": its data", text_of(v->data));
}

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// A REG_SZ that reads back the same from "..." text: one terminating zero,
// none inside, no line breaks.
bool plain_string(const std::vector<std::uint8_t>& data) {
  if (data.empty() || data.back() != 0) return false;
  return std::none_of(data.begin(), data.end() - 1, [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

// One value as a .reg line (with continuation lines), without the newline.
// Hex data wraps as regedit wraps it: a line is broken after the comma that
// takes it to 77 columns, continuation lines start with two blanks.
void append_value(std::string& out, const RegValue& v, const CodePage* ansi, std::string_view eol) {
  const bool v5 = ansi == nullptr;
  const std::size_t line_start = out.size();
  if (v.name.empty()) {
    out += '@';
  } else {
    append_quoted(out, v.name);
  }
  out += '=';
  if (v.type == REG_SZ && plain_string(v.data)) {
    append_quoted(out, std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
    return;
  }
  if (v.type == REG_DWORD && v.data.size() == 4) {
    char buf[16];
    DWORD d = static_cast<DWORD>(v.data[0]) | static_cast<DWORD>(v.data[1]) << 8 | static_cast<DWORD>(v.data[2]) << 16 |
              static_cast<DWORD>(v.data[3]) << 24;
    std::snprintf(buf, sizeof buf, "dword:%08x", d);
    out += buf;
    return;
  }
  if (v.type == REG_BINARY) {
    out += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    out += buf;
  }
  // String data in hex: UTF-16LE in Version 5 files, ANSI in REGEDIT4.
  std::string bytes(v.data.begin(), v.data.end());
  if (is_string_type(v.type)) bytes = v5 ? utf16le_from_utf8(bytes) : ansi->from_utf8(bytes);
  std::size_t line_len = out.size() - line_start;
  static const char digits[] = "0123456789abcdef";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    out += digits[b >> 4];
    out += digits[b & 15];
    if (i + 1 == bytes.size()) break;
    out += ',';
    line_len += 3;
    if (line_len >= 77) {
      out += '\\';
      out += eol;
      out += "  ";
      line_len = 2;
    }
  }
}

// The text is built in UTF-8; a file is written as regedit writes it:
// Version 5 in UTF-16LE with a byte order mark, REGEDIT4 in the machine's
// code page (check_ansi has made sure it holds every character).
std::string finish_text(const std::string& text, const CodePage* ansi) {
  if (ansi) return ansi->from_utf8(text);
  std::string out = "\xFF\xFE";
  out += utf16le_from_utf8(text);
  return out;
}

void export_key(const RegKey& key, const std::string& path, bool is_root, const CodePage* ansi, std::string& out) {
  if (!is_root || !key.values.empty()) {
    check_ansi(ansi, path, nullptr);
    out += "[" + path + "]\r\n";
    for (const auto& v : key.values) {
      check_ansi(ansi, path, &v);
      append_value(out, v, ansi, "\r\n");
      out += "\r\n";
    }
    out += "\r\n";
  }
  for (const auto& child : key.sub_keys()) export_key(*child, path + "\\" + child->name, false, ansi, out);
}

// ---- differences ----------------------------------------------------------------
//
// A change file (diff_from) and an undo file (undo_to) are the same text
// with the roles swapped: what turns the registry `have` into `want`.

// How a change file is written: the code page of its REGEDIT4 text (null
// for Version 5), its line end, and whether text the page cannot represent
// is refused (a file) or shown as it is (a report, in UTF-8).
struct DiffText {
  const CodePage* ansi;
  std::string_view eol;
  bool checked;
  const CodePage* checking() const { return checked ? ansi : nullptr; }
};

// "[-KEY]" for each key of `have` that `want` lacks, once, at the top of
// the missing sub-tree.
void write_deleted_keys(const RegKey& have, const RegKey& want, const std::string& path, const DiffText& t,
                        std::string& out) {
  for (const auto& child : have.sub_keys()) {
    const std::string child_path = path + "\\" + child->name;
    if (const RegKey* kept = want.child(child->folded)) {
      write_deleted_keys(*child, *kept, child_path, t, out);
    } else {
      check_ansi(t.checking(), child_path, nullptr);
      out += "[-" + child_path + "]";
      out += t.eol;
      out += t.eol;
    }
  }
}

// The keys of `want` with the values that differ from `have` (a key `have`
// lacks comes whole), and "name"=- for the values only `have` holds.
void write_changed_keys(const RegKey& want, const RegKey* have, const std::string& path, bool is_root,
                        const DiffText& t, std::string& out) {
  std::string block;
  for (const auto& v : want.values) {
    const RegValue* was = have ? have->value(fold(v.name)) : nullptr;
    if (!was || was->type != v.type || was->data != v.data) {
      check_ansi(t.checking(), path, &v);
      append_value(block, v, t.ansi, t.eol);
      block += t.eol;
    }
  }
  if (have) {
    for (const auto& v : have->values) {
      if (want.value(fold(v.name))) continue;
      check_ansi(t.checking(), path, &v);
      if (v.name.empty()) {
        block += '@';
      } else {
        append_quoted(block, v.name);
      }
      block += "=-";
      block += t.eol;
    }
  }
  if (!block.empty() || (!have && !is_root)) {
    check_ansi(t.checking(), path, nullptr);
    out += "[" + path + "]";
    out += t.eol;
    out += block;
    out += t.eol;
  }
  for (const auto& child : want.sub_keys())
    write_changed_keys(*child, have ? have->child(child->folded) : nullptr, path + "\\" + child->name, false, t, out);
}

}  // namespace

void Registry::import_reg(const std::string& bytes, const std::string& source) { import_text(*state_, bytes, source); }

void Registry::import_reg_file(const std::filesystem::path& file) {
  import_text(*state_, read_input_file(file, kMaxRegBytes), file.string());
}

std::string Registry::export_reg(RegFormat format) const {
  const bool v5 = format == RegFormat::Version5;
  const CodePage* ansi = v5 ? nullptr : &state_->cp();
  std::string out(v5 ? kHeader5 : kHeader4);
  out += "\r\n\r\n";
  for (const auto& root : state_->roots) export_key(*root, root->name, true, ansi, out);
  return finish_text(out, ansi);
}

std::string Registry::diff_from(const Registry& before) const {
  const auto& now = state_->roots;
  const auto& was = before.state_->roots;
  const DiffText t{&state_->cp(), "\n", false};
  std::string body;
  for (int r = 0; r < kRootCount; ++r) write_deleted_keys(*was[r], *now[r], now[r]->name, t, body);
  for (int r = 0; r < kRootCount; ++r) write_changed_keys(*now[r], was[r].get(), now[r]->name, true, t, body);
  if (body.empty()) return {};
  return std::string(kHeader4) + "\n\n" + body;
}

std::string Registry::undo_to(const Registry& before, RegFormat format) const {
  const bool v5 = format == RegFormat::Version5;
  const auto& now = state_->roots;
  const auto& was = before.state_->roots;
  const DiffText t{v5 ? nullptr : &state_->cp(), "\r\n", true};
  std::string out(v5 ? kHeader5 : kHeader4);
  out += "\r\n\r\n";
  for (int r = 0; r < kRootCount; ++r) write_deleted_keys(*now[r], *was[r], now[r]->name, t, out);
  for (int r = 0; r < kRootCount; ++r) write_changed_keys(*was[r], now[r].get(), now[r]->name, true, t, out);
  return finish_text(out, t.ansi);
}

}  // namespace sim::win32
