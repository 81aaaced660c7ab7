// Path helpers of the class library (8-bit paths in the system code page).
#pragma once

#include <string>

// The drive and folder of path without a closing backslash, except for a root:
// "C:\a\b.exe" gives "C:\a", "C:\b.exe" gives "C:\", "b.exe" gives "".
std::string ExtractFileDir(const std::string& path);
