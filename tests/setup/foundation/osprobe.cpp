// Test tool: prints what the OS detection finds in the Windows version that Wine shows it.
#include "foundation/osinfo.h"

#include <stdio.h>

int main()
{
    // Before the detection every optional entry point takes its fallback.
    char path[MAX_PATH] = "";
    long folderBefore = long(DynSHGetFolderPathA(nullptr, CSIDL_WINDOWS, nullptr, 0, path));
    long createBefore = long(DynSHCreateDirectoryExA(nullptr, "C:\\osprobe-never", nullptr));
    unsigned wow64Before = DynGetSystemWow64DirectoryA(path, sizeof(path));

    DetectOs();

    char wow64[MAX_PATH] = "";
    unsigned wow64After = DynGetSystemWow64DirectoryA(wow64, sizeof(wow64));
    char windows[MAX_PATH] = "";
    long folderAfter = long(DynSHGetFolderPathA(nullptr, CSIDL_WINDOWS, nullptr, 0, windows));
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    int control = DynSetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED) ? 1 : 0;

    char name[128] = "";
    WideCharToMultiByte(CP_UTF8, 0, GetOsName(), -1, name, sizeof(name), nullptr, nullptr);
    printf("type=%d\narch=%d\nserver=%d\nsupported=%d\nname=%s\n", int(GetOsType()), int(GetOsArch()),
           OsInfo.server ? 1 : 0, IsSupportedOs() ? 1 : 0, name);
    printf("nt=%d\nvista=%d\nwin8=%d\n", IsNtFamily() ? 1 : 0, IsVistaOrLater() ? 1 : 0,
           IsWin8OrLater() ? 1 : 0);
    printf("folderBefore=%ld\ncreateBefore=%ld\nwow64Before=%u\n", folderBefore, createBefore, wow64Before);
    printf("folderAfter=%ld\nwindows=%s\nwow64=%s\nsdcontrol=%d\n", folderAfter, windows,
           wow64After ? wow64 : "", control);
    return 0;
}
