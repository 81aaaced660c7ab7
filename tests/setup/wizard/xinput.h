// Real X input on the test's private display: xdotool, started from inside Wine,
// moves the pointer and presses buttons as a person would; screenshots of the
// screen saved as PNG for people to look at.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Runs xdotool with args and waits for it; false when it could not run or failed.
bool XdoTool(const std::vector<std::string>& args);
// Starts xdotool with args and returns at once, so that the caller can watch what the input
// does while it is being given; false when it could not be started.
bool XdoToolStart(const std::vector<std::string>& args);
// Moves the pointer to screen position x, y.
bool XMoveTo(int x, int y);
// Presses or releases mouse button (1 left, 2 middle, 3 right) where the pointer is.
bool XButtonDown(int button);
bool XButtonUp(int button);

// The screen's pixels in rect as 8-bit RGB rows.
std::vector<uint8_t> GrabScreen(const RECT& rect);
// Writes RGB rows as a PNG file (a Windows path).
bool SavePng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);
// A Unix path of the build as Wine sees it.
std::string WindowsPath(std::string path);
// Saves the screen under hwnd's window as ARTIFACT_DIR/name.png.
void SaveWindowShot(HWND hwnd, const std::string& artifactDir, const std::string& name);
