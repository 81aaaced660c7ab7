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
};

}  // namespace

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
    SayResultAndEnd();
    return FailureCount() == 0 ? 0 : 1;
}
