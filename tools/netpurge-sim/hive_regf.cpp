// Reading and checking a regf hive: bins and cells, then the key tree from
// the root, each cell it reaches claimed by the one record that owns it.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <unordered_map>

#include "hive_regf.h"

namespace netpurge_sim::regf {

std::string cell_name(std::uint32_t cell) {
  char s[32];
  std::snprintf(s, sizeof s, "cell 0x%X", static_cast<unsigned>(cell));
  return s;
}

std::uint32_t get32(const std::string& b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}
void put32(std::string& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
static std::uint16_t get16(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}

std::uint32_t header_checksum(const std::string& b) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 0x1FC; i += 4) sum ^= get32(b, i);
  return sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum == 0 ? 1 : sum;
}

std::u16string utf16_of(const std::string& s) {
  std::u16string out;
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 9;
    char32_t u = 0xFFFD;
    std::size_t used = 1;
    if (extra == 0) {
      u = c;
    } else if (extra < 9 && i + extra < s.size()) {
      char32_t v = c & (0x3F >> extra);
      bool ok = true;
      for (std::size_t k = 1; ok && k <= extra; ++k) {
        const unsigned char cc = static_cast<unsigned char>(s[i + k]);
        ok = (cc & 0xC0) == 0x80;
        v = (v << 6) | (cc & 0x3F);
      }
      if (ok) u = v > 0x10FFFF ? 0xFFFD : v, used = extra + 1;
    }
    i += used;
    if (u >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((u - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((u - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(u));
    }
  }
  return out;
}

std::string utf8_of(const std::u16string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t u = s[i];
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
      u = 0x10000 + ((u - 0xD800) << 10) + (s[++i] - 0xDC00);
    else if (u >= 0xD800 && u < 0xE000)
      u = 0xFFFD;
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (u >> 6)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else if (u < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (u >> 12)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (u >> 18)));
      out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
  }
  return out;
}

namespace {

// A stored name: one byte a character (flag set) or UTF-16LE.
std::string stored_name(const std::string& b, std::size_t at, std::size_t len, bool compressed) {
  std::u16string units;
  if (compressed) {
    for (std::size_t i = 0; i < len; ++i) units.push_back(static_cast<unsigned char>(b[at + i]));
  } else {
    for (std::size_t i = 0; i + 1 < len; i += 2) units.push_back(get16(b, at + i));
  }
  return utf8_of(units);
}

struct Parser {
  Hive& h;
  std::size_t max_depth;
  std::unordered_map<std::uint32_t, std::string> owner;  // cell -> what holds it

  std::string hazard_once(const std::string& s) {
    h.hazards.push_back(s);
    return s;
  }
  // The allocated cell at `cell` with at least `need` data bytes: its data
  // size, or a reason it is none.
  std::string find(std::uint32_t cell, std::size_t need, std::size_t* size) const {
    auto it = std::lower_bound(h.cells.begin(), h.cells.end(), std::make_pair(cell, INT32_MIN));
    if (it == h.cells.end() || it->first != cell) return cell_name(cell) + " is not the start of a cell";
    if (it->second >= 0) return cell_name(cell) + " is a free cell";
    *size = static_cast<std::size_t>(-static_cast<std::int64_t>(it->second)) - 4;
    if (*size < need)
      return cell_name(cell) + " holds " + std::to_string(*size) + " bytes, " + std::to_string(need) + " needed";
    return "";
  }
  std::size_t need(std::uint32_t cell, std::size_t n, const std::string& what) const {
    std::size_t size = 0;
    const std::string why = find(cell, n, &size);
    if (!why.empty()) throw Corrupt(what + ": " + why);
    return size;
  }
  std::size_t at(std::uint32_t cell) const { return kBaseBlock + cell + 4; }
  // Claims a cell for `who`: a second claim is a hazard.
  bool claim(std::uint32_t cell, const std::string& who) {
    auto [it, fresh] = owner.emplace(cell, who);
    if (!fresh) hazard_once(cell_name(cell) + " is used twice: by " + it->second + " and by " + who);
    return fresh;
  }

  void bins() {
    const std::uint64_t end = get32(h.bytes, 0x28);
    std::uint64_t off = 0;
    while (off < end) {
      const std::size_t b = kBaseBlock + off;
      if (h.bytes.compare(b, 4, "hbin") != 0)
        throw Corrupt("no hive bin at offset 0x" + hex(off) + " (it does not start with \"hbin\")");
      const std::uint64_t size = get32(h.bytes, b + 8);
      if (get32(h.bytes, b + 4) != off || size < 0x1000 || size % 0x1000 != 0 || size > end - off)
        throw Corrupt("the hive bin at offset 0x" + hex(off) + " gives a wrong offset or size");
      h.bins.emplace_back(static_cast<std::uint32_t>(off), static_cast<std::uint32_t>(size));
      for (std::uint64_t c = off + 0x20; c < off + size;) {
        const std::int32_t s = static_cast<std::int32_t>(get32(h.bytes, kBaseBlock + c));
        const std::uint64_t len = s < 0 ? -static_cast<std::int64_t>(s) : s;
        if (len < 8 || len % 8 != 0 || len > off + size - c)
          throw Corrupt(cell_name(static_cast<std::uint32_t>(c)) + " has a size (" + std::to_string(s) +
                        ") that does not fit its bin");
        h.cells.emplace_back(static_cast<std::uint32_t>(c), s);
        c += len;
      }
      off += size;
    }
  }
  static std::string hex(std::uint64_t v) {
    char s[24];
    std::snprintf(s, sizeof s, "%llX", static_cast<unsigned long long>(v));
    return s;
  }

  // The nk cells a subkey list names, and the list's own cells.
  void list(std::uint32_t cell, const std::string& key, bool root, std::vector<std::uint32_t>& nks, Key& k) {
    const std::string what = "the subkey list of " + key;
    const std::size_t size = need(cell, 4, what);
    const std::size_t p = at(cell);
    if (!claim(cell, what)) throw Corrupt(what + ": " + cell_name(cell) + " is another key's list");
    k.list_cells.push_back(cell);
    const std::string sig = h.bytes.substr(p, 2);
    const std::size_t n = get16(h.bytes, p + 2);
    const std::size_t step = sig == "li" || sig == "ri" ? 4 : 8;
    if (sig != "li" && sig != "lf" && sig != "lh" && !(sig == "ri" && root))
      throw Corrupt(what + ": " + cell_name(cell) + " is no subkey list (\"" + sig + "\")");
    if (4 + n * step > size) throw Corrupt(what + ": " + cell_name(cell) + " is shorter than its entries");
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t e = get32(h.bytes, p + 4 + i * step);
      if (sig == "ri")
        list(e, key, false, nks, k);
      else
        nks.push_back(e);
    }
  }

  void value(std::uint32_t cell, Key& k, const std::string& key) {
    const std::string what = "a value of " + key;
    const std::size_t size = need(cell, 0x14, what);
    const std::size_t p = at(cell);
    if (h.bytes.compare(p, 2, "vk") != 0) throw Corrupt(what + ": " + cell_name(cell) + " is no value (vk) cell");
    const std::size_t name_len = get16(h.bytes, p + 2);
    if (0x14 + name_len > size) throw Corrupt(what + ": " + cell_name(cell) + " is shorter than the value's name");
    Value v;
    v.cell = cell;
    v.name = stored_name(h.bytes, p + 0x14, name_len, get16(h.bytes, p + 0x10) & 1);
    v.type = get32(h.bytes, p + 0x0C);
    if (!claim(cell, "value \"" + v.name + "\" of " + key)) return;  // listed twice: read once
    const std::uint32_t raw = get32(h.bytes, p + 4), len = raw & 0x7FFFFFFF, data = get32(h.bytes, p + 8);
    if (raw & 0x80000000) {  // up to 4 bytes in the offset field itself
      if (len > 4) throw Corrupt(what + ": " + cell_name(cell) + " gives " + std::to_string(len) + " inline bytes");
      v.data = h.bytes.substr(p + 8, len);
    } else if (len > 0) {  // a zero length owns no cell, whatever the offset says
      need(data, len, "the data of value \"" + v.name + "\" of " + key);
      claim(data, "the data of value \"" + v.name + "\" of " + key);
      v.data_cell = data;
      v.data = h.bytes.substr(at(data), len);
    }
    for (const Value& o : k.values)
      if (fold_ascii(o.name) == fold_ascii(v.name))
        hazard_once(key + " holds two values named \"" + v.name + "\" (" + cell_name(o.cell) + ", " + cell_name(cell) +
                    ")");
    k.values.push_back(std::move(v));
  }
  static std::string fold_ascii(std::string s) {
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    return s;
  }

  void key(std::uint32_t cell, std::size_t parent, const std::string& path, std::size_t depth) {
    if (depth > max_depth) throw Corrupt("keys nested deeper than " + std::to_string(max_depth) + " levels");
    const std::size_t size = need(cell, 0x4C, "a key below " + path);
    const std::size_t p = at(cell);
    if (h.bytes.compare(p, 2, "nk") != 0) throw Corrupt("a key below " + path + ": " + cell_name(cell) + " is no key");
    if (owner.count(cell)) throw Corrupt("a key appears twice in the tree (a loop) at " + cell_name(cell));
    const std::size_t name_len = get16(h.bytes, p + 0x48);
    if (0x4C + name_len > size) throw Corrupt(cell_name(cell) + " is shorter than its key's name");
    const std::size_t index = h.keys.size();
    h.keys.emplace_back();
    Key k;
    k.cell = cell;
    k.parent = parent;
    k.name = stored_name(h.bytes, p + 0x4C, name_len, get16(h.bytes, p + 2) & 0x20);
    const std::string me = depth == 0 ? std::string("the root key") : path + "\\" + k.name;
    owner.emplace(cell, "the key " + me);
    if (depth > 0 && get32(h.bytes, p + 0x10) != h.keys[parent].cell)
      hazard_once("the key " + me + " (" + cell_name(cell) + ") names another parent");
    k.security = get32(h.bytes, p + 0x2C);
    std::size_t sk_size = 0;
    if (!find(k.security, 0x14, &sk_size).empty() || h.bytes.compare(at(k.security), 2, "sk") != 0)
      hazard_once("the key " + me + " has no security cell at " + cell_name(k.security));
    else
      ++h.sk_refs[k.security];
    const std::uint32_t class_cell = get32(h.bytes, p + 0x30);
    const std::size_t class_len = get16(h.bytes, p + 0x4A);
    if (class_cell != kNil) {
      std::size_t class_size = 0;
      const std::string why = find(class_cell, class_len, &class_size);
      if (!why.empty())
        hazard_once("the class name of " + me + ": " + why);
      else if (claim(class_cell, "the class name of " + me))
        k.class_cell = class_cell;
    }
    const std::uint32_t nvalues = get32(h.bytes, p + 0x24);
    if (nvalues > 0) {
      k.value_list = get32(h.bytes, p + 0x28);
      if (nvalues > 0x100000) throw Corrupt(me + ": " + std::to_string(nvalues) + " values");
      need(k.value_list, std::size_t{4} * nvalues, "the value list of " + me);
      if (!claim(k.value_list, "the value list of " + me))
        throw Corrupt("the value list of " + me + " at " + cell_name(k.value_list) + " is another's");
      for (std::uint32_t i = 0; i < nvalues; ++i) value(get32(h.bytes, at(k.value_list) + 4 * i), k, me);
    }
    const std::uint32_t nsub = get32(h.bytes, p + 0x14), sub = get32(h.bytes, p + 0x1C);
    std::vector<std::uint32_t> nks;
    if (sub != kNil) list(sub, me, true, nks, k);
    if (nks.size() != nsub)
      hazard_once("the key " + me + " (" + cell_name(cell) + ") counts " + std::to_string(nsub) +
                  " subkeys, its list holds " + std::to_string(nks.size()));
    h.keys[index] = std::move(k);
    for (std::uint32_t child : nks) {
      h.keys[index].children.push_back(h.keys.size());
      key(child, index, depth == 0 ? path : me, depth + 1);
    }
  }

  // Reference counts and the doubly linked list of the sk cells.
  void security() {
    for (const auto& [sk, refs] : h.sk_refs) {
      claim(sk, "the security cell list");
      if (get32(h.bytes, at(sk) + 0x0C) != refs)
        hazard_once(cell_name(sk) + ": its reference count is " + std::to_string(get32(h.bytes, at(sk) + 0x0C)) + ", " +
                    std::to_string(refs) + " keys use it");
    }
    if (h.sk_refs.empty()) return;
    std::set<std::uint32_t> on_list;
    const std::uint32_t first = h.sk_refs.begin()->first;
    std::uint32_t cur = first;
    do {
      std::size_t size = 0;
      const std::uint32_t next = get32(h.bytes, at(cur) + 4);
      if (!find(next, 0x14, &size).empty() || h.bytes.compare(at(next), 2, "sk") != 0 ||
          get32(h.bytes, at(next) + 8) != cur || !on_list.insert(cur).second) {
        hazard_once("the list of security cells is broken after " + cell_name(cur));
        return;
      }
      cur = next;
    } while (cur != first);
    for (const auto& [sk, refs] : h.sk_refs)
      if (!on_list.count(sk)) hazard_once(cell_name(sk) + " is not on the list of security cells");
  }
};

}  // namespace

Hive parse(std::string bytes, std::size_t max_depth) {
  Hive h;
  h.bytes = std::move(bytes);
  if (h.bytes.size() < kBaseBlock + 0x20) throw Corrupt("shorter than a base block and a bin");
  h.minor = get32(h.bytes, 0x18);
  if (kBaseBlock + static_cast<std::uint64_t>(get32(h.bytes, 0x28)) > h.bytes.size())
    throw Corrupt("the base block gives more hive data than the file holds");
  Parser p{h, max_depth, {}};
  p.bins();
  p.key(get32(h.bytes, 0x24), 0, "", 0);
  p.security();
  return h;
}

}  // namespace netpurge_sim::regf
