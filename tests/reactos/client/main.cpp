// Test client for the real driver on a real system: started at logon, it runs
// one scenario against the driver's control device and the raw disks and
// reports every step on the debug output, ending with a fixed last line.
// Usage: tvclient.exe SCENARIO
#include "report.h"
#include "scenarios.h"
#include <string.h>

namespace {

struct Scenario {
    const char* Name;
    void (*Run)();
};

const Scenario Scenarios[] = {
    {"passthrough", RunPassThrough},
    {"badinput", RunBadInput},
    {"writethrough", RunWriteThrough},
    {"writeback", RunWriteBack},
    {"persistence1", RunPersistenceSave},
    {"persistence2", RunPersistenceReuse},
    {"fatvolume1", RunFatVolumeSave},
    {"fatvolume2", RunFatVolumeReuse},
};

bool shutDown;

// A clean shutdown, as the user's would be: the system's shutdown requests
// reach the drivers. The debug output after the last line says whether it
// was accepted.
void ShutDownSystem()
{
    HANDLE token;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES privileges;
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueA(NULL, "SeShutdownPrivilege", &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, NULL, NULL);
        CloseHandle(token);
    }
    if (ExitWindowsEx(EWX_SHUTDOWN | EWX_POWEROFF | EWX_FORCE, 0))
        OutputDebugStringA("TVC: shutdown accepted\n");
    else
        OutputDebugStringA("TVC: shutdown refused\n");
}

}  // namespace

void ShutDownAfterReport()
{
    shutDown = true;
}

int main(int argc, char** argv)
{
    const char* name = argc > 1 ? argv[1] : "";
    Say("start scenario=%s", name);
    const Scenario* scenario = NULL;
    for (const Scenario& candidate : Scenarios) {
        if (strcmp(candidate.Name, name) == 0)
            scenario = &candidate;
    }
    if (scenario)
        scenario->Run();
    else
        Fail("unknown scenario '%s'", name);
    if (shutDown)
        Say("shutting the system down");
    SayResultAndEnd();
    if (shutDown)
        ShutDownSystem();
    return FailureCount() == 0 ? 0 : 1;
}
