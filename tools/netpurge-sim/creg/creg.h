// The registry files of Windows 95, 98 and Me (SYSTEM.DAT, USER.DAT): a
// 32-byte "CREG" header, one "RGKN" block holding the key tree as 28-byte
// key records (hash of the name, parent, first sub-key, next sibling, and
// the id of the key's data entry), then "RGDB" data blocks holding each
// key's name and values in a data entry found by that id. Little-endian
// throughout; names and string data in the machine's ANSI code page.
//
// Layout after the public descriptions of the format: "Windows 9x Registry
// File (CREG) format" (libyal/libcreg documentation) and "WinReg.txt"
// (B.D., the 9x part). Size limits after Microsoft Learn, "Registry Element
// Size Limits" (Windows 95/98/Me rows).
//
// This library stands alone: bytes in, a key tree out, and back.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace creg {

struct Value {
  std::string name;        // "" is the key's default value
  std::uint32_t type = 1;  // REG_SZ
  std::string data;        // as stored: strings keep the terminating zero they have
};

struct Key {
  std::string name;  // "" for the root
  std::vector<Value> values;
  std::vector<Key> subkeys;
};

// A file that is not a readable registry file; what() says what is wrong
// and where (a file offset).
struct FormatError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Limits the reader holds a file to, and the writer its input to.
inline constexpr std::size_t kMaxDepth = 512;             // levels below the root
inline constexpr std::size_t kMaxNameBytes = 255;         // a key's name
inline constexpr std::size_t kMaxValueNameBytes = 255;    // a value's name (Windows 95/98/Me)
inline constexpr std::size_t kMaxDataBytes = 0xFFFF;      // a value's data: the entry's 16-bit length
inline constexpr std::size_t kMaxKeyEntryBytes = 0xFFFF;  // a key's data entry: 64 KB for all its values

// The hash a key record keeps of its key's name: the sum of its characters
// below 0x80, upper-cased.
std::uint32_t name_hash(std::string_view name);

// Reads the whole tree. Throws FormatError for a truncated file, an offset
// outside its block, a record reached twice (a cycle in the tree), two data
// entries with one id, counts larger than the space that holds them, and
// any other inconsistency that stops the tree being read.
Key read(std::string_view bytes);

// What a file holds that the system would not have written: key hashes
// that do not match the name, free space counted wrong, a header that
// names another data block offset. Empty for a file as the system writes
// it. Throws FormatError as read() does.
std::vector<std::string> check(std::string_view bytes);

// The tree as a new file, laid out as the system writes a compacted
// registry: key records in depth-first order right after the RGKN header,
// data entries packed into 4 KiB-aligned blocks of at most 64 KB, the
// space left at a block's end the last entry's, counted as unused in the
// block's header. Throws FormatError for a
// tree the format cannot hold (a name or value over its limit, a key whose
// values pass 64 KB, more than 65,535 blocks).
std::string write(const Key& root);

}  // namespace creg
