// Hive files as NT 4 writes them, built from the documented regf layout
// for the tests: a base block of format 1.3, 4 KiB bins (larger for a big
// cell), lf leaves with name hints (li leaves on request) below an ri root
// index past a leaf limit, one shared sk cell per distinct descriptor on
// the doubly linked sk list, class names, values inline, in a data cell or
// empty in NT's form (size 0, data offset 0xFFFFFFFF), and free cells
// holding stale bytes between the records.
#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace hive_builder {

inline void put16(std::string& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<char>(v), b[at + 1] = static_cast<char>(v >> 8);
}
inline void put32(std::string& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}
inline std::uint32_t get32(const std::string& b, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}
inline void fix_checksum(std::string& b) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 0x1FC; i += 4) sum ^= get32(b, i);
  put32(b, 0x1FC, sum == 0 ? 1 : sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum);
}

struct Value {
  std::string name;  // ASCII
  std::uint32_t type = 3;
  std::string data;           // the bytes stored
  bool empty_inline = false;  // an empty value as size 0x80000000 rather than 0
};
struct Key {
  std::string name;  // ASCII
  std::vector<Value> values;
  std::vector<Key> keys;
  std::string sd;          // self-relative descriptor
  std::string class_name;  // ASCII, stored in UTF-16LE
};
struct Options {
  std::size_t leaf_limit = 507;  // more subkeys than this: an ri over leaves of this many
  bool li_leaves = false;
  std::size_t free_gap_every = 0;  // a free 16-byte cell of stale bytes after every N cells
  std::uint32_t minor = 3;
  std::string header_name = "SYSTEM";
};

// The built file, with where the tests find its records (hive-data
// offsets): nk cells by path ("" the root, "A\B" below it), vk cells by
// "path:value", and the free gaps.
struct Built {
  std::string bytes;
  std::map<std::string, std::uint32_t> nk, vk;
  std::vector<std::uint32_t> gaps;
};

class Builder {
 public:
  explicit Builder(const Options& o) : o_(o) {}

  Built build(const Key& root) {
    new_bin(0x1000);
    const std::uint32_t r = key(root, 0xFFFFFFFF, "", true);
    // The sk list in the order the cells were made, each with its count.
    for (std::size_t i = 0; i < sks_.size(); ++i) {
      const std::uint32_t c = sks_[i];
      put32(data_, c + 8, sks_[(i + 1) % sks_.size()]);
      put32(data_, c + 12, sks_[(i + sks_.size() - 1) % sks_.size()]);
      put32(data_, c + 16, refs_[c]);
    }
    close_bin();
    std::string b(0x1000, '\0');
    b.replace(0, 4, "regf");
    put32(b, 0x04, 7), put32(b, 0x08, 7);
    put32(b, 0x0C, 0x5A5A5A5A), put32(b, 0x10, 0x01BC0000);  // last written
    put32(b, 0x14, 1), put32(b, 0x18, o_.minor), put32(b, 0x20, 1);
    put32(b, 0x24, r), put32(b, 0x28, static_cast<std::uint32_t>(data_.size())), put32(b, 0x2C, 1);
    for (std::size_t i = 0; i < o_.header_name.size() && i < 31; ++i) b[0x30 + 2 * i] = o_.header_name[i];
    fix_checksum(b);
    out_.bytes = b + data_;
    return out_;
  }

 private:
  static std::string utf16(const std::string& s) {
    std::string out;
    for (char c : s) out += c, out += '\0';
    return out;
  }
  void new_bin(std::size_t size) {
    bin_ = data_.size();
    data_.append(size, '\0');
    data_.replace(bin_, 4, "hbin");
    put32(data_, bin_ + 4, static_cast<std::uint32_t>(bin_));
    put32(data_, bin_ + 8, static_cast<std::uint32_t>(size));
    next_ = bin_ + 0x20;
  }
  void close_bin() {
    if (next_ < data_.size()) put32(data_, next_, static_cast<std::uint32_t>(data_.size() - next_));
  }
  std::uint32_t cell(const std::string& payload) {
    const std::size_t size = (payload.size() + 4 + 7) & ~std::size_t{7};
    if (next_ + size > data_.size()) {
      close_bin();
      new_bin((size + 0x20 + 0xFFF) & ~std::size_t{0xFFF});
    }
    const std::uint32_t at = static_cast<std::uint32_t>(next_);
    put32(data_, at, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
    data_.replace(at + 4, payload.size(), payload);
    next_ += size;
    if (o_.free_gap_every && ++cells_ % o_.free_gap_every == 0 && next_ + 16 <= data_.size()) {
      put32(data_, next_, 16);
      data_.replace(next_ + 4, 12, "stale bytes!");
      out_.gaps.push_back(static_cast<std::uint32_t>(next_));
      next_ += 16;
    }
    return at;
  }
  std::uint32_t sk(const std::string& sd) {
    auto [it, fresh] = sk_of_.emplace(sd, 0);
    if (fresh) {
      std::string p(0x14, '\0');
      p.replace(0, 2, "sk");
      put32(p, 0x10, static_cast<std::uint32_t>(sd.size()));
      it->second = cell(p + sd);
      sks_.push_back(it->second);
    }
    ++refs_[it->second];
    return it->second;
  }
  std::uint32_t list(const std::vector<std::uint32_t>& nks, const std::vector<std::string>& names, std::size_t first,
                     std::size_t n) {
    std::string p(4, '\0');
    p.replace(0, 2, o_.li_leaves ? "li" : "lf");
    put16(p, 2, static_cast<std::uint32_t>(n));
    for (std::size_t i = first; i < first + n; ++i) {
      std::string e(o_.li_leaves ? 4 : 8, '\0');
      put32(e, 0, nks[i]);
      if (!o_.li_leaves) e.replace(4, std::min<std::size_t>(4, names[i].size()), names[i].substr(0, 4));
      p += e;
    }
    return cell(p);
  }
  std::uint32_t key(const Key& k, std::uint32_t parent, const std::string& path, bool root) {
    std::string p(0x4C + k.name.size(), '\0');
    p.replace(0, 2, "nk");
    put16(p, 2, root ? 0x2C : 0x20);
    put32(p, 0x04, 0x12345678), put32(p, 0x08, 0x01BC0000);
    put32(p, 0x10, parent);
    for (std::size_t f : {0x1C, 0x20, 0x28, 0x30}) put32(p, f, 0xFFFFFFFF);
    put16(p, 0x48, static_cast<std::uint32_t>(k.name.size()));
    p.replace(0x4C, k.name.size(), k.name);
    const std::uint32_t nk = cell(p);
    out_.nk[path] = nk;
    const std::size_t at = nk + 4;
    put32(data_, at + 0x2C, sk(k.sd));
    if (!k.class_name.empty()) {
      put32(data_, at + 0x30, cell(utf16(k.class_name)));
      put16(data_, at + 0x4A, static_cast<std::uint32_t>(2 * k.class_name.size()));
    }
    std::vector<std::uint32_t> vks;
    for (const Value& v : k.values) {
      std::string q(0x14 + v.name.size(), '\0');
      q.replace(0, 2, "vk");
      put16(q, 2, static_cast<std::uint32_t>(v.name.size()));
      const std::uint32_t len = static_cast<std::uint32_t>(v.data.size());
      if (len == 0) {
        put32(q, 4, v.empty_inline ? 0x80000000u : 0), put32(q, 8, 0xFFFFFFFF);
      } else if (len <= 4) {
        put32(q, 4, 0x80000000u | len);
        q.replace(8, len, v.data);
      } else {
        put32(q, 4, len), put32(q, 8, cell(v.data));
      }
      put32(q, 0x0C, v.type);
      put16(q, 0x10, v.name.empty() ? 0 : 1);
      q.replace(0x14, v.name.size(), v.name);
      vks.push_back(cell(q));
      out_.vk[path + ":" + v.name] = vks.back();
    }
    if (!vks.empty()) {
      std::string l(4 * vks.size(), '\0');
      for (std::size_t i = 0; i < vks.size(); ++i) put32(l, 4 * i, vks[i]);
      put32(data_, at + 0x24, static_cast<std::uint32_t>(vks.size()));
      put32(data_, at + 0x28, cell(l));
    }
    std::vector<const Key*> kids;
    for (const Key& c : k.keys) kids.push_back(&c);
    auto up = [](std::string s) {
      for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      return s;
    };
    std::sort(kids.begin(), kids.end(), [&](const Key* a, const Key* b) { return up(a->name) < up(b->name); });
    std::vector<std::uint32_t> nks;
    std::vector<std::string> names;
    for (const Key* c : kids) {
      nks.push_back(key(*c, nk, path.empty() ? c->name : path + "\\" + c->name, false));
      names.push_back(c->name);
    }
    if (!nks.empty()) {
      std::uint32_t top;
      if (nks.size() <= o_.leaf_limit) {
        top = list(nks, names, 0, nks.size());
      } else {
        std::vector<std::uint32_t> leaves;
        for (std::size_t f = 0; f < nks.size(); f += o_.leaf_limit)
          leaves.push_back(list(nks, names, f, std::min(o_.leaf_limit, nks.size() - f)));
        std::string r(4 + 4 * leaves.size(), '\0');
        r.replace(0, 2, "ri");
        put16(r, 2, static_cast<std::uint32_t>(leaves.size()));
        for (std::size_t i = 0; i < leaves.size(); ++i) put32(r, 4 + 4 * i, leaves[i]);
        top = cell(r);
      }
      put32(data_, at + 0x14, static_cast<std::uint32_t>(nks.size()));
      put32(data_, at + 0x1C, top);
    }
    return nk;
  }

  Options o_;
  std::string data_;
  std::size_t bin_ = 0, next_ = 0, cells_ = 0;
  std::map<std::string, std::uint32_t> sk_of_;
  std::map<std::uint32_t, std::uint32_t> refs_;
  std::vector<std::uint32_t> sks_;
  Built out_;
};

inline Built build(const Key& root, const Options& o = {}) { return Builder(o).build(root); }

inline std::uint32_t cell_at(const std::string& b, std::uint32_t cell, std::size_t field) {
  return get32(b, 0x1000 + cell + 4 + field);
}
inline std::uint16_t u16_at(const std::string& b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}

// What in the file NT 4 or 2000 would trip on, walking from the root:
// checked from the format description, apart from the kit's own reader.
inline std::vector<std::string> layout_faults(const std::string& b) {
  std::vector<std::string> faults;
  if (get32(b, 4) != get32(b, 8)) faults.push_back("sequence numbers differ");
  if (get32(b, 0x18) != 3) faults.push_back("minor version not 3");
  std::string copy = b;
  fix_checksum(copy);
  if (copy.compare(0, 0x200, b, 0, 0x200) != 0) faults.push_back("checksum wrong");
  std::map<std::uint32_t, std::uint32_t> refs;
  std::function<void(std::uint32_t, const std::string&)> walk = [&](std::uint32_t nk, const std::string& path) {
    ++refs[cell_at(b, nk, 0x2C)];
    const std::uint32_t count = cell_at(b, nk, 0x14), list = cell_at(b, nk, 0x1C);
    if (count == 0 && list != 0xFFFFFFFF) faults.push_back(path + ": no subkeys, yet a list");
    if (list == 0xFFFFFFFF) return;
    std::vector<std::uint32_t> leaves{list}, entries;
    if (b.compare(0x1000 + list + 4, 2, "ri") == 0) {
      leaves.clear();
      for (std::size_t i = 0; i < u16_at(b, 0x1000 + list + 6); ++i) leaves.push_back(cell_at(b, list, 4 + 4 * i));
    }
    for (std::uint32_t leaf : leaves) {
      const std::string sig = b.substr(0x1000 + leaf + 4, 2);
      const std::size_t n = u16_at(b, 0x1000 + leaf + 6), step = sig == "li" ? 4 : 8;
      if (sig != "lf" && sig != "li") faults.push_back(path + ": a \"" + sig + "\" leaf");
      if (n == 0) faults.push_back(path + ": an empty leaf");
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t child = cell_at(b, leaf, 4 + step * i);
        entries.push_back(child);
        const std::string name = b.substr(0x1000 + child + 4 + 0x4C, u16_at(b, 0x1000 + child + 4 + 0x48));
        if (sig == "lf" && b.compare(0x1000 + leaf + 4 + 8 + 8 * i, std::min<std::size_t>(4, name.size()), name, 0,
                                     std::min<std::size_t>(4, name.size())) != 0)
          faults.push_back(path + "\\" + name + ": a wrong name hint");
      }
    }
    if (entries.size() != count) faults.push_back(path + ": its count differs from its list");
    for (std::uint32_t child : entries)
      walk(child, path + "\\" + b.substr(0x1000 + child + 4 + 0x4C, u16_at(b, 0x1000 + child + 4 + 0x48)));
  };
  walk(get32(b, 0x24), "");
  for (const auto& [sk, n] : refs) {
    if (cell_at(b, sk, 0x0C) != n) faults.push_back("sk reference count wrong");
    if (cell_at(b, cell_at(b, sk, 4), 8) != sk) faults.push_back("sk list broken");
  }
  return faults;
}

}  // namespace hive_builder
