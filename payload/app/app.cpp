// Placeholder main application. Without arguments it exits at once (Wine runs the
// auto-start value at each session start). "/window" shows a hidden top-level window
// of class "TApplication" titled "JYX Brimvault " that quits on WM_CLOSE;
// "/stubborn" shows the same window but ignores WM_CLOSE.
#include <windows.h>
#include <string.h>

static bool ignoreClose;

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        if (ignoreClose)
            return 0;
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int)
{
    bool window = strstr(commandLine, "/window") != NULL;
    ignoreClose = strstr(commandLine, "/stubborn") != NULL;
    if (!window && !ignoreClose)
        return 0;

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "TApplication";
    RegisterClassA(&windowClass);
    if (!CreateWindowExA(0, "TApplication", "JYX Brimvault ", WS_POPUP, 0, 0, 0, 0,
                         NULL, NULL, instance, NULL))
        return 1;

    MSG message;
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
