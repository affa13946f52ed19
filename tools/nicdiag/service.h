// The driver's kernel service, as install, start, stop and remove manage it
// through the service control manager (service_windows.cpp; the host build,
// service_host.cpp, has no service control manager and says so).
#pragma once
#include "tools/nicdiag/command.h"

// The service's name, and so its key under
// HKLM\SYSTEM\CurrentControlSet\Services: the name of the image, the device
// and the validation's Services\NICPORT\Parameters (docs/nicport.md, "The
// driver's names"). Change it here only.
#define NICDIAG_SERVICE_NAME "NICPORT"
// The driver's file, and the ImagePath the service is made with: under the
// system root, which NT 4 and 2000 read as the same file as the form
// without the prefix (System32\drivers\NICPORT.sys); Wine's driver loader
// reads only this one (or a path with a drive).
#define NICDIAG_DRIVER_FILE "NICPORT.sys"
#define NICDIAG_IMAGE_PATH  "\\SystemRoot\\System32\\drivers\\" NICDIAG_DRIVER_FILE

namespace nicdiag {

// The arguments of a service command: install takes an optional PATH,
// start, stop and remove none.
inline bool CheckServiceArguments(Run &run) {
  if (run.words[0] != "install") return run.Count(1);
  if (run.words.size() > 2) return run.Usage("expected at most 1 argument (the driver's PATH)");
  return true;
}

}  // namespace nicdiag
