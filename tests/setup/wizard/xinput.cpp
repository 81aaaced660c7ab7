// xdotool through Wine's Unix process start, and screenshots.
#include "xinput.h"

#include <png.h>

#include <cstring>

namespace {

// Wine's ntdll starts a Unix program (as its own browser launcher does).
using UnixSpawn = LONG(WINAPI*)(char* const* argv, int wait);

UnixSpawn FindUnixSpawn()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll ? reinterpret_cast<UnixSpawn>(GetProcAddress(ntdll, "__wine_unix_spawnvp")) : nullptr;
}

bool SpawnXdoTool(const std::vector<std::string>& args, bool wait)
{
    static UnixSpawn spawn = FindUnixSpawn();
    if (!spawn)
        return false;
    std::vector<std::string> words = {"xdotool"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    return spawn(argv.data(), wait ? 1 : 0) == 0;
}

}  // namespace

bool XdoTool(const std::vector<std::string>& args)
{
    return SpawnXdoTool(args, true);
}

bool XdoToolStart(const std::vector<std::string>& args)
{
    return SpawnXdoTool(args, false);
}

bool XMoveTo(int x, int y)
{
    return XdoTool({"mousemove", std::to_string(x), std::to_string(y)});
}

bool XButtonDown(int button)
{
    return XdoTool({"mousedown", std::to_string(button)});
}

bool XButtonUp(int button)
{
    return XdoTool({"mouseup", std::to_string(button)});
}

std::vector<uint8_t> GrabScreen(const RECT& rect)
{
    int width = rect.right - rect.left, height = rect.bottom - rect.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    const uint8_t* bgrx = static_cast<const uint8_t*>(bits);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; i++) {
        rgb[i * 3 + 0] = bgrx[i * 4 + 2];
        rgb[i * 3 + 1] = bgrx[i * 4 + 1];
        rgb[i * 3 + 2] = bgrx[i * 4 + 0];
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return rgb;
}

bool SavePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb)
{
    png_image image;
    memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = PNG_FORMAT_RGB;
    return png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), 0, nullptr) != 0;
}

std::string WindowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

void SaveWindowShot(HWND hwnd, const std::string& artifactDir, const std::string& name)
{
    RECT window;
    GetWindowRect(hwnd, &window);
    std::string folder = WindowsPath(artifactDir);
    CreateDirectoryA(folder.c_str(), nullptr);
    SavePng(folder + "\\" + name + ".png", window.right - window.left, window.bottom - window.top,
            GrabScreen(window));
}
