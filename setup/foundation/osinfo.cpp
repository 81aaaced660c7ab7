// Which Windows Setup runs on, and the optional entry points it binds at run time.
#include "foundation/osinfo.h"

OsInfoRecord OsInfo = {OS_UNKNOWN, OS_ARCH_UNKNOWN, false};

namespace {

// ---- The optional entry points ------------------------------------------------------------

typedef void(WINAPI* GetNativeSystemInfoFn)(LPSYSTEM_INFO);
typedef UINT(WINAPI* GetSystemWow64DirectoryAFn)(LPSTR, UINT);
typedef BOOL(WINAPI* CreateDirectoryAFn)(LPCSTR, LPSECURITY_ATTRIBUTES);
typedef HANDLE(WINAPI* CreateFileAFn)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef BOOL(WINAPI* DeleteFileAFn)(LPCSTR);
typedef BOOL(WINAPI* SetFileAttributesAFn)(LPCSTR, DWORD);
typedef DWORD(WINAPI* GetFileAttributesAFn)(LPCSTR);
typedef DWORD(WINAPI* FormatMessageWFn)(DWORD, LPCVOID, DWORD, DWORD, LPWSTR, DWORD, va_list*);
typedef int(WINAPI* GetLocaleInfoWFn)(LCID, LCTYPE, LPWSTR, int);
typedef HRESULT(WINAPI* SHGetFolderPathAFn)(HWND, int, HANDLE, DWORD, LPSTR);
typedef int(WINAPI* SHCreateDirectoryExAFn)(HWND, LPCSTR, const SECURITY_ATTRIBUTES*);
typedef BOOL(WINAPI* SetSecurityDescriptorControlFn)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                                     SECURITY_DESCRIPTOR_CONTROL);
typedef void(WINAPI* RtlGetNtVersionNumbersFn)(DWORD*, DWORD*, DWORD*);

// Modules are loaded at most once and never freed; pointers stay null until bound.
struct DynamicApiTable {
    HMODULE kernel32;
    HMODULE unicowsKernel;  // the W entry points on Windows 9x
    HMODULE shell32;
    HMODULE shfolder;
    HMODULE unicowsShell;
    HMODULE advapi32;
    HMODULE ntdll;

    GetNativeSystemInfoFn getNativeSystemInfo;
    GetSystemWow64DirectoryAFn getSystemWow64DirectoryA;
    CreateDirectoryAFn createDirectoryA;
    CreateFileAFn createFileA;
    DeleteFileAFn deleteFileA;
    SetFileAttributesAFn setFileAttributesA;
    GetFileAttributesAFn getFileAttributesA;
    FormatMessageWFn formatMessageW;
    GetLocaleInfoWFn getLocaleInfoW;
    SHGetFolderPathAFn shGetFolderPathA;
    SHCreateDirectoryExAFn shCreateDirectoryExA;
    SetSecurityDescriptorControlFn setSecurityDescriptorControl;
    RtlGetNtVersionNumbersFn rtlGetNtVersionNumbers;
};

DynamicApiTable DynamicApi = {};

template <typename Fn>
void Resolve(Fn& pointer, HMODULE module, const char* name)
{
    if (!pointer && module)
        pointer = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

void BindKernelEntryPoints(bool ntFamily)
{
    if (DynamicApi.kernel32)
        return;
    DynamicApi.kernel32 = LoadLibraryA("Kernel32.DLL");
    HMODULE kernel = DynamicApi.kernel32;
    if (!kernel)
        return;
    Resolve(DynamicApi.createDirectoryA, kernel, "CreateDirectoryA");
    Resolve(DynamicApi.createFileA, kernel, "CreateFileA");
    Resolve(DynamicApi.deleteFileA, kernel, "DeleteFileA");
    Resolve(DynamicApi.setFileAttributesA, kernel, "SetFileAttributesA");
    Resolve(DynamicApi.getFileAttributesA, kernel, "GetFileAttributesA");
    HMODULE wide = kernel;
    if (ntFamily) {
        Resolve(DynamicApi.getSystemWow64DirectoryA, kernel, "GetSystemWow64DirectoryA");
        Resolve(DynamicApi.getNativeSystemInfo, kernel, "GetNativeSystemInfo");
    } else {
        DynamicApi.unicowsKernel = LoadLibraryA("unicows.dll");
        if (DynamicApi.unicowsKernel)
            wide = DynamicApi.unicowsKernel;
    }
    Resolve(DynamicApi.formatMessageW, wide, "FormatMessageW");
    Resolve(DynamicApi.getLocaleInfoW, wide, "GetLocaleInfoW");
}

void BindShellEntryPoints(bool ntFamily)
{
    if (DynamicApi.shell32)
        return;
    DynamicApi.shell32 = LoadLibraryA("Shell32.DLL");
    if (!DynamicApi.shell32)
        return;
    DynamicApi.shfolder = LoadLibraryA("SHFolder.DLL");
    if (!ntFamily)
        DynamicApi.unicowsShell = LoadLibraryA("unicows.dll");
    // The first module that has a name wins; a module that did not load is skipped.
    HMODULE modules[] = {DynamicApi.unicowsShell, DynamicApi.shell32, DynamicApi.shfolder};
    for (HMODULE module : modules) {
        Resolve(DynamicApi.shGetFolderPathA, module, "SHGetFolderPathA");
        Resolve(DynamicApi.shCreateDirectoryExA, module, "SHCreateDirectoryExA");
    }
}

// ---- The real platform --------------------------------------------------------------------

class WindowsPlatform : public OsPlatform {
public:
    bool GetVersion(DWORD* major, DWORD* minor, DWORD* platformId) override
    {
        OSVERSIONINFOA version = {};
        version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        BOOL ok = GetVersionExA(&version);
#pragma GCC diagnostic pop
        *major = version.dwMajorVersion;
        *minor = version.dwMinorVersion;
        *platformId = version.dwPlatformId;
        return ok != FALSE;
    }
    void GetNtVersionNumbers(DWORD* major, DWORD* minor, DWORD* build) override
    {
        DynRtlGetNtVersionNumbers(major, minor, build);
        *build &= 0xFFFF;  // the high bits carry flags
    }
    bool IsServerProduct() override
    {
        return ::IsServerProduct();
    }
    WORD GetProcessorArchitecture() override
    {
        SYSTEM_INFO info = {};
        DynGetNativeSystemInfo(&info);
        return info.wProcessorArchitecture;
    }
    void BindEntryPoints(bool ntFamily) override
    {
        BindKernelEntryPoints(ntFamily);
        BindShellEntryPoints(ntFamily);
    }
};

WindowsPlatform RealPlatform;

static_assert(sizeof(OSVERSIONINFOA) == 148, "short version record");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "long version record");

// ---- Display names ------------------------------------------------------------------------

struct OsNames {
    const wchar_t* plain;
    const wchar_t* server;  // types 3 and 4
    const wchar_t* x64;     // types 5 to 12
    const wchar_t* ia64;
};

const OsNames NameTable[] = {
    {L"Windows 95", nullptr, nullptr, nullptr},
    {L"Windows 98", nullptr, nullptr, nullptr},
    {L"Windows ME", nullptr, nullptr, nullptr},
    {L"Windows NT", L"Windows NT Server", nullptr, nullptr},
    {L"Windows 2000", L"Windows 2000 Server", nullptr, nullptr},
    {L"Windows XP", nullptr, L"Windows XP (x64)", L"Windows XP (ia64)"},
    {L"Windows Server 2003", nullptr, L"Windows Server 2003 (x64)", L"Windows Server 2003 (ia64)"},
    {L"Windows Vista", nullptr, L"Windows Vista (x64)", L"Windows Vista (ia64)"},
    {L"Windows Server 2008", nullptr, L"Windows Server 2008 (x64)", L"Windows Server 2008 (ia64)"},
    {L"Windows 7", nullptr, L"Windows 7 (x64)", L"Windows 7 (ia64)"},
    {L"Windows 8", nullptr, L"Windows 8 (x64)", L"Windows 8 (ia64)"},
    {L"Windows 8.1", nullptr, L"Windows 8.1 (x64)", L"Windows 8.1 (ia64)"},
    {L"Windows 10", nullptr, L"Windows 10 (x64)", L"Windows 10 (ia64)"},
};

const wchar_t UnknownOsName[] = L"This Windows version";

bool TypeIn(int32_t low, int32_t high)
{
    DetectOs();
    return OsInfo.type >= low && OsInfo.type <= high;
}

}  // namespace

// ---- Detection ----------------------------------------------------------------------------

int32_t Classify9xVersion(DWORD major, DWORD minor)
{
    if (major != 4)
        return OS_UNKNOWN;
    if (minor == 0)
        return OS_WIN95;
    if (minor == 10)
        return OS_WIN98;
    return OS_WINME;
}

int32_t MapProcessorArch(WORD processorArchitecture)
{
    switch (processorArchitecture) {
    case PROCESSOR_ARCHITECTURE_INTEL: return OS_ARCH_X86;
    case PROCESSOR_ARCHITECTURE_AMD64: return OS_ARCH_X64;
    case PROCESSOR_ARCHITECTURE_IA64: return OS_ARCH_IA64;
    default: return OS_ARCH_UNKNOWN;
    }
}

void ClassifyNtVersionWith(OsPlatform& platform, DWORD major, DWORD minor, OsInfoRecord& info)
{
    if (major < 4) {
        info.type = OS_WINNT;
        info.arch = OS_ARCH_X86;
        info.server = false;
        return;
    }
    info.server = platform.IsServerProduct();
    if (major == 4 || (major == 5 && minor == 0)) {
        info.type = major == 4 ? OS_WINNT : OS_WIN2000;
        info.arch = OS_ARCH_X86;
        return;
    }
    if (major == 5)
        info.type = minor == 1 ? OS_WINXP : (info.server ? OS_WIN2003 : OS_WINXP);
    else if (major == 6 && minor == 0)
        info.type = info.server ? OS_WIN2008 : OS_VISTA;
    else if (major == 6 && minor == 1)
        info.type = info.server ? OS_WIN2008 : OS_WIN7;
    else if (major == 6 && minor == 2)
        info.type = OS_WIN8;
    else if (major == 6)
        info.type = OS_WIN81;
    else
        info.type = OS_WIN10;
    info.arch = MapProcessorArch(platform.GetProcessorArchitecture());
}

void ClassifyNtVersion(DWORD major, DWORD minor)
{
    ClassifyNtVersionWith(RealPlatform, major, minor, OsInfo);
}

void DetectOsWith(OsPlatform& platform, OsInfoRecord& info)
{
    if (info.type != OS_UNKNOWN)
        return;
    DWORD major = 0, minor = 0, platformId = 0;
    // A failed call leaves platform id 0: an unknown system.
    platform.GetVersion(&major, &minor, &platformId);
    if (platformId == VER_PLATFORM_WIN32_WINDOWS) {
        info.type = Classify9xVersion(major, minor);
        if (info.type == OS_UNKNOWN)
            return;
        info.arch = OS_ARCH_X86;
        info.server = false;
        platform.BindEntryPoints(false);
    } else if (platformId == VER_PLATFORM_WIN32_NT) {
        platform.BindEntryPoints(true);
        // Windows 8.1 and later report 6.2 to a program without a compatibility manifest;
        // the NT version numbers tell the truth.
        DWORD ntMajor = 0, ntMinor = 0, ntBuild = 0;
        platform.GetNtVersionNumbers(&ntMajor, &ntMinor, &ntBuild);
        if (ntMajor != 0)
            ClassifyNtVersionWith(platform, ntMajor, ntMinor, info);
        else
            ClassifyNtVersionWith(platform, major, minor, info);
    } else {
        info.type = OS_UNKNOWN;
        info.arch = OS_ARCH_UNKNOWN;
        info.server = false;
    }
}

void DetectOs()
{
    DetectOsWith(RealPlatform, OsInfo);
}

bool IsServerProduct()
{
    OSVERSIONINFOEXA version = {};
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BOOL ok = GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
#pragma GCC diagnostic pop
    return ok && version.wProductType == VER_NT_SERVER;
}

int32_t GetNativeArch()
{
    return MapProcessorArch(RealPlatform.GetProcessorArchitecture());
}

// ---- Queries ------------------------------------------------------------------------------

const wchar_t* OsDisplayName(int32_t type, int32_t arch, bool server)
{
    if (type < OS_WIN95 || type > OS_WIN10)
        return UnknownOsName;
    const OsNames& names = NameTable[type];
    if (names.server && server)
        return names.server;
    if (arch == OS_ARCH_X64 && names.x64)
        return names.x64;
    if (arch == OS_ARCH_IA64 && names.ia64)
        return names.ia64;
    return names.plain;
}

bool IsSupportedSystem(const OsInfoRecord& info)
{
    return info.type >= OS_WINXP && info.type <= OS_WIN10 &&
           (info.arch == OS_ARCH_X86 || info.arch == OS_ARCH_X64);
}

bool IsNtFamily()
{
    return TypeIn(OS_WINNT, OS_WIN10);
}

bool IsVistaOrLater()
{
    return TypeIn(OS_VISTA, OS_WIN10);
}

bool IsWin8OrLater()
{
    return TypeIn(OS_WIN8, OS_WIN10);
}

int32_t GetOsArch()
{
    DetectOs();
    return OsInfo.arch;
}

int32_t GetOsType()
{
    DetectOs();
    return OsInfo.type;
}

const wchar_t* GetOsName()
{
    DetectOs();
    return OsDisplayName(OsInfo.type, OsInfo.arch, OsInfo.server);
}

bool IsSupportedArch()
{
    DetectOs();
    return OsInfo.arch == OS_ARCH_X86 || OsInfo.arch == OS_ARCH_X64;
}

bool IsSupportedOs()
{
    DetectOs();
    return IsSupportedSystem(OsInfo);
}

bool IsSupportedOsExtra()
{
    DetectOs();
    return true;
}

// ---- Wrappers -----------------------------------------------------------------------------

void DynGetNativeSystemInfo(LPSYSTEM_INFO info)
{
    if (DynamicApi.getNativeSystemInfo)
        DynamicApi.getNativeSystemInfo(info);
    else
        GetSystemInfo(info);
}

UINT DynGetSystemWow64DirectoryA(LPSTR buffer, UINT size)
{
    return DynamicApi.getSystemWow64DirectoryA ? DynamicApi.getSystemWow64DirectoryA(buffer, size) : 0;
}

BOOL DynCreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security)
{
    return DynamicApi.createDirectoryA ? DynamicApi.createDirectoryA(path, security)
                                       : CreateDirectoryA(path, security);
}

HANDLE DynCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE templateFile)
{
    CreateFileAFn createFile = DynamicApi.createFileA ? DynamicApi.createFileA : CreateFileA;
    return createFile(path, access, share, security, disposition, flags, templateFile);
}

BOOL DynDeleteFileA(LPCSTR path)
{
    return DynamicApi.deleteFileA ? DynamicApi.deleteFileA(path) : DeleteFileA(path);
}

BOOL DynSetFileAttributesA(LPCSTR path, DWORD attributes)
{
    return DynamicApi.setFileAttributesA ? DynamicApi.setFileAttributesA(path, attributes)
                                         : SetFileAttributesA(path, attributes);
}

DWORD DynGetFileAttributesA(LPCSTR path)
{
    return DynamicApi.getFileAttributesA ? DynamicApi.getFileAttributesA(path) : GetFileAttributesA(path);
}

DWORD DynFormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                        DWORD size, va_list* arguments)
{
    FormatMessageWFn formatMessage = DynamicApi.formatMessageW ? DynamicApi.formatMessageW : FormatMessageW;
    return formatMessage(flags, source, messageId, languageId, buffer, size, arguments);
}

int DynGetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int size)
{
    return DynamicApi.getLocaleInfoW ? DynamicApi.getLocaleInfoW(locale, type, data, size)
                                     : GetLocaleInfoW(locale, type, data, size);
}

HRESULT DynSHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path)
{
    return DynamicApi.shGetFolderPathA ? DynamicApi.shGetFolderPathA(owner, folder, token, flags, path) : 1;
}

int DynSHCreateDirectoryExA(HWND owner, LPCSTR path, const SECURITY_ATTRIBUTES* security)
{
    return DynamicApi.shCreateDirectoryExA ? DynamicApi.shCreateDirectoryExA(owner, path, security)
                                           : static_cast<int>(E_FAIL);
}

BOOL DynSetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL mask,
                                     SECURITY_DESCRIPTOR_CONTROL bits)
{
    if (!DynamicApi.advapi32) {
        DynamicApi.advapi32 = LoadLibraryA("advapi32.dll");
        Resolve(DynamicApi.setSecurityDescriptorControl, DynamicApi.advapi32, "SetSecurityDescriptorControl");
    }
    if (!DynamicApi.setSecurityDescriptorControl)
        return FALSE;
    return DynamicApi.setSecurityDescriptorControl(descriptor, mask, bits);
}

void DynRtlGetNtVersionNumbers(DWORD* major, DWORD* minor, DWORD* build)
{
    DWORD numbers[3] = {0, 0, 0};
    if (!DynamicApi.ntdll) {
        DynamicApi.ntdll = LoadLibraryA("ntdll.DLL");
        Resolve(DynamicApi.rtlGetNtVersionNumbers, DynamicApi.ntdll, "RtlGetNtVersionNumbers");
    }
    if (DynamicApi.rtlGetNtVersionNumbers)
        DynamicApi.rtlGetNtVersionNumbers(&numbers[0], &numbers[1], &numbers[2]);
    if (major)
        *major = numbers[0];
    if (minor)
        *minor = numbers[1];
    if (build)
        *build = numbers[2];
}
