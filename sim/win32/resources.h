// The program's resources, parsed from the compiled .res that windres makes
// from uninstaller/netpurge.rc (the same bytes the Windows build links in).
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/win32.h"

namespace sim::win32 {

// A resource type or name: an ordinal or a string.
struct ResId {
  std::uint16_t ordinal = 0;
  std::string name;  // used when not an ordinal
  bool is_ordinal() const { return name.empty(); }
  bool operator<(const ResId& o) const {
    return is_ordinal() != o.is_ordinal() ? is_ordinal() : (is_ordinal() ? ordinal < o.ordinal : name < o.name);
  }
};

struct ResourceEntry {
  ResId type;
  ResId name;
  std::uint16_t language = 0;
  std::vector<std::uint8_t> data;
};

struct DialogItem {
  DWORD style = 0;
  DWORD ex_style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  int id = 0;          // the 16-bit id, sign-extended (-1 for "none")
  ResId window_class;  // ordinal 0x80 button, 0x81 edit, 0x82 static, ...
  ResId text;          // a string, or an ordinal (the icon of a static icon)
};

struct DialogTemplate {
  DWORD style = 0;
  DWORD ex_style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  ResId menu;
  ResId window_class;
  std::string caption;
  std::uint16_t font_points = 0;  // with DS_SETFONT
  std::string font_name;
  std::vector<DialogItem> items;
};

struct VersionInfo {
  std::uint16_t file[4] = {};
  std::uint16_t product[4] = {};
  DWORD file_os = 0, file_type = 0, file_subtype = 0;
  std::map<std::string, std::string> strings;  // block "040904B0" values, keyed "040904B0/Name"
  std::vector<std::pair<std::uint16_t, std::uint16_t>> translations;
};

constexpr std::uint16_t kRtIcon = 3, kRtDialog = 5, kRtString = 6, kRtGroupIcon = 14, kRtVersion = 16;

class Resources {
 public:
  // Parses a .res file image; throws InputError on a malformed one.
  void load_res(const std::uint8_t* data, std::size_t size, const std::string& source = ".res");

  const std::vector<ResourceEntry>& entries() const { return entries_; }
  const ResourceEntry* find(std::uint16_t type, std::uint16_t id) const;

  // A string-table entry as stored (UTF-16 converted to the ANSI code page);
  // nullopt when absent or forced missing. An empty entry reads as "".
  std::optional<std::string> string(UINT id) const;
  std::optional<DialogTemplate> dialog(std::uint16_t id) const;
  std::optional<VersionInfo> version() const;

  std::set<UINT> missing_strings;  // forced: these ids load as absent
  // A build whose string table says otherwise: these ids load as given.
  std::map<UINT, std::string> replaced_strings;

 private:
  std::vector<ResourceEntry> entries_;
};

// Parses a dialog template resource (DLGTEMPLATE or DLGTEMPLATEEX).
DialogTemplate parse_dialog(const std::vector<std::uint8_t>& data);
// UTF-16 to the simulated ANSI code page (Latin-1; others become '?').
std::string narrow(const std::u16string& wide);

// The module handle under which the program's resources are found.
HINSTANCE program_instance();

}  // namespace sim::win32
