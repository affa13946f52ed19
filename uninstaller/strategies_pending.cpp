// Removal strategies whose implementation has not landed yet: each does
// nothing and reports that nothing was removed or started.
#include "netpurge.h"

int LaunchInfSection(HWND, UINT, UINT) { return 0; }
void PurgeSoftwareFolders(void) {}
