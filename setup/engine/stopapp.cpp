// The stop-application action: asks a running program built on the same class library to
// close through its hidden "TApplication" window, one attempt per step.
#include "engine/stopapp.h"

#include "classlib/application.h"

namespace {

const char AppWindowClass[] = "TApplication";

class SystemWindows : public AppWindowPlatform {
public:
    HWND FindAppWindow(const std::string& caption) override
    {
        return FindWindowA(AppWindowClass, caption.c_str());
    }
    void RestoreIfIconic(HWND window) override
    {
        if (IsIconic(window))
            ShowWindow(window, SW_RESTORE);
    }
    bool RequestClose(HWND window, uint32_t timeoutMs) override
    {
        // A bounded wait: a program whose window does not answer never holds Setup.
        DWORD_PTR answer = 0;
        return SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_NORMAL | SMTO_ABORTIFHUNG, timeoutMs,
                                   &answer) != 0;
    }
    void ProcessMessages() override { Application->ProcessMessages(); }
    void Pause(uint32_t ms) override { Sleep(ms); }
};

}  // namespace

AppWindowPlatform& SystemAppWindows()
{
    static SystemWindows windows;
    return windows;
}

clWinSetupStopApp::clWinSetupStopApp()
{
    typeCode = SETUP_TYPE_STOP_APP;
    targetStep = 20;
}

bool clWinSetupStopApp::IsSame(const clSetupItem* other) const
{
    return other && other->typeCode == typeCode &&
           static_cast<const clWinSetupStopApp*>(other)->caption == caption;
}

bool clWinSetupStopApp::TryCloseApp()
{
    HWND window = windows->FindAppWindow(caption);
    if (window) {
        windows->RestoreIfIconic(window);
        // Whether the request was handled or not, the program gets the attempt's time.
        windows->RequestClose(window, closeTimeoutMs);
        for (int32_t i = 0; i < closeWaits; i++) {
            windows->ProcessMessages();
            windows->Pause(closePauseMs);
        }
        // A program that closed during the wait has closed: it is not looked for only at
        // the next attempt, which after the last one would never come.
        window = windows->FindAppWindow(caption);
    }
    if (window)
        return false;
    MarkDone();
    return true;
}

int32_t clWinSetupStopApp::ExecuteStep()
{
    if (targetStep < currentStep)
        return SETUP_ERR_APP_RUNNING;
    if (currentStep == targetStep)
        return 0;
    if (TryCloseApp())
        return 0;
    if (currentStep + 1 == targetStep)
        return SETUP_ERR_APP_RUNNING;
    currentStep++;
    return 0;
}
