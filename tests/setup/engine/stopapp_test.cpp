// Closing a running program: the attempts over a fake desktop, then the placeholder main
// application and a hung window on Wine's desktop.
#include "engine/stopapp.h"
#include "engine/winsetupactions.h"
#include "engine/winsetuplist.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const HWND FakeWindow = reinterpret_cast<HWND>(0x1234);

// One program window. It goes away during the waits of attempt closesAt (0: there is no
// window at all; -1: it never goes). The log holds F (find), R (restore), C (close
// request) and one '.' per pause.
class FakeDesktop : public AppWindowPlatform {
public:
    HWND FindAppWindow(const std::string& caption) override
    {
        log += 'F';
        lastCaption = caption;
        return closesAt == 0 || (closesAt > 0 && attempts >= closesAt && pausesInAttempt > 0) ? nullptr
                                                                                              : FakeWindow;
    }
    void RestoreIfIconic(HWND) override
    {
        if (iconic)
            log += 'R';
        iconic = false;
    }
    bool RequestClose(HWND, uint32_t timeoutMs) override
    {
        log += 'C';
        attempts++;
        pausesInAttempt = 0;
        lastTimeoutMs = timeoutMs;
        return !hung;
    }
    void ProcessMessages() override { pumps++; }
    void Pause(uint32_t ms) override
    {
        log += '.';
        pausesInAttempt++;
        pausedMs += ms;
    }

    int closesAt = -1;
    bool iconic = false;
    bool hung = false;
    int attempts = 0;
    int pausesInAttempt = 0;
    int pumps = 0;
    uint32_t pausedMs = 0;
    uint32_t lastTimeoutMs = 0;
    std::string lastCaption;
    std::string log;
};

class RecordingList : public clWinSetupList {
public:
    void StepHook() override
    {
        hooks++;
        progress.push_back(SetupListProgress(this));
        if (hooks == cancelAtHook)
            cancel = 1;
    }
    int hooks = 0;
    int cancelAtHook = 0;
    std::vector<float> progress;
};

clWinSetupStopApp* AddFakeStopApp(RecordingList& list, FakeDesktop& desktop, int32_t waits)
{
    EXPECT_EQ(AddStopApp(&list, "JYX Brimvault "), 0);
    clWinSetupStopApp* item = static_cast<clWinSetupStopApp*>(list.First());
    item->windows = &desktop;
    item->closeWaits = waits;
    item->closePauseMs = 50;
    return item;
}

std::string Repeat(const std::string& text, int times)
{
    std::string all;
    for (int i = 0; i < times; i++)
        all += text;
    return all;
}

}  // namespace

TEST(StopApp, AttemptsOverAFakeDesktop)
{
    struct Case {
        const char* what;
        int closesAt;
        bool iconic;
        bool hung;
        int32_t result;
        int attempts;
        int32_t finalStep;
        int hooks;
        std::string log;
    };
    const std::string attempt = "FC..F";  // two pauses per attempt here
    const Case cases[] = {
        {"no program window: finished at the first step", 0, false, false, 0, 0, 20, 2, "F"},
        {"closes at the first request", 1, false, false, 0, 1, 20, 2, attempt},
        {"closes at the fifth attempt", 5, false, false, 0, 5, 20, 6, Repeat(attempt, 5)},
        {"never closes: 20 attempts, then 20004", -1, false, false, SETUP_ERR_APP_RUNNING, 20, 19, 19,
         Repeat(attempt, 20)},
        {"closes during the last attempt's wait: it did close", 20, false, false, 0, 20, 20, 21,
         Repeat(attempt, 20)},
        {"a minimised window is restored before the request", 2, true, false, 0, 2, 20, 3,
         "FRC..F" + attempt},
        {"a request that is not handled (hung) still waits and looks again", 3, false, true, 0, 3, 20, 4,
         Repeat(attempt, 3)},
    };
    for (const Case& c : cases) {
        FakeDesktop desktop;
        desktop.closesAt = c.closesAt;
        desktop.iconic = c.iconic;
        desktop.hung = c.hung;
        RecordingList list;
        clWinSetupStopApp* item = AddFakeStopApp(list, desktop, 2);
        EXPECT_EQ(RunSetupList(&list), c.result) << c.what;
        EXPECT_EQ(desktop.attempts, c.attempts) << c.what;
        EXPECT_EQ(item->currentStep, c.finalStep) << c.what;
        EXPECT_EQ(list.hooks, c.hooks) << c.what;
        EXPECT_EQ(desktop.log, c.log) << c.what;
        EXPECT_EQ(desktop.lastCaption, "JYX Brimvault ") << c.what;
        EXPECT_EQ(desktop.pumps, 2 * c.attempts) << c.what << ": messages dispatched before each pause";
        EXPECT_EQ(list.reboot, 0) << c.what;
        // Each failed attempt moves the progress by one step of 20; success jumps to the end.
        for (int i = 0; i < c.attempts - 1 && i < int(list.progress.size()); i++)
            EXPECT_FLOAT_EQ(list.progress[i], 5.0f * float(i + 1)) << c.what << ", hook " << i;
        if (c.result == 0)
            EXPECT_FLOAT_EQ(list.progress.back(), 100.0f) << c.what;
    }
}

TEST(StopApp, EachAttemptIsBoundedByItsSettings)
{
    FakeDesktop desktop;
    desktop.hung = true;
    RecordingList list;
    clWinSetupStopApp* item = AddFakeStopApp(list, desktop, 20);
    EXPECT_EQ(item->closeTimeoutMs, 2000u) << "a few seconds for the program to answer";
    EXPECT_EQ(RunSetupList(&list), SETUP_ERR_APP_RUNNING);
    EXPECT_EQ(desktop.lastTimeoutMs, 2000u);
    EXPECT_EQ(desktop.pausedMs, 20u * 20u * 50u) << "20 attempts of 20 pauses of 50 ms";
}

TEST(StopApp, CancelBetweenAttemptsAndResume)
{
    // Cancelled after the third failed attempt: the run ends, the count is kept.
    FakeDesktop desktop;
    desktop.closesAt = 6;
    RecordingList list;
    clWinSetupStopApp* item = AddFakeStopApp(list, desktop, 1);
    list.cancelAtHook = 3;
    EXPECT_EQ(RunSetupList(&list), SETUP_ERR_CANCELLED);
    EXPECT_EQ(desktop.attempts, 3);
    EXPECT_EQ(item->currentStep, 3);

    // Run again: the attempts go on from there and the program closes at the sixth.
    list.cancelAtHook = 0;
    EXPECT_EQ(RunSetupList(&list), 0);
    EXPECT_EQ(desktop.attempts, 6);
    EXPECT_EQ(item->currentStep, 20);
}

TEST(StopApp, StepsOutsideTheTable)
{
    FakeDesktop desktop;
    clWinSetupStopApp item;
    item.windows = &desktop;
    item.currentStep = 21;
    EXPECT_EQ(item.ExecuteStep(), SETUP_ERR_APP_RUNNING) << "beyond the target";
    item.currentStep = 20;
    EXPECT_EQ(item.ExecuteStep(), 0) << "finished: nothing to do";
    EXPECT_EQ(desktop.log, "");
}

TEST(StopApp, FactoryAndDuplicates)
{
    clWinSetupList list;
    EXPECT_EQ(AddStopApp(&list, ""), 0);
    EXPECT_EQ(list.Count(), 0) << "an empty caption adds nothing";
    EXPECT_EQ(AddStopApp(&list, "JYX Brimvault "), 0);
    EXPECT_EQ(AddStopApp(&list, "JYX Brimvault "), 0);
    EXPECT_EQ(AddStopApp(&list, "JYX Brimvault"), 0);
    ASSERT_EQ(list.Count(), 2) << "the caption is the key, byte for byte";
    const clWinSetupStopApp* item = static_cast<const clWinSetupStopApp*>(list.First());
    EXPECT_EQ(item->typeCode, SETUP_TYPE_STOP_APP);
    EXPECT_EQ(item->targetStep, 20);
    EXPECT_EQ(item->currentStep, 0);
    EXPECT_EQ(item->closeWaits, 20);
    EXPECT_EQ(item->closePauseMs, 50u);
}

// ---- On Wine's desktop

namespace {

const char AppCaption[] = "JYX Brimvault ";

std::string WindowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

bool WaitForWindow(const char* caption, bool present, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while ((FindWindowA("TApplication", caption) != nullptr) != present) {
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
    return true;
}

// The placeholder main application with its window, ended at the end of the test.
class PlaceholderApp {
public:
    explicit PlaceholderApp(const char* option)
    {
        std::string command = "\"" + WindowsPath(PLACEHOLDER_APP) + "\" " + option;
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        if (CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                           &process_)) {
            CloseHandle(process_.hThread);
            started_ = WaitForWindow(AppCaption, true, 20000);
        }
    }
    ~PlaceholderApp()
    {
        if (process_.hProcess) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(process_.hProcess, 1);
            CloseHandle(process_.hProcess);
        }
    }
    bool Started() const { return started_; }
    bool Exited(DWORD timeoutMs) const
    {
        return WaitForSingleObject(process_.hProcess, timeoutMs) == WAIT_OBJECT_0;
    }

private:
    PROCESS_INFORMATION process_ = {};
    bool started_ = false;
};

int32_t RunStopApp(const char* caption, uint32_t timeoutMs, int32_t waits, uint32_t pauseMs, DWORD* elapsedMs,
                   int* hooks = nullptr)
{
    RecordingList list;
    AddStopApp(&list, caption);
    clWinSetupStopApp* item = static_cast<clWinSetupStopApp*>(list.First());
    item->closeTimeoutMs = timeoutMs;
    item->closeWaits = waits;
    item->closePauseMs = pauseMs;
    DWORD start = GetTickCount();
    int32_t result = RunSetupList(&list);
    *elapsedMs = GetTickCount() - start;
    if (hooks)
        *hooks = list.hooks;
    return result;
}

}  // namespace

TEST(StopAppOnWine, ClosesThePlaceholderApplication)
{
    ASSERT_EQ(FindWindowA("TApplication", AppCaption), nullptr) << "no such program runs already";
    PlaceholderApp app("/window");
    ASSERT_TRUE(app.Started());
    DWORD elapsed = 0;
    int hooks = 0;
    EXPECT_EQ(RunStopApp(AppCaption, 2000, 20, 50, &elapsed, &hooks), 0);
    EXPECT_TRUE(app.Exited(5000)) << "the program ended on WM_CLOSE";
    EXPECT_EQ(FindWindowA("TApplication", AppCaption), nullptr);
    EXPECT_EQ(hooks, 2) << "closed within the first attempt";
    EXPECT_LT(elapsed, 5000u);
}

TEST(StopAppOnWine, AProgramThatIgnoresTheRequestFailsAfterTheBound)
{
    PlaceholderApp app("/stubborn");
    ASSERT_TRUE(app.Started());
    DWORD elapsed = 0;
    // 20 attempts of two 25 ms pauses: about a second in all.
    EXPECT_EQ(RunStopApp(AppCaption, 2000, 2, 25, &elapsed), SETUP_ERR_APP_RUNNING);
    EXPECT_GE(elapsed, 20u * 2u * 25u - 100u);
    EXPECT_LT(elapsed, 10000u);
    EXPECT_FALSE(app.Exited(0)) << "the program still runs";
}

namespace {

const char HungCaption[] = "Tolvarn hung window";

struct HungWindow {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = nullptr;
};

LRESULT CALLBACK HungWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Makes a "TApplication" window, then blocks without ever reading its messages.
DWORD WINAPI HungWindowThread(void* context)
{
    HungWindow* hung = static_cast<HungWindow*>(context);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HungWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "TApplication";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "TApplication", HungCaption, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    WaitForSingleObject(hung->release, INFINITE);
    DestroyWindow(window);
    return 0;
}

}  // namespace

TEST(StopAppOnWine, AHungProgramNeverBlocksBeyondTheBound)
{
    HungWindow hung;
    hung.thread = CreateThread(nullptr, 0, HungWindowThread, &hung, 0, nullptr);
    ASSERT_NE(hung.thread, nullptr);
    ASSERT_TRUE(WaitForWindow(HungCaption, true, 10000));

    // 20 attempts, each at most a 300 ms request and one 10 ms pause.
    DWORD elapsed = 0;
    EXPECT_EQ(RunStopApp(HungCaption, 300, 1, 10, &elapsed), SETUP_ERR_APP_RUNNING);
    EXPECT_LT(elapsed, 20u * (300u + 10u) + 3000u);

    SetEvent(hung.release);
    EXPECT_EQ(WaitForSingleObject(hung.thread, 10000), WAIT_OBJECT_0);
    CloseHandle(hung.thread);
    CloseHandle(hung.release);
}
