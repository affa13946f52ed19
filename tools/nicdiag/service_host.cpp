// The service commands on the host: the simulated machine has no service
// control manager, so install, start, stop and remove check their arguments
// like the Windows build and then say that they need Windows.
#include "tools/nicdiag/service.h"

namespace nicdiag {
namespace {

bool NeedsWindows(Run &run) {
  if (!CheckServiceArguments(run) || run.checking) return run.ok;
  run.exit_status = kExitNeedsWindows;
  run.json_extra = ",\"service\":\"" NICDIAG_SERVICE_NAME "\"";
  return run.Fail(run.words[0] + " needs Windows: nicdiag.exe manages the " NICDIAG_SERVICE_NAME
                                 " service through the service control manager, as an administrator; this build "
                                 "runs the driver in a simulated kernel, which every session loads and unloads "
                                 "itself");
}

}  // namespace

bool CommandInstall(Run &run) { return NeedsWindows(run); }
bool CommandStart(Run &run) { return NeedsWindows(run); }
bool CommandStop(Run &run) { return NeedsWindows(run); }
bool CommandRemove(Run &run) { return NeedsWindows(run); }

}  // namespace nicdiag
