// Shell shortcut files (.LNK) through the shell's link object.
#include "foundation/shortcututil.h"

#include "classlib/sysutils.h"
#include "foundation/fileutil.h"
#include "foundation/securityutil.h"

#include <objbase.h>
#include <shlobj.h>

#include <string>

namespace {

// The show command stored in the link.
const int LinkShowCommand = 0;

template <class Interface>
class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr()
    {
        if (p_)
            p_->Release();
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    Interface* operator->() const { return p_; }
    void** out() { return reinterpret_cast<void**>(&p_); }

private:
    Interface* p_ = nullptr;
};

// Balances a successful CoInitialize only (S_OK or S_FALSE).
class ComApartment {
public:
    ComApartment() : initialised_(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComApartment()
    {
        if (initialised_)
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    bool initialised_;
};

HRESULT SaveLink(const wchar_t* linkPath, const char* target, const char* workingDir)
{
    ComPtr<IShellLinkA> link;
    HRESULT result =
        CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA, link.out());
    if (FAILED(result))
        return result;
    link->SetPath(target);
    link->SetWorkingDirectory(workingDir);
    link->SetShowCmd(LinkShowCommand);
    link->SetIconLocation(target, 0);
    ComPtr<IPersistFile> file;
    result = link->QueryInterface(IID_IPersistFile, file.out());
    if (FAILED(result))
        return result;
    return file->Save(linkPath, TRUE);
}

}  // namespace

HRESULT CreateShellLink(const wchar_t* linkPath, const char* target, const char* workingDir)
{
    if (!linkPath || !target || !workingDir)
        return E_POINTER;
    ComApartment apartment;  // the interfaces are released before it ends
    return SaveLink(linkPath, target, workingDir);
}

int CreateShortcutFile(const char* target, const char* linkName, const char* folder)
{
    if (!target || !linkName)
        return ERROR_PATH_NOT_FOUND;
    int result = ForceDirectory(folder);
    if (result != 0)
        return result;
    GrantUsersAccess(folder);
    std::string workingDir = ExtractFileDir(target);
    std::string linkPath = std::string(folder) + "\\" + linkName + ".LNK";
    wchar_t wideLinkPath[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, linkPath.c_str(), -1, wideLinkPath, MAX_PATH) == 0) {
        DWORD error = GetLastError();
        // Too long for the shell's path buffer, or not convertible at all.
        return HRESULT_FROM_WIN32(
            error == ERROR_INSUFFICIENT_BUFFER || error == 0 ? ERROR_FILENAME_EXCED_RANGE : error);
    }
    HRESULT linkResult = CreateShellLink(wideLinkPath, target, workingDir.c_str());
    if (linkResult != S_OK)
        return static_cast<int>(linkResult);
    GrantUsersAccess(linkPath.c_str());
    return 0;
}
