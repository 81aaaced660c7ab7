// Setup.exe as a person starts it: a borderless 500 x 400 white window centred
// on the screen, one instance at a time, and the exit code when it is closed.
#include "xinput.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Process {
    PROCESS_INFORMATION info = {};
    bool Start(const std::string& exe)
    {
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        std::string commandLine = "\"" + exe + "\"";
        return CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &info) != FALSE;
    }
    // The exit code, or -1 when it has not ended within timeout milliseconds.
    long WaitExit(DWORD timeout)
    {
        if (WaitForSingleObject(info.hProcess, timeout) != WAIT_OBJECT_0)
            return -1;
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        return static_cast<long>(code);
    }
    ~Process()
    {
        if (info.hProcess) {
            if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(info.hProcess, 99);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
};

struct FoundWindow {
    DWORD process;
    HWND hwnd;
};

BOOL CALLBACK FindVisibleWindow(HWND hwnd, LPARAM context)
{
    auto* found = reinterpret_cast<FoundWindow*>(context);
    DWORD process = 0;
    GetWindowThreadProcessId(hwnd, &process);
    if (process == found->process && IsWindowVisible(hwnd)) {
        found->hwnd = hwnd;
        return FALSE;
    }
    return TRUE;
}

// The first visible top-level window of process, waiting up to timeout.
HWND WaitForWindow(DWORD process, DWORD timeout)
{
    DWORD start = GetTickCount();
    do {
        FoundWindow found = {process, nullptr};
        EnumWindows(FindVisibleWindow, reinterpret_cast<LPARAM>(&found));
        if (found.hwnd)
            return found.hwnd;
        Sleep(100);
    } while (GetTickCount() - start < timeout);
    return nullptr;
}

TEST(SetupStart, OneBorderlessCentredWindowThenExitCodeOneWhenClosed)
{
    std::string exe = WindowsPath(SETUP_EXE);
    Process first;
    ASSERT_TRUE(first.Start(exe)) << exe;
    HWND form = WaitForWindow(first.info.dwProcessId, 15000);
    ASSERT_NE(form, nullptr) << "Setup showed no window";
    Sleep(500);  // let it paint

    // 1. Borderless, 500 x 400, centred on the screen.
    LONG style = GetWindowLongW(form, GWL_STYLE);
    EXPECT_TRUE(style & WS_POPUP);
    EXPECT_FALSE(style & (WS_CAPTION | WS_THICKFRAME | WS_SYSMENU));
    RECT client, window;
    GetClientRect(form, &client);
    GetWindowRect(form, &window);
    EXPECT_EQ(client.right, 500);
    EXPECT_EQ(client.bottom, 400);
    EXPECT_EQ(window.left, (GetSystemMetrics(SM_CXSCREEN) - 500) / 2);
    EXPECT_EQ(window.top, (GetSystemMetrics(SM_CYSCREEN) - 400) / 2);

    // 2. The welcome page in its frame: white page, grey bands, the dark blue strip and
    // the black frame line (under the strip at the top); the screenshot is kept for people.
    std::vector<uint8_t> shot = GrabScreen(window);
    CreateDirectoryA(WindowsPath(ARTIFACT_DIR).c_str(), nullptr);
    EXPECT_TRUE(SavePng(WindowsPath(ARTIFACT_DIR) + "\\setup-start.png", 500, 400, shot));
    struct {
        POINT at;
        uint32_t rgb;
    } pixels[] = {
        {{250, 320}, 0xFFFFFF}, {{5, 395}, 0xF0F0F0},   {{300, 30}, 0xF0F0F0},  {{300, 5}, 0x002F7A},
        {{0, 200}, 0x000000},   {{499, 200}, 0x000000}, {{250, 399}, 0x000000},
    };
    for (const auto& p : pixels) {
        const uint8_t* pixel = &shot[(static_cast<size_t>(p.at.y) * 500 + p.at.x) * 3];
        EXPECT_EQ(uint32_t(pixel[0]) << 16 | pixel[1] << 8 | pixel[2], p.rgb) << p.at.x << "," << p.at.y;
    }

    // 3. The hidden application window carries the title for the next start.
    HWND application = FindWindowA("TApplication", "Brimvault Setup");
    ASSERT_NE(application, nullptr);
    EXPECT_FALSE(IsWindowVisible(application));
    DWORD owner = 0;
    GetWindowThreadProcessId(application, &owner);
    EXPECT_EQ(owner, first.info.dwProcessId);
    EXPECT_EQ(SendMessageW(form, WM_QUERYENDSESSION, 0, 0), TRUE);  // nothing runs

    // 4. A second start ends at once with 0 and shows nothing.
    Process second;
    ASSERT_TRUE(second.Start(exe));
    EXPECT_EQ(second.WaitExit(10000), 0);
    EXPECT_EQ(WaitForWindow(second.info.dwProcessId, 0), nullptr);
    EXPECT_TRUE(IsWindowVisible(form));

    // 5. Closed without an installation: exit code 1.
    PostMessageW(form, WM_CLOSE, 0, 0);
    EXPECT_EQ(first.WaitExit(10000), 1);
}

}  // namespace
