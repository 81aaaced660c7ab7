// Test helpers: a folder emptied at the start of a run (the Wine prefix outlives test
// runs), and a file's bytes.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <string>

inline void RemoveTree(const std::string& folder)
{
    std::string from = folder + '\0';  // the list ends with a second NUL
    SHFILEOPSTRUCTA operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NO_UI;
    SHFileOperationA(&operation);
}

inline void MakeFreshFolder(const std::string& folder)
{
    RemoveTree(folder);
    CreateDirectoryA(folder.c_str(), nullptr);
}

// "<missing>" or the file's bytes.
inline std::string FileBytes(const std::string& path)
{
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes(GetFileSize(file, nullptr), '\0');
    DWORD read = 0;
    if (!bytes.empty())
        ReadFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    return bytes;
}
