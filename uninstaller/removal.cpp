// The removal driver: runs the strategies of the platform and mode in order.
#include "netpurge.h"
#include "resource.h"

int RunRemoval(void)
{
    int removed;
    if (IsWindowsNT4()) {
        removed = RemoveNt4Adapters();
    } else {
        removed = PurgeClassKeys9x();
        PurgeAllPciEnumKeys();
    }
    if (!(g_program.modemMode && IsWindowsNT4() && removed == 0)) {
        if (g_program.modemMode)
            LaunchInfSection(g_program.mainDialog, IDS_INF_MODEM, IDS_SECTION_MODEM);
        else
            LaunchInfSection(g_program.mainDialog, IDS_INF_ADAPTER, IDS_SECTION_ADAPTER);
        if (IsWindows2000()) {
            LaunchInfSection(g_program.mainDialog, IDS_INF_SECOND, IDS_SECTION_SECOND);
            LaunchInfSection(g_program.mainDialog, IDS_INF_THIRD, IDS_SECTION_THIRD);
        }
    }
    if (g_program.modemMode)
        PurgeSoftwareFolders();
    return 1;
}
