// Offsets and sizes of the registry file's structures (creg.h names the
// public descriptions they follow). Private to the library.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace creg::layout {

// File header, at 0.
inline constexpr std::size_t kHeaderSize = 0x20;
inline constexpr std::size_t kHdrVersion = 0x04;     // u16 minor 0, u16 major 1
inline constexpr std::size_t kHdrDataOffset = 0x08;  // first RGDB block, from the file's start
inline constexpr std::size_t kHdrBlocks = 0x10;      // number of RGDB blocks
inline constexpr std::size_t kHdrVersionCopy = 0x14;

// RGKN block, right after the header; its offsets count from its start.
inline constexpr std::size_t kRgknAt = kHeaderSize;
inline constexpr std::size_t kRgknSize = 0x04;
inline constexpr std::size_t kRgknRoot = 0x08;     // the root key's record
inline constexpr std::size_t kRgknUsedEnd = 0x0C;  // end of the records in use
inline constexpr std::size_t kRgknHeader = 0x20;

// Key record in the RGKN block.
inline constexpr std::size_t kRecordSize = 0x1C;
inline constexpr std::size_t kRecInUse = 0x00;  // 0 in use
inline constexpr std::size_t kRecHash = 0x04;
inline constexpr std::size_t kRecFreeNext = 0x08;  // -1 in a record in use
inline constexpr std::size_t kRecParent = 0x0C;
inline constexpr std::size_t kRecChild = 0x10;
inline constexpr std::size_t kRecNext = 0x14;
inline constexpr std::size_t kRecId = 0x18;     // u16 key id
inline constexpr std::size_t kRecBlock = 0x1A;  // u16 data block number
inline constexpr std::uint32_t kNone = 0xFFFFFFFF;

// RGDB block.
inline constexpr std::size_t kDbSize = 0x04;
inline constexpr std::size_t kDbUnused = 0x08;   // bytes not in use (the free entries' and the slack's)
inline constexpr std::size_t kDbUnused2 = 0x10;  // the same again
inline constexpr std::size_t kDbLastId = 0x14;   // u16 highest key id in the block
inline constexpr std::size_t kDbHeader = 0x20;
inline constexpr std::size_t kBlockAlign = 0x1000;
inline constexpr std::size_t kBlockTarget = 0x10000;

// Data entry of a key in an RGDB block.
inline constexpr std::size_t kEntSize = 0x00;     // bytes it occupies
inline constexpr std::size_t kEntId = 0x04;       // u16 key id, u16 block number; -1 free
inline constexpr std::size_t kEntUsed = 0x08;     // bytes of it in use
inline constexpr std::size_t kEntNameLen = 0x0C;  // u16
inline constexpr std::size_t kEntValues = 0x0E;   // u16
inline constexpr std::size_t kEntHeader = 0x14;
// Value in a data entry.
inline constexpr std::size_t kValType = 0x00;
inline constexpr std::size_t kValNameLen = 0x08;  // u16
inline constexpr std::size_t kValDataLen = 0x0A;  // u16
inline constexpr std::size_t kValHeader = 0x0C;

inline std::uint32_t u16(std::string_view b, std::size_t at) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}
inline std::uint32_t u32(std::string_view b, std::size_t at) { return u16(b, at) | u16(b, at + 2) << 16; }
inline void put16(std::string& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void put32(std::string& b, std::size_t at, std::uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}

}  // namespace creg::layout
