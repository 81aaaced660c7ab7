// The stop-application action: asks a running program built on the same class library to
// close through its hidden "TApplication" window, one attempt per step.
#pragma once

#include "engine/setupitem.h"

#include <windows.h>
#include <stdint.h>
#include <string>

// The window calls of the action; a test puts its own desktop in place.
class AppWindowPlatform {
public:
    virtual ~AppWindowPlatform() = default;
    // The top-level window of class "TApplication" with that caption, or null.
    virtual HWND FindAppWindow(const std::string& caption) = 0;
    // Restores the window when it is minimised.
    virtual void RestoreIfIconic(HWND window) = 0;
    // Sends WM_CLOSE and waits at most timeoutMs for the window to handle it (not at all
    // when its thread is hung); false when it was not handled.
    virtual bool RequestClose(HWND window, uint32_t timeoutMs) = 0;
    // Lets the class library dispatch pending window messages.
    virtual void ProcessMessages() = 0;
    virtual void Pause(uint32_t ms) = 0;
};

// The real desktop.
AppWindowPlatform& SystemAppWindows();

class clWinSetupStopApp : public clSetupItem {
public:
    clWinSetupStopApp();
    bool IsSame(const clSetupItem* other) const override;  // the caption
    // The current step counts the failed attempts; the 20th failure gives
    // SETUP_ERR_APP_RUNNING.
    int32_t ExecuteStep() override;

    // One attempt: true when no such window is left (the item is then finished).
    bool TryCloseApp();

    std::string caption;

    // The bounds of one attempt: how long the close request may take, then closeWaits
    // pauses of closePauseMs, each after dispatching pending messages.
    uint32_t closeTimeoutMs = 2000;
    int32_t closeWaits = 20;
    uint32_t closePauseMs = 50;
    AppWindowPlatform* windows = &SystemAppWindows();
};
