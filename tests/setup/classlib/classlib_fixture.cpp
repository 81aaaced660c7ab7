// Message-box helpers of the class library tests.
#include "classlib_fixture.h"

#include <png.h>

#include <cstring>

namespace {

std::vector<SeenBox>* seenBoxes = nullptr;
std::vector<HWND> closedBoxes;
UINT_PTR boxTimer = 0;

BOOL CALLBACK CloseIfMessageBox(HWND hwnd, LPARAM)
{
    wchar_t className[32];
    if (!IsWindowVisible(hwnd) || !GetClassNameW(hwnd, className, 32) || std::wstring(className) != L"#32770")
        return TRUE;
    for (HWND closed : closedBoxes) {
        if (closed == hwnd)
            return TRUE;
    }
    closedBoxes.push_back(hwnd);
    SeenBox box;
    wchar_t text[512];
    GetWindowTextW(hwnd, text, 512);
    box.caption = text;
    text[0] = 0;
    GetDlgItemTextW(hwnd, 0xFFFF, text, 512);
    box.text = text;
    seenBoxes->push_back(box);
    PostMessageW(hwnd, WM_COMMAND, IDOK, 0);
    PostMessageW(hwnd, WM_COMMAND, IDYES, 0);
    return TRUE;
}

void CALLBACK CloseBoxesTimer(HWND, UINT, UINT_PTR, DWORD)
{
    if (seenBoxes)
        EnumThreadWindows(GetCurrentThreadId(), CloseIfMessageBox, 0);
}

}  // namespace

void StartClosingMessageBoxes(std::vector<SeenBox>* seen)
{
    seenBoxes = seen;
    closedBoxes.clear();
    boxTimer = SetTimer(nullptr, 0, 50, CloseBoxesTimer);
}

void StopClosingMessageBoxes()
{
    KillTimer(nullptr, boxTimer);
    seenBoxes = nullptr;
}

std::vector<uint8_t> EncodeRgbaPng(int width, int height, const uint8_t* rgba)
{
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, rgba, 0, nullptr);
    std::vector<uint8_t> out(size);
    png_image_write_to_memory(&image, out.data(), &size, 0, rgba, 0, nullptr);
    out.resize(size);
    return out;
}

COLORREF ScreenPixel(TForm* form, int x, int y)
{
    HDC screen = GetDC(nullptr);
    COLORREF colour = GetPixel(screen, form->Left() + x, form->Top() + y);
    ReleaseDC(nullptr, screen);
    return colour;
}
