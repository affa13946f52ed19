// The NT registry hive file ("regf") as NT 4 and Windows 2000 write it,
// format 1.3: read and checked cell by cell, and edited in place the way
// the system edits it. Every offset is relative to the hive data (the file
// offset less the 4 KiB base block), as the format stores them.
//
// Layout sources: the base block, bins, cells, nk/vk/sk records and the
// li/lf/lh/ri subkey lists as the public descriptions of the regf format
// give them (the regf notes at github.com/msuhanov/regf, libregf's REGF
// format notes); the 1.3 minor version is NT 4's (NT 3.x wrote 1.0
// to 1.2, Windows XP's 1.5 adds the "lh" hash leaf NT 4 and 2000 do not read).
//
// Reading never trusts the file: a structure it cannot read throws Corrupt
// naming the cell; a structure it can read but must not write through (a
// data cell two values share, a value listed twice, a class name outside an
// allocated cell, wrong security reference counts...) is a hazard, listed
// with its cell, and the editor refuses a hive that has one.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace netpurge_sim::regf {

inline constexpr std::uint32_t kNil = 0xFFFFFFFF;  // no cell
inline constexpr std::size_t kBaseBlock = 0x1000;
// The minor versions read and written: 1.3, which NT 4 and Windows 2000
// write (and which both keep when they write a hive back).
inline constexpr std::uint32_t kMinorVersion = 3;
// Entries of one lf leaf: as many as fit one 4 KiB bin beside its header
// and the cell's size field ((4096 - 32 - 4 - 4) / 8); longer lists are
// split below an ri root index.
inline constexpr std::size_t kLeafEntries = 507;

struct Corrupt : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// "cell 0x1A20"
std::string cell_name(std::uint32_t cell);

struct Value {
  std::uint32_t cell = kNil;  // the vk cell
  std::string name;           // UTF-8 (a lone surrogate reads as U+FFFD)
  std::uint32_t type = 0;
  std::string data;                // the bytes as stored
  std::uint32_t data_cell = kNil;  // the cell holding them; kNil when inline or empty
};

struct Key {
  std::uint32_t cell = kNil;          // the nk cell
  std::size_t parent = 0;             // index in Hive::keys (the root names itself)
  std::string name;                   // UTF-8
  std::vector<std::size_t> children;  // indexes, in the list's (NT's) order
  std::vector<Value> values;          // in the value list's order
  std::uint32_t value_list = kNil;
  std::vector<std::uint32_t> list_cells;  // the subkey list: leaves and their ri
  std::uint32_t security = kNil;          // the sk cell
  std::uint32_t class_cell = kNil;        // kNil when none (or unusable: see hazards)
};

struct Hive {
  std::string bytes;  // the whole file
  std::uint32_t minor = 0;
  std::vector<Key> keys;  // keys[0] is the root
  std::vector<std::string> hazards;
  std::map<std::uint32_t, std::uint32_t> sk_refs;             // references found per sk cell
  std::vector<std::pair<std::uint32_t, std::int32_t>> cells;  // every cell: offset, size as stored
  std::vector<std::pair<std::uint32_t, std::uint32_t>> bins;  // offset, size
};

// Reads the hive's bins, cells and key tree. The base block must have been
// checked (signature, sizes, checksum); keys nested deeper than
// `max_depth` are Corrupt.
Hive parse(std::string bytes, std::size_t max_depth);

std::uint32_t get32(const std::string& b, std::size_t at);
void put32(std::string& b, std::size_t at, std::uint32_t v);
// The base block's XOR checksum as NT computes it (0 and ~0 avoided).
std::uint32_t header_checksum(const std::string& b);
// UTF-8 into UTF-16LE code units (a malformed byte becomes U+FFFD).
std::u16string utf16_of(const std::string& utf8);
std::string utf8_of(const std::u16string& units);

// Edits a parsed hive in memory: frees cells (wiped, joined with free
// neighbours), allocates from the free cells of the bins or from a new bin
// at the end, and writes lists and records in NT 4's own form.
class Editor {
 public:
  explicit Editor(Hive& hive);  // throws std::runtime_error for a hive with hazards

  // Deletes the key with its sub-tree and everything they own (the parent's
  // list is left to set_subkeys).
  void delete_tree(std::size_t key);
  // The key's subkey list becomes `children` (key indexes, in NT's order):
  // one lf leaf with its name hints, an ri over lf leaves when longer than
  // a leaf holds, and no list at all (kNil) when empty.
  void set_subkeys(std::size_t key, const std::vector<std::size_t>& children);
  // The key's values become `values`: cells of kept values stay as they are,
  // values with cell == kNil are written new, the others are freed.
  void set_values(std::size_t key, const std::vector<Value>& values);
  // A new key below `parent` (not yet in its list), with the parent's
  // security; its index.
  std::size_t add_key(std::size_t parent, const std::string& name);
  // Marks the key written now (its last-write time).
  void touch(std::size_t key);
  // The file: sequence numbers advanced (and equal), the write time, the
  // hive's length and the checksum.
  std::string finish();

  std::uint64_t now = 0;  // FILETIME written into the hive

 private:
  std::uint32_t alloc(std::size_t data_size);  // a zeroed cell for `data_size` bytes
  void release(std::uint32_t cell);
  void release_sk(std::uint32_t sk);
  std::size_t at(std::uint32_t cell) const { return kBaseBlock + cell + 4; }  // the cell's data in bytes
  std::uint32_t write_value(const Value& v);
  void append_bin(std::size_t need);

  Hive& h_;
  std::map<std::uint32_t, std::uint32_t> free_;                // offset -> size
  std::set<std::pair<std::uint32_t, std::uint32_t>> by_size_;  // size, offset
  std::map<std::uint32_t, std::uint32_t> bin_end_;             // bin offset -> its end
};

}  // namespace netpurge_sim::regf
