// Writing a registry file (creg.h).
#include <string>

#include "creg.h"
#include "layout.h"

namespace creg {

using namespace layout;

namespace {

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

struct Node {
  const Key* key;
  std::uint32_t parent = kNone, child = kNone, next = kNone;  // record offsets in the RGKN block
  std::uint32_t id = 0;
  std::size_t used = 0, size = 0;  // of its data entry
};

std::size_t entry_bytes(const Key& k, const std::string& path) {
  if (k.name.size() > kMaxNameBytes) throw FormatError("the key name " + path + " is longer than 255 bytes");
  if (k.values.size() > 0xFFFF) throw FormatError("the key " + path + " has more than 65,535 values");
  std::size_t n = kEntHeader + k.name.size();
  for (const Value& v : k.values) {
    if (v.name.size() > kMaxValueNameBytes)
      throw FormatError("a value name of " + path + " is longer than " + std::to_string(kMaxValueNameBytes) + " bytes");
    if (v.data.size() > kMaxDataBytes)
      throw FormatError("the value \"" + v.name + "\" of " + path + " holds " + std::to_string(v.data.size()) +
                        " bytes, more than a value can");
    n += kValHeader + v.name.size() + v.data.size();
  }
  if (n > kMaxKeyEntryBytes)
    throw FormatError("the values of " + path + " take " + std::to_string(n) +
                      " bytes, more than the 64 KB a key holds");
  return n;
}

}  // namespace

std::string write(const Key& root) {
  // Key records in depth-first order, each key's sub-keys in their order.
  std::vector<Node> nodes;
  struct Walk {
    const Key* key;
    std::uint32_t parent;
    std::size_t depth;
  };
  std::vector<Walk> stack{{&root, kNone, 0}};
  std::vector<std::uint32_t> last_child;  // per node: its last sub-key's record so far
  while (!stack.empty()) {
    const Walk w = stack.back();
    stack.pop_back();
    if (w.depth > kMaxDepth)
      throw FormatError("the key tree is more than " + std::to_string(kMaxDepth) + " levels deep");
    const std::uint32_t off = static_cast<std::uint32_t>(kRgknHeader + nodes.size() * kRecordSize);
    Node n{w.key, w.parent};
    n.used = entry_bytes(*w.key, w.depth == 0 ? "(root)" : w.key->name);
    n.size = round_up(n.used, 4);
    nodes.push_back(n);
    last_child.push_back(kNone);
    if (w.parent != kNone) {
      const std::size_t p = (w.parent - kRgknHeader) / kRecordSize;
      if (last_child[p] == kNone)
        nodes[p].child = off;
      else
        nodes[(last_child[p] - kRgknHeader) / kRecordSize].next = off;
      last_child[p] = off;
    }
    for (auto it = w.key->subkeys.rbegin(); it != w.key->subkeys.rend(); ++it)
      stack.push_back({&*it, off, w.depth + 1});
  }
  if (kRgknHeader + nodes.size() * kRecordSize > 0xFFFFFFF0u) throw FormatError("too many keys for one file");

  // Data entries packed into blocks in the same order.
  struct Block {
    std::size_t first, count = 0, fill = 0;
  };
  // The root has no data entry, so neither a name nor values.
  if (!root.values.empty()) throw FormatError("the root key holds values, which the file cannot record");
  nodes[0].id = kNone;
  std::vector<Block> blocks;
  for (std::size_t i = 1; i < nodes.size(); ++i) {
    if (blocks.empty() || (blocks.back().count > 0 && kDbHeader + blocks.back().fill + nodes[i].size > kBlockTarget) ||
        blocks.back().count == 0xFFFF)
      blocks.push_back({i});
    Block& bl = blocks.back();
    nodes[i].id = static_cast<std::uint32_t>((blocks.size() - 1) << 16 | bl.count);
    ++bl.count;
    bl.fill += nodes[i].size;
  }
  if (blocks.size() > 0xFFFF) throw FormatError("too many data blocks for one file");

  const std::size_t rgkn_size = round_up(kRgknHeader + nodes.size() * kRecordSize, kBlockAlign);
  std::size_t total = kRgknAt + rgkn_size;
  for (const Block& bl : blocks) total += round_up(kDbHeader + bl.fill, kBlockAlign);
  std::string out(total, '\0');

  out.replace(0, 4, "CREG");
  put16(out, kHdrVersion + 2, 1);
  put32(out, kHdrDataOffset, static_cast<std::uint32_t>(kRgknAt + rgkn_size));
  put32(out, kHdrBlocks, static_cast<std::uint32_t>(blocks.size()));
  put16(out, kHdrVersionCopy + 2, 1);

  out.replace(kRgknAt, 4, "RGKN");
  put32(out, kRgknAt + kRgknSize, static_cast<std::uint32_t>(rgkn_size));
  put32(out, kRgknAt + kRgknRoot, static_cast<std::uint32_t>(kRgknHeader));
  put32(out, kRgknAt + kRgknUsedEnd, static_cast<std::uint32_t>(kRgknHeader + nodes.size() * kRecordSize));
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    const Node& n = nodes[i];
    const std::size_t r = kRgknAt + kRgknHeader + i * kRecordSize;
    put32(out, r + kRecHash, i == 0 ? 0 : name_hash(n.key->name));
    put32(out, r + kRecFreeNext, kNone);
    put32(out, r + kRecParent, n.parent);
    put32(out, r + kRecChild, n.child);
    put32(out, r + kRecNext, n.next);
    put16(out, r + kRecId, n.id & 0xFFFF);  // the root's: none
    put16(out, r + kRecBlock, n.id >> 16);
  }

  std::size_t at = kRgknAt + rgkn_size;
  for (const Block& bl : blocks) {
    const std::size_t size = round_up(kDbHeader + bl.fill, kBlockAlign);
    std::size_t slack = size - kDbHeader - bl.fill;
    // The space left at the block's end belongs to its last entry (readers
    // walk a block entry by entry and take each for a key).
    nodes[bl.first + bl.count - 1].size += slack;
    std::size_t unused = 0;
    out.replace(at, 4, "RGDB");
    put32(out, at + kDbSize, static_cast<std::uint32_t>(size));
    put32(out, at + kDbLastId, static_cast<std::uint32_t>(bl.count - 1));
    std::size_t p = at + kDbHeader;
    for (std::size_t i = bl.first; i < bl.first + bl.count; ++i) {
      const Node& n = nodes[i];
      const Key& k = *n.key;
      unused += n.size - n.used;
      put32(out, p + kEntSize, static_cast<std::uint32_t>(n.size));
      put32(out, p + kEntId, n.id);
      put32(out, p + kEntUsed, static_cast<std::uint32_t>(n.used));
      put16(out, p + kEntNameLen, static_cast<std::uint32_t>(k.name.size()));
      put16(out, p + kEntValues, static_cast<std::uint32_t>(k.values.size()));
      std::size_t q = p + kEntHeader;
      out.replace(q, k.name.size(), k.name);
      q += k.name.size();
      for (const Value& v : k.values) {
        put32(out, q + kValType, v.type);
        put16(out, q + kValNameLen, static_cast<std::uint32_t>(v.name.size()));
        put16(out, q + kValDataLen, static_cast<std::uint32_t>(v.data.size()));
        out.replace(q + kValHeader, v.name.size(), v.name);
        out.replace(q + kValHeader + v.name.size(), v.data.size(), v.data);
        q += kValHeader + v.name.size() + v.data.size();
      }
      p += n.size;
    }
    put32(out, at + kDbUnused, static_cast<std::uint32_t>(unused));
    put32(out, at + kDbUnused2, static_cast<std::uint32_t>(unused));
    at += size;
  }
  return out;
}

}  // namespace creg
