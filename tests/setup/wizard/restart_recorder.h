// The recorder that stands in for the restart of Windows in the wizard's tests.
#pragma once

#include <cstdint>

// How often the final page asked for a restart.
extern int RestartRequests;
// What the request answers: 0 (Windows restarts) or a Win32 error.
extern uint32_t RestartAnswer;
