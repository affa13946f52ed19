#include "machine.h"

#include "files.h"
#include "resources.h"
#include "ui.h"

namespace sim::win32 {

Machine::Machine() : resources_(std::make_unique<Resources>()), ui_(std::make_unique<Ui>()) {}
Machine::~Machine() = default;

FileSystem& Machine::files() {
  if (!files_) files_.reset(default_file_system(*this).release());
  return *files_;
}
void Machine::set_files(std::unique_ptr<FileSystem> files) { files_.reset(files.release()); }
void Machine::FilesDeleter::operator()(FileSystem* p) const { delete p; }

namespace {
std::unique_ptr<Machine>& current() {
  static std::unique_ptr<Machine> m = std::make_unique<Machine>();
  return m;
}
}  // namespace

Machine& machine() { return *current(); }
void reset_machine() { current() = std::make_unique<Machine>(); }

}  // namespace sim::win32

DWORD WINAPI GetLastError(void) { return sim::win32::machine().last_error; }
void WINAPI SetLastError(DWORD code) { sim::win32::machine().last_error = code; }
