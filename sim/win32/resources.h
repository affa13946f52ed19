// The program's resources, parsed from the compiled .res that windres makes
// from uninstaller/netpurge.rc.
#pragma once
namespace sim::win32 {
class Resources {
 public:
};
}  // namespace sim::win32
