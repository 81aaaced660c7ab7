// The restart of Windows in the wizard's tests: recorded, never done.
#include "restart_recorder.h"

#include "wizard/progresspages.h"

int RestartRequests = 0;
uint32_t RestartAnswer = 0;

uint32_t RequestRestart()
{
    RestartRequests++;
    return RestartAnswer;
}
