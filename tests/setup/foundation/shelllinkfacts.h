// Test helper: what a shell link file holds, read back through the shell's
// own link object, and the show command stored in its header.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <string>

#include "testfolder.h"

struct LinkFacts {
    HRESULT loaded = E_FAIL;
    std::string target;
    std::string arguments;
    std::string workingDir;
    DWORD storedShowCommand = 0xFFFFFFFF;  // as stored in the file's header
};

inline LinkFacts ReadLink(const std::string& path)
{
    LinkFacts facts;
    CoInitialize(nullptr);
    IShellLinkA* link = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                   reinterpret_cast<void**>(&link)))) {
        IPersistFile* file = nullptr;
        if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
            wchar_t wide[MAX_PATH] = {};
            MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
            facts.loaded = file->Load(wide, STGM_READ);
            char text[MAX_PATH] = {};
            link->GetPath(text, MAX_PATH, nullptr, 0);
            facts.target = text;
            text[0] = 0;
            link->GetArguments(text, MAX_PATH);
            facts.arguments = text;
            text[0] = 0;
            link->GetWorkingDirectory(text, MAX_PATH);
            facts.workingDir = text;
            file->Release();
        }
        link->Release();
    }
    CoUninitialize();
    std::string bytes = FileBytes(path);
    if (bytes.size() >= 0x40)
        facts.storedShowCommand = *reinterpret_cast<const DWORD*>(bytes.data() + 0x3C);
    return facts;
}
