// Removal strategies whose implementation has not landed yet: each does
// nothing and reports that nothing was removed or started.
#include "netpurge.h"

int RemoveNt4Adapters(void) { return 0; }
