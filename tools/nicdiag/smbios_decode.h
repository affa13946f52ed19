// Decoding of an SMBIOS structure table in the layout and wording that
// administrators know from dmidecode: each structure's header line, its
// type's name, and the fields of the common types (BIOS, system, base
// board, chassis, processor, memory device, system boot); other types show
// their formatted bytes and strings. Every read is bounded by the table and
// by the structure's own length, so a malformed table decodes as far as it
// is sound and says where it stopped.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace nicdiag {

struct SmbiosField {
  std::string name;
  std::string value;               // may be empty when items follow
  std::vector<std::string> items;  // list lines below the field
};

struct SmbiosStructure {
  uint8_t type = 0;
  uint8_t length = 0;
  uint16_t handle = 0;
  std::string name;
  bool decoded = false;  // fields below are the type's decoded fields
  std::vector<uint8_t> formatted;
  std::vector<std::string> strings;
  std::vector<SmbiosField> fields;
};

struct SmbiosTable {
  std::vector<SmbiosStructure> structures;
  std::string problem;  // why decoding stopped early, empty when it did not
  bool end_found = false;
};

// version: the SMBIOS version as 0xMMmm (it changes how a UUID reads).
SmbiosTable DecodeSmbiosTable(const std::vector<uint8_t> &table, uint16_t version);
std::string SmbiosText(const SmbiosTable &table);
std::string SmbiosJson(const SmbiosTable &table);  // a JSON array of structures

}  // namespace nicdiag
