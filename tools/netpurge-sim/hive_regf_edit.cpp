// Editing a regf hive in memory the way NT 4 and Windows 2000 do: cells
// freed (their size made positive) and joined with the free cells beside
// them in the bin, new cells taken from the smallest free cell that fits,
// new bins at the end; subkey lists as lf leaves with name hints (below an
// ri root index past one leaf's worth), no list at all for a key without
// subkeys; a security cell freed, and unlinked, with its last reference.
#include <algorithm>

#include "hive_regf.h"

namespace netpurge_sim::regf {

namespace {
std::uint32_t round8(std::size_t n) { return static_cast<std::uint32_t>((n + 7) & ~std::size_t{7}); }
void put16(std::string& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}
void put64(std::string& b, std::size_t at, std::uint64_t v) {
  put32(b, at, static_cast<std::uint32_t>(v));
  put32(b, at + 4, static_cast<std::uint32_t>(v >> 32));
}
// A name as the format stores it: one byte a character when every
// character fits one (the "compressed" form NT prefers), else UTF-16LE.
std::string stored(const std::string& utf8, bool* compressed) {
  const std::u16string u = utf16_of(utf8);
  *compressed = std::all_of(u.begin(), u.end(), [](char16_t c) { return c < 0x100; });
  std::string out;
  for (char16_t c : u) {
    out.push_back(static_cast<char>(c & 0xFF));
    if (!*compressed) out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}
}  // namespace

Editor::Editor(Hive& hive) : h_(hive) {
  if (!h_.hazards.empty()) throw std::runtime_error(h_.hazards.front());
  for (const auto& [off, size] : h_.cells)
    if (size > 0) {
      free_.emplace(off, static_cast<std::uint32_t>(size));
      by_size_.emplace(static_cast<std::uint32_t>(size), off);
    }
  for (const auto& [off, size] : h_.bins) bin_end_[off] = off + size;
}

void Editor::append_bin(std::size_t need) {
  const std::uint32_t end = get32(h_.bytes, 0x28);
  const std::uint32_t size = static_cast<std::uint32_t>((need + 0x20 + 0xFFF) & ~std::size_t{0xFFF});
  if (h_.bytes.size() > kBaseBlock + end) h_.bytes.resize(kBaseBlock + end);  // padding after the bins goes
  h_.bytes.append(size, '\0');
  const std::size_t b = kBaseBlock + end;
  h_.bytes.replace(b, 4, "hbin");
  put32(h_.bytes, b + 4, end);
  put32(h_.bytes, b + 8, size);
  put32(h_.bytes, b + 0x20, size - 0x20);
  free_.emplace(end + 0x20, size - 0x20);
  by_size_.emplace(size - 0x20, end + 0x20);
  bin_end_[end] = end + size;
  put32(h_.bytes, 0x28, end + size);
}

std::uint32_t Editor::alloc(std::size_t data_size) {
  const std::uint32_t need = std::max<std::uint32_t>(8, round8(data_size + 4));
  auto it = by_size_.lower_bound({need, 0});
  if (it == by_size_.end()) {
    append_bin(need);
    it = by_size_.lower_bound({need, 0});
  }
  auto [size, off] = *it;
  by_size_.erase(it);
  free_.erase(off);
  if (size - need >= 8) {  // the rest stays a free cell
    free_.emplace(off + need, size - need);
    by_size_.emplace(size - need, off + need);
    put32(h_.bytes, kBaseBlock + off + need, size - need);
    size = need;
  }
  put32(h_.bytes, kBaseBlock + off, static_cast<std::uint32_t>(-static_cast<std::int32_t>(size)));
  std::fill_n(h_.bytes.begin() + static_cast<std::ptrdiff_t>(at(off)), size - 4, '\0');
  return off;
}

void Editor::release(std::uint32_t cell) {
  std::uint32_t size = -get32(h_.bytes, kBaseBlock + cell);
  // Wiped: what the removed keys held is gone from the file, not only
  // unreachable.
  std::fill_n(h_.bytes.begin() + static_cast<std::ptrdiff_t>(at(cell)), size - 4, '\0');
  if (auto next = free_.find(cell + size); next != free_.end()) {
    by_size_.erase({next->second, next->first});
    put32(h_.bytes, kBaseBlock + next->first, 0);
    size += next->second;
    free_.erase(next);
  }
  if (auto prev = free_.lower_bound(cell); prev != free_.begin()) {
    --prev;
    if (prev->first + prev->second == cell) {
      by_size_.erase({prev->second, prev->first});
      put32(h_.bytes, kBaseBlock + cell, 0);
      cell = prev->first;
      size += prev->second;
      free_.erase(prev);
    }
  }
  put32(h_.bytes, kBaseBlock + cell, size);
  free_.emplace(cell, size);
  by_size_.emplace(size, cell);
}

void Editor::release_sk(std::uint32_t sk) {
  const std::uint32_t refs = get32(h_.bytes, at(sk) + 0x0C) - 1;
  --h_.sk_refs[sk];
  if (refs > 0) {
    put32(h_.bytes, at(sk) + 0x0C, refs);
    return;
  }
  const std::uint32_t flink = get32(h_.bytes, at(sk) + 4), blink = get32(h_.bytes, at(sk) + 8);
  put32(h_.bytes, at(blink) + 4, flink);
  put32(h_.bytes, at(flink) + 8, blink);
  h_.sk_refs.erase(sk);
  release(sk);
}

void Editor::delete_tree(std::size_t index) {
  Key& k = h_.keys[index];
  for (std::size_t child : k.children) delete_tree(child);
  for (const Value& v : k.values) {
    if (v.data_cell != kNil) release(v.data_cell);
    release(v.cell);
  }
  if (k.value_list != kNil) release(k.value_list);
  for (std::uint32_t c : k.list_cells) release(c);
  if (k.class_cell != kNil) release(k.class_cell);
  release_sk(k.security);
  release(k.cell);
  k = Key{};
}

void Editor::set_subkeys(std::size_t index, const std::vector<std::size_t>& children) {
  for (std::uint32_t c : h_.keys[index].list_cells) release(c);
  std::vector<std::uint32_t> cells;
  std::uint32_t longest = 0;
  std::vector<std::uint32_t> leaves;
  for (std::size_t first = 0; first < children.size(); first += kLeafEntries) {
    const std::size_t n = std::min(kLeafEntries, children.size() - first);
    const std::uint32_t leaf = alloc(4 + 8 * n);
    const std::size_t p = at(leaf);
    h_.bytes.replace(p, 2, "lf");
    put16(h_.bytes, p + 2, static_cast<std::uint16_t>(n));
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t nk = h_.keys[children[first + i]].cell;
      const std::size_t q = at(nk);
      const bool compressed = h_.bytes[q + 2] & 0x20;
      const std::size_t len = static_cast<unsigned char>(h_.bytes[q + 0x48]) |
                              static_cast<std::size_t>(static_cast<unsigned char>(h_.bytes[q + 0x49])) << 8;
      put32(h_.bytes, p + 4 + 8 * i, nk);
      // The hint: the name's first four characters, one byte each (a
      // character beyond one byte, and the rest of the hint, zero).
      for (std::size_t c = 0; c < 4; ++c) {
        const std::size_t pos = compressed ? c : 2 * c;
        if (pos + (compressed ? 0 : 1) >= len) break;
        if (!compressed && h_.bytes[q + 0x4C + pos + 1] != 0) break;
        h_.bytes[p + 8 + 8 * i + c] = h_.bytes[q + 0x4C + pos];
      }
      longest = std::max<std::uint32_t>(longest, static_cast<std::uint32_t>(compressed ? 2 * len : len));
    }
    leaves.push_back(leaf);
  }
  cells = leaves;
  std::uint32_t list = leaves.empty() ? kNil : leaves.front();
  if (leaves.size() > 1) {
    list = alloc(4 + 4 * leaves.size());
    h_.bytes.replace(at(list), 2, "ri");
    put16(h_.bytes, at(list) + 2, static_cast<std::uint16_t>(leaves.size()));
    for (std::size_t i = 0; i < leaves.size(); ++i) put32(h_.bytes, at(list) + 4 + 4 * i, leaves[i]);
    cells.push_back(list);
  }
  Key& k = h_.keys[index];
  k.list_cells = std::move(cells);
  k.children = children;
  const std::size_t p = at(k.cell);
  put32(h_.bytes, p + 0x14, static_cast<std::uint32_t>(children.size()));
  put32(h_.bytes, p + 0x1C, list);
  if (longest > get32(h_.bytes, p + 0x34)) put32(h_.bytes, p + 0x34, longest);
}

std::uint32_t Editor::write_value(const Value& v) {
  bool compressed = false;
  const std::string name = stored(v.name, &compressed);
  const std::uint32_t cell = alloc(0x14 + name.size());
  std::size_t p = at(cell);
  h_.bytes.replace(p, 2, "vk");
  put16(h_.bytes, p + 2, static_cast<std::uint16_t>(name.size()));
  const std::uint32_t len = static_cast<std::uint32_t>(v.data.size());
  if (len == 0) {  // NT's form of an empty value: no data cell
    put32(h_.bytes, p + 4, 0);
    put32(h_.bytes, p + 8, kNil);
  } else if (len <= 4) {  // inline, in the offset field
    put32(h_.bytes, p + 4, 0x80000000u | len);
    h_.bytes.replace(p + 8, len, v.data);
  } else {
    const std::uint32_t data = alloc(len);
    p = at(cell);
    h_.bytes.replace(at(data), len, v.data);
    put32(h_.bytes, p + 4, len);
    put32(h_.bytes, p + 8, data);
  }
  put32(h_.bytes, p + 0x0C, v.type);
  put16(h_.bytes, p + 0x10, compressed ? 1 : 0);
  h_.bytes.replace(p + 0x14, name.size(), name);
  return cell;
}

void Editor::set_values(std::size_t index, const std::vector<Value>& values) {
  std::vector<Value> now;
  std::set<std::uint32_t> kept;
  for (const Value& v : values) {
    Value w = v;
    if (w.cell == kNil) {
      w.cell = write_value(v);
      const bool inline_data = (get32(h_.bytes, at(w.cell) + 4) & 0x80000000) != 0;
      w.data_cell = inline_data || v.data.empty() ? kNil : get32(h_.bytes, at(w.cell) + 8);
    }
    kept.insert(w.cell);
    now.push_back(std::move(w));
  }
  Key& k = h_.keys[index];
  for (const Value& v : k.values)
    if (!kept.count(v.cell)) {
      if (v.data_cell != kNil) release(v.data_cell);
      release(v.cell);
    }
  if (k.value_list != kNil) release(k.value_list);
  k.value_list = now.empty() ? kNil : alloc(4 * now.size());
  std::uint32_t longest_name = 0, longest_data = 0;
  for (std::size_t i = 0; i < now.size(); ++i) {
    put32(h_.bytes, at(k.value_list) + 4 * i, now[i].cell);
    const std::size_t q = at(now[i].cell);
    const std::uint32_t name = static_cast<unsigned char>(h_.bytes[q + 2]) | static_cast<unsigned char>(h_.bytes[q + 3])
                                                                                 << 8;
    longest_name = std::max(longest_name, h_.bytes[q + 0x10] & 1 ? 2 * name : name);
    longest_data = std::max(longest_data, static_cast<std::uint32_t>(now[i].data.size()));
  }
  const std::size_t p = at(k.cell);
  put32(h_.bytes, p + 0x24, static_cast<std::uint32_t>(now.size()));
  put32(h_.bytes, p + 0x28, k.value_list);
  if (longest_name > get32(h_.bytes, p + 0x3C)) put32(h_.bytes, p + 0x3C, longest_name);
  if (longest_data > get32(h_.bytes, p + 0x40)) put32(h_.bytes, p + 0x40, longest_data);
  k.values = std::move(now);
}

std::size_t Editor::add_key(std::size_t parent, const std::string& name) {
  bool compressed = false;
  const std::string n = stored(name, &compressed);
  const std::uint32_t cell = alloc(0x4C + n.size());
  const std::size_t p = at(cell);
  const std::uint32_t sk = h_.keys[parent].security;
  h_.bytes.replace(p, 2, "nk");
  put16(h_.bytes, p + 2, compressed ? 0x20 : 0);
  put64(h_.bytes, p + 4, now);
  put32(h_.bytes, p + 0x10, h_.keys[parent].cell);
  for (std::size_t f : {0x1C, 0x20, 0x28, 0x30}) put32(h_.bytes, p + f, kNil);
  put32(h_.bytes, p + 0x2C, sk);
  put16(h_.bytes, p + 0x48, static_cast<std::uint16_t>(n.size()));
  h_.bytes.replace(p + 0x4C, n.size(), n);
  put32(h_.bytes, at(sk) + 0x0C, get32(h_.bytes, at(sk) + 0x0C) + 1);
  ++h_.sk_refs[sk];
  Key k;
  k.cell = cell;
  k.parent = parent;
  k.name = name;
  k.security = sk;
  h_.keys.push_back(std::move(k));
  return h_.keys.size() - 1;
}

void Editor::touch(std::size_t key) { put64(h_.bytes, at(h_.keys[key].cell) + 4, now); }

std::string Editor::finish() {
  const std::uint32_t seq = get32(h_.bytes, 0x04) + 1;
  put32(h_.bytes, 0x04, seq);
  put32(h_.bytes, 0x08, seq);
  put64(h_.bytes, 0x0C, now);
  put64(h_.bytes, kBaseBlock + 0x14, now);  // the first bin keeps a copy of the write time
  put32(h_.bytes, 0x1FC, header_checksum(h_.bytes));
  return h_.bytes;
}

}  // namespace netpurge_sim::regf
