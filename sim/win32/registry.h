// The simulated registry: keys with typed values, case-insensitive names,
// the enumeration order and deletion rules of the Windows 9x or the NT
// family, handles that fail once their key is deleted, .reg import/export
// and a .reg diff between two states. The Reg* functions of
// platform/win32.h (reg_api.cpp) work on the state of the current
// machine's registry.
#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "security.h"
#include "sim/common/input_file.h"

namespace sim::win32 {

// Bad input from a file the user gave us; what() names the file and line.
using InputError = sim::InputError;

// Text a REGEDIT4 file cannot hold: what() names the key (and value) and
// the character the machine's code page lacks.
class UnrepresentableText : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Largest .reg export accepted: a full UTF-16 export of a Windows 2000
// machine's HKEY_LOCAL_MACHINE is a few tens of megabytes.
inline constexpr std::uintmax_t kMaxRegBytes = 256u << 20;

// The platform's documented limits on a registry tree: 512 levels below a
// root key, key names of 255 characters, value names of 16,383. A .reg file
// that goes beyond them is refused.
inline constexpr std::size_t kMaxKeyDepth = 512;
inline constexpr std::size_t kMaxKeyNameChars = 255;
inline constexpr std::size_t kMaxValueNameChars = 16383;

enum class RegFamily { Win9x, NT };
enum class RegFormat { Regedit4, Version5 };

struct RegValue {
  std::string name;  // "" is the key's default value
  DWORD type = REG_SZ;
  std::vector<std::uint8_t> data;
};

// Failures a profile or a test can force. Paths are full key paths such as
// "HKEY_LOCAL_MACHINE\Enum\PCI", compared case-insensitively.
struct RegFaults {
  std::vector<std::string> open_fails;    // RegOpenKeyExA/RegCreateKeyExA on it: ERROR_ACCESS_DENIED
  std::vector<std::string> delete_fails;  // RegDeleteKeyA on it: ERROR_ACCESS_DENIED
};

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry& other);             // deep copy (a snapshot)
  Registry& operator=(const Registry& other);  // deep copy

  void clear();  // removes every key and value; family and faults stay
  void set_family(RegFamily family);
  RegFamily family() const;
  // The machine's ANSI code page (codepage.h): what the A functions, a
  // Windows 9x store and REGEDIT4 files hold. 1252 unless set; throws
  // std::invalid_argument for a page the simulator does not know.
  void set_code_page(unsigned id);
  unsigned code_page() const;
  RegFaults& faults();

  // Loads .reg text ("REGEDIT4" or "Windows Registry Editor Version 5.00",
  // ANSI or UTF-16LE with BOM) on top of what is there, as regedit does.
  // Throws InputError("<source>:<line>: <what>") on malformed input.
  void import_reg(const std::string& bytes, const std::string& source);
  void import_reg_file(const std::filesystem::path& file);

  // The whole registry as REGEDIT4 (or Version 5.00) text, keys in the
  // family's enumeration order, with CRLF line ends as regedit writes them.
  // REGEDIT4 text is in the code page; throws UnrepresentableText for a
  // name or string it cannot represent (undo_to likewise).
  std::string export_reg(RegFormat format = RegFormat::Regedit4) const;
  // What turns `before` into this registry, as .reg text: "[-KEY]" for a
  // deleted key (once, at the top of the deleted sub-tree), added keys, added
  // or changed values, "name"=- for a deleted value. Empty when equal.
  // REGEDIT4 text with LF line ends.
  std::string diff_from(const Registry& before) const;
  // The undo file for a change from `before` to this registry: every key
  // and value that went or changed, with its old content, and every key and
  // value that appeared, as deletions; imported into this registry it gives
  // `before` back. Regedit's text in the given format (CRLF line ends).
  std::string undo_to(const Registry& before, RegFormat format) const;
  // Same keys and values, names spelled alike, in the same order (handles,
  // family and faults play no part).
  bool operator==(const Registry& other) const;

  // Direct access for tests and tools (full paths, root names as in .reg).
  bool key_exists(const std::string& path) const;
  bool get_value(const std::string& key_path, const std::string& name, RegValue* out) const;
  // Creates the key; throws std::invalid_argument for a malformed path.
  void set_value(const std::string& key_path, const RegValue& value);
  std::vector<std::string> subkey_names(const std::string& path) const;  // enumeration order
  std::vector<RegValue> values_of(const std::string& path) const;        // creation order
  // Deletes the key with its whole sub-tree; false when it does not exist
  // or is a root key.
  bool delete_tree(const std::string& path);

  // Handles the Reg* functions opened and did not close; leaked handles show here.
  std::size_t open_handle_count() const;

  // ---- key security (NT family). Every key gets the security `layout`
  // names for its full path, else what it inherits from its parent; the
  // roots get `root`. Keys created later inherit from their parent.
  void apply_security(const KeySecurity& root, const std::map<std::string, KeySecurity>& layout);
  // Throws std::invalid_argument for a path that names no key.
  void set_security(const std::string& path, const KeySecurity& security);
  KeySecurity security(const std::string& path) const;  // not present for a missing key
  // Keys present in both registries whose discretionary list differs:
  // (full path, SDDL of the key's security now), in enumeration order.
  std::vector<std::pair<std::string, std::string>> security_changes_from(const Registry& before) const;

  // The implementation's state, shared with the Reg* functions
  // (registry_state.h).
  struct State;
  State& state() { return *state_; }
  const State& state() const { return *state_; }

 private:
  std::unique_ptr<State> state_;
};

}  // namespace sim::win32
