// Which Windows Setup runs on, and the optional entry points it binds at run time.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <stdint.h>

// OS type codes.
enum : int32_t {
    OS_UNKNOWN = -1,
    OS_WIN95 = 0,
    OS_WIN98 = 1,
    OS_WINME = 2,
    OS_WINNT = 3,
    OS_WIN2000 = 4,
    OS_WINXP = 5,
    OS_WIN2003 = 6,
    OS_VISTA = 7,
    OS_WIN2008 = 8,
    OS_WIN7 = 9,
    OS_WIN8 = 10,
    OS_WIN81 = 11,
    OS_WIN10 = 12,
};

// Processor architecture of the system.
enum : int32_t {
    OS_ARCH_UNKNOWN = -1,
    OS_ARCH_X86 = 0,
    OS_ARCH_X64 = 1,
    OS_ARCH_IA64 = 2,
};

struct OsInfoRecord {
    int32_t type;  // OS_xxx; OS_UNKNOWN until detected
    int32_t arch;  // OS_ARCH_xxx
    bool server;   // the product type is VER_NT_SERVER
};

// The process-wide record filled by DetectOs.
extern OsInfoRecord OsInfo;

// Fills OsInfo and binds the optional entry points; does nothing once a type is known.
// An unknown system (type -1) is not remembered: the next query detects again.
void DetectOs();

// Every query runs DetectOs first.
bool IsNtFamily();
bool IsVistaOrLater();
bool IsWin8OrLater();
int32_t GetOsArch();
int32_t GetOsType();
const wchar_t* GetOsName();  // never null
bool IsSupportedArch();
bool IsSupportedOs();
bool IsSupportedOsExtra();

// What the platform reports, behind an interface so that the detection can be fed by a test.
class OsPlatform {
public:
    virtual ~OsPlatform() {}
    // GetVersionExA with the short record: false when the call fails.
    virtual bool GetVersion(DWORD* major, DWORD* minor, DWORD* platformId) = 0;
    // The true NT version numbers; all zero when they cannot be had.
    virtual void GetNtVersionNumbers(DWORD* major, DWORD* minor, DWORD* build) = 0;
    virtual bool IsServerProduct() = 0;
    // wProcessorArchitecture of the native system information.
    virtual WORD GetProcessorArchitecture() = 0;
    // Binds the kernel and shell entry points for the NT family or for Windows 9x.
    virtual void BindEntryPoints(bool ntFamily) = 0;
};

// The detection over a given platform and record (DetectOs uses the real ones).
void DetectOsWith(OsPlatform& platform, OsInfoRecord& info);

// The pure parts of the detection.
int32_t Classify9xVersion(DWORD major, DWORD minor);
void ClassifyNtVersionWith(OsPlatform& platform, DWORD major, DWORD minor, OsInfoRecord& info);
void ClassifyNtVersion(DWORD major, DWORD minor);  // into OsInfo, asking the real platform
int32_t MapProcessorArch(WORD processorArchitecture);
const wchar_t* OsDisplayName(int32_t type, int32_t arch, bool server);
bool IsSupportedSystem(const OsInfoRecord& info);

// The real platform's answers.
bool IsServerProduct();
int32_t GetNativeArch();

// Wrappers of the optional entry points. Each passes its arguments through and returns the
// entry point's result; while the entry point is not bound (before DetectOs, or missing on
// this system) it uses its fallback: the static import, or the failure value noted.
void DynGetNativeSystemInfo(LPSYSTEM_INFO info);            // GetSystemInfo
UINT DynGetSystemWow64DirectoryA(LPSTR buffer, UINT size);  // 0
BOOL DynCreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
HANDLE DynCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL DynDeleteFileA(LPCSTR path);
BOOL DynSetFileAttributesA(LPCSTR path, DWORD attributes);
DWORD DynGetFileAttributesA(LPCSTR path);
DWORD DynFormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                        DWORD size, va_list* arguments);
int DynGetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int size);
HRESULT DynSHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path);  // 1
int DynSHCreateDirectoryExA(HWND owner, LPCSTR path, const SECURITY_ATTRIBUTES* security);   // E_FAIL
// Binds from "advapi32.dll" at the first call; FALSE when it cannot.
BOOL DynSetSecurityDescriptorControl(PSECURITY_DESCRIPTOR descriptor, SECURITY_DESCRIPTOR_CONTROL mask,
                                     SECURITY_DESCRIPTOR_CONTROL bits);
// Binds from "ntdll.DLL" at the first call; all three numbers 0 when it cannot.
void DynRtlGetNtVersionNumbers(DWORD* major, DWORD* minor, DWORD* build);
