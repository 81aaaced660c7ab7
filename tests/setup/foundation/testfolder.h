// Test helper: a folder emptied at the start of a run (the Wine prefix outlives test runs).
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
