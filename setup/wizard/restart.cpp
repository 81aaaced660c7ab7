// The restart of Windows that the final page asks for. Kept apart from the
// wizard's library so that the test build of Setup links a recorder instead.
#include "wizard/progresspages.h"

#include <windows.h>

uint32_t RequestRestart()
{
    const DWORD reason =
        SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_MINOR_INSTALLATION | SHTDN_REASON_FLAG_PLANNED;
    if (ExitWindowsEx(EWX_REBOOT, reason))
        return 0;
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}
