// Driving Setup's wizard from another process, as a user would.
#include "wizard.h"
#include "../client/report.h"
#include <string.h>

SetupProcess::SetupProcess() : mainForm(NULL)
{
    ZeroMemory(&process, sizeof process);
}

SetupProcess::~SetupProcess()
{
    if (process.hProcess) {
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
}

bool SetupProcess::Start(const char* commandLine)
{
    char line[MAX_PATH * 2];
    lstrcpynA(line, commandLine, sizeof line);
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    return CreateProcessA(NULL, line, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process) != FALSE;
}

namespace {

struct FormSearch {
    DWORD processId;
    bool mainOne;
    HWND found;
};

// The wizard's forms are windows of the class library's form class; the main
// one has a client area of 500 by 400.
BOOL CALLBACK MatchForm(HWND window, LPARAM data)
{
    FormSearch* search = reinterpret_cast<FormSearch*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[32] = "";
    GetClassNameA(window, className, sizeof className);
    if (owner != search->processId || strcmp(className, "TClForm") != 0 || !IsWindowVisible(window))
        return TRUE;
    RECT client;
    GetClientRect(window, &client);
    bool isMain = client.right == 500 && client.bottom == 400;
    if (isMain == search->mainOne) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

}  // namespace

HWND SetupProcess::FindForm(bool mainOne)
{
    FormSearch search = {process.dwProcessId, mainOne, NULL};
    EnumWindows(MatchForm, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND SetupProcess::WaitForMainForm(DWORD milliseconds)
{
    for (DWORD waited = 0; waited < milliseconds && !HasEnded(); waited += 500) {
        mainForm = FindForm(true);
        if (mainForm)
            return mainForm;
        Sleep(500);
    }
    return NULL;
}

HWND SetupProcess::MessageBoxForm()
{
    return FindForm(false);
}

bool SetupProcess::HasEnded()
{
    return !process.hProcess || WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0;
}

long SetupProcess::CloseAndWait(DWORD milliseconds)
{
    if (mainForm)
        PostMessageA(mainForm, WM_CLOSE, 0, 0);
    if (!process.hProcess || WaitForSingleObject(process.hProcess, milliseconds) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    return static_cast<long>(code);
}

void ClickAt(HWND form, POINT point)
{
    POINT client = point;
    ClientToScreen(form, &point);
    SetForegroundWindow(form);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    INPUT inputs[3];
    ZeroMemory(inputs, sizeof inputs);
    for (INPUT& input : inputs) {
        input.type = INPUT_MOUSE;
        input.mi.dx = (point.x * 65535 + (width - 1) / 2) / (width - 1);
        input.mi.dy = (point.y * 65535 + (height - 1) / 2) / (height - 1);
    }
    inputs[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    inputs[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    inputs[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    // The pointer rests on the control before the press, as a user's would.
    SendInput(1, &inputs[0], sizeof(INPUT));
    Sleep(300);
    SendInput(1, &inputs[1], sizeof(INPUT));
    Sleep(150);
    SendInput(1, &inputs[2], sizeof(INPUT));
    Say("click at %ld,%ld of the form (%ld,%ld of the screen)", client.x, client.y, point.x, point.y);
}

COLORREF ColourAt(HWND form, POINT point)
{
    ClientToScreen(form, &point);
    HDC screen = GetDC(NULL);
    COLORREF colour = GetPixel(screen, point.x, point.y);
    ReleaseDC(NULL, screen);
    return colour;
}

bool IsWhite(COLORREF colour)
{
    return GetRValue(colour) >= 0xF8 && GetGValue(colour) >= 0xF8 && GetBValue(colour) >= 0xF8;
}

void Shot(const char* name)
{
    Say("shot %s", name);
    // The host looks at the log every 2 s and takes the screenshot at once.
    Sleep(6000);
}
