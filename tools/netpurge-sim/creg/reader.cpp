// Reading and checking a registry file (creg.h).
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "creg.h"
#include "layout.h"

namespace creg {

using namespace layout;

std::uint32_t name_hash(std::string_view name) {
  std::uint32_t sum = 0;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80) sum += static_cast<std::uint32_t>(u >= 'a' && u <= 'z' ? u - 0x20 : u);
  }
  return sum;
}

namespace {

std::string hex(std::size_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%zX", v);
  return text;
}

[[noreturn]] void fail(const std::string& what, std::size_t at) {
  throw FormatError(what + " (at offset " + hex(at) + ")");
}

struct Parser {
  Parser(std::string_view bytes, std::vector<std::string>* out) : b(bytes), problems(out) {}
  std::string_view b;
  std::vector<std::string>* problems;  // null: read only
  std::size_t rgkn_size = 0;
  std::unordered_map<std::uint32_t, std::size_t> entries;  // data entry id -> its file offset
  std::unordered_set<std::uint32_t> claimed;               // ids a key record names
  std::vector<char> seen;                                  // per record slot: reached
  std::size_t bad_hashes = 0;

  void note(const std::string& p) {
    if (problems) problems->push_back(p);
  }

  void header() {
    if (b.size() < 4 || b.substr(0, 4) != "CREG")
      throw FormatError("not a Windows 95/98 registry file (it does not start with \"CREG\")");
    if (b.size() < kRgknAt + kRgknHeader)
      throw FormatError("truncated: " + std::to_string(b.size()) +
                        " bytes, shorter than the header and key tree header");
    if (u16(b, kHdrVersion + 2) != 1)
      fail("format version " + std::to_string(u16(b, kHdrVersion + 2)) + " unknown", kHdrVersion);
    if (b.substr(kRgknAt, 4) != "RGKN") fail("no key tree (\"RGKN\") after the header", kRgknAt);
    rgkn_size = u32(b, kRgknAt + kRgknSize);
    if (rgkn_size < kRgknHeader || rgkn_size > b.size() - kRgknAt)
      fail("truncated or corrupt: the key tree says " + std::to_string(rgkn_size) + " bytes, the file holds " +
               std::to_string(b.size() - kRgknAt) + " after the header",
           kRgknAt + kRgknSize);
    seen.assign((rgkn_size - kRgknHeader) / kRecordSize, 0);
    const std::size_t data_at = u32(b, kHdrDataOffset);
    if (data_at < kRgknAt + rgkn_size || data_at > b.size())
      fail("the first data block's offset " + hex(data_at) + " lies inside the key tree or beyond the file's end",
           kHdrDataOffset);
    if (data_at != kRgknAt + rgkn_size) note("the data blocks do not start right after the key tree");
    const std::size_t count = u32(b, kHdrBlocks);
    const std::size_t room = (b.size() - data_at) / kDbHeader;
    if (count > room || count > 0xFFFF)
      fail("truncated or corrupt: the header counts " + std::to_string(count) +
               " data blocks, the file has room for at most " + std::to_string(room),
           kHdrBlocks);
    std::size_t at = data_at;
    for (std::size_t i = 0; i < count; ++i) at += block(i, at);
    if (at != b.size()) note(std::to_string(b.size() - at) + " bytes after the last data block");
  }

  // The data block `index` at `at`; its size.
  std::size_t block(std::size_t index, std::size_t at) {
    const std::string which = "data block " + std::to_string(index);
    if (b.size() - at < kDbHeader) fail("truncated: " + which + " is cut off", at);
    if (b.substr(at, 4) != "RGDB") fail(which + " does not start with \"RGDB\"", at);
    const std::size_t size = u32(b, at + kDbSize);
    if (size < kDbHeader || size > b.size() - at)
      fail("truncated or corrupt: " + which + " says " + std::to_string(size) + " bytes, " +
               std::to_string(b.size() - at) + " are left in the file",
           at + kDbSize);
    std::size_t p = at + kDbHeader, unused = 0;
    const std::size_t end = at + size;
    while (p < end) {
      if (end - p < 8) {
        unused += end - p;
        break;
      }
      const std::size_t es = u32(b, p + kEntSize);
      const std::uint32_t id = u32(b, p + kEntId);
      if (es < 8 || es > end - p)
        fail("a data entry of " + std::to_string(es) + " bytes in " + which + ", which has " + std::to_string(end - p) +
                 " left",
             p);
      if (id == kNone) {  // free
        unused += es;
        p += es;
        continue;
      }
      if (es < kEntHeader) fail("a data entry of " + std::to_string(es) + " bytes, shorter than its header", p);
      if ((id >> 16) != index)
        fail("a data entry with the id of block " + std::to_string(id >> 16) + " lies in " + which, p + kEntId);
      const std::size_t used = u32(b, p + kEntUsed);
      if (used < kEntHeader || used > es)
        fail("a data entry uses " + std::to_string(used) + " of its " + std::to_string(es) + " bytes", p + kEntUsed);
      values(p, used, nullptr);
      if (!entries.emplace(id, p).second)
        fail("two data entries with key id " + std::to_string(id & 0xFFFF) + " in " + which, p + kEntId);
      unused += es - used;
      p += es;
    }
    if (u32(b, at + kDbUnused) != unused)
      note(which + " counts " + std::to_string(u32(b, at + kDbUnused)) + " unused bytes, it has " +
           std::to_string(unused));
    return size;
  }

  // The name and values of the data entry at `p` (`used` bytes in use);
  // into `key` unless null.
  void values(std::size_t p, std::size_t used, Key* key) {
    const std::size_t name_len = u16(b, p + kEntNameLen), count = u16(b, p + kEntValues);
    if (kEntHeader + name_len > used)
      fail("a key name of " + std::to_string(name_len) + " bytes, longer than its entry", p);
    std::size_t q = kEntHeader + name_len;
    if (count > (used - q) / kValHeader)
      fail("a data entry counts " + std::to_string(count) + " values, it has room for at most " +
               std::to_string((used - q) / kValHeader),
           p + kEntValues);
    if (key) key->name.assign(b.substr(p + kEntHeader, name_len));
    if (key) key->values.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      if (used - q < kValHeader) fail("value " + std::to_string(i) + " of a key is cut off by its entry's end", p + q);
      const std::size_t nl = u16(b, p + q + kValNameLen), dl = u16(b, p + q + kValDataLen);
      if (nl + dl > used - q - kValHeader)
        fail("value " + std::to_string(i) + " of a key is longer than its entry", p + q);
      if (key)
        key->values.push_back({std::string(b.substr(p + q + kValHeader, nl)), u32(b, p + q + kValType),
                               std::string(b.substr(p + q + kValHeader + nl, dl))});
      q += kValHeader + nl + dl;
    }
  }

  std::size_t record_at(std::uint32_t off, std::size_t from) {
    if (off < kRgknHeader || off >= rgkn_size || rgkn_size - off < kRecordSize || (off - kRgknHeader) % kRecordSize)
      fail("a key record offset " + hex(off) + " outside the key tree or off its record boundaries", from);
    return kRgknAt + off;
  }

  void key(std::uint32_t off, std::uint32_t parent, std::size_t depth, Key& out, std::size_t from) {
    const std::size_t r = record_at(off, from);
    if (depth > kMaxDepth) fail("the key tree is more than " + std::to_string(kMaxDepth) + " levels deep", r);
    char& mark = seen[(off - kRgknHeader) / kRecordSize];
    if (mark) fail("the key record at " + hex(r) + " is reached twice: the key tree has a cycle", from);
    mark = 1;
    if (u32(b, r + kRecParent) != parent)
      fail("a key record whose parent is not the key that lists it", r + kRecParent);
    if (u32(b, r + kRecInUse) != 0) note("the key record at " + hex(r) + " in the tree is not marked in use");
    const std::uint32_t id = u16(b, r + kRecId) | u16(b, r + kRecBlock) << 16;
    if (id == kNone) {
      if (depth != 0) fail("a key record without a data entry below the root", r + kRecId);
    } else {
      const auto e = entries.find(id);
      if (e == entries.end())
        fail("a key record names key id " + std::to_string(id & 0xFFFF) + " of data block " + std::to_string(id >> 16) +
                 ", which no data entry has",
             r + kRecId);
      if (!claimed.insert(id).second)
        fail(
            "two key records name key id " + std::to_string(id & 0xFFFF) + " of data block " + std::to_string(id >> 16),
            r + kRecId);
      values(e->second, u32(b, e->second + kEntUsed), &out);
    }
    if (u32(b, r + kRecHash) != name_hash(out.name) && depth != 0) ++bad_hashes;
    for (std::uint32_t child = u32(b, r + kRecChild); child != kNone;) {
      out.subkeys.emplace_back();
      key(child, off, depth + 1, out.subkeys.back(), r + kRecChild);
      child = u32(b, kRgknAt + child + kRecNext);
    }
  }

  Key tree() {
    header();
    Key root;
    key(u32(b, kRgknAt + kRgknRoot), kNone, 0, root, kRgknAt + kRgknRoot);
    if (bad_hashes) note(std::to_string(bad_hashes) + " key record(s) with a hash that does not match the name");
    if (claimed.size() != entries.size())
      note(std::to_string(entries.size() - claimed.size()) + " data entries that no key record names");
    return root;
  }
};

}  // namespace

Key read(std::string_view bytes) {
  Parser p(bytes, nullptr);
  return p.tree();
}

std::vector<std::string> check(std::string_view bytes) {
  std::vector<std::string> problems;
  Parser p(bytes, &problems);
  p.tree();
  return problems;
}

}  // namespace creg
