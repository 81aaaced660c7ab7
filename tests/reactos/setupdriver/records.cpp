// The installation's records as this system reports them: the registry, the
// service manager, the files and the shell's links.
#include "records.h"
#include "../client/report.h"
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <stdio.h>

namespace {

const char RecordsKey[] = "SOFTWARE\\DORQ\\JyxBrimvault";
const char ProxyKey[] = "SOFTWARE\\DORQ\\SABLINEX";
const char CacheKey[] = "SOFTWARE\\DORQ\\DORQPELKZEMK";
const char EntryKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\JyxBrimvault";
const char RunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
const char DiskClassKey[] = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E967-E325-11CE-BFC1-08002BE10318}";

std::string ShellFolder(int csidl)
{
    char path[MAX_PATH] = "";
    if (FAILED(SHGetFolderPathA(NULL, csidl, NULL, 0, path)))
        return "<none>";
    return path;
}

// A value as a type and bytes; false when it cannot be read.
bool ReadValue(const char* key, const char* name, DWORD* type, std::string* bytes)
{
    HKEY handle;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return false;
    char data[4096];
    DWORD size = sizeof data;
    LONG result = RegQueryValueExA(handle, name, NULL, type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(handle);
    if (result != ERROR_SUCCESS)
        return false;
    bytes->assign(data, size);
    return true;
}

void ExpectDword(const char* key, const char* name, DWORD want)
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValue(key, name, &type, &bytes))
        Fail("registry %s\\%s missing, expected dword %lu", key, name, want);
    else if (type != REG_DWORD || bytes.size() != 4)
        Fail("registry %s\\%s has type %lu and %u bytes, expected a dword", key, name, type,
             static_cast<unsigned>(bytes.size()));
    else if (*reinterpret_cast<const DWORD*>(bytes.data()) != want)
        Fail("registry %s\\%s is %lu, expected %lu", key, name, *reinterpret_cast<const DWORD*>(bytes.data()),
             want);
    else
        Say("ok registry %s\\%s dword=%lu", key, name, want);
}

void ExpectText(const char* key, const char* name, const std::string& want)
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValue(key, name, &type, &bytes)) {
        Fail("registry %s\\%s missing, expected '%s'", key, name, want.c_str());
        return;
    }
    std::string text = bytes.substr(0, bytes.find('\0'));
    if (type != REG_SZ)
        Fail("registry %s\\%s has type %lu, expected a string", key, name, type);
    else if (text != want)
        Fail("registry %s\\%s is '%s', expected '%s'", key, name, text.c_str(), want.c_str());
    else
        Say("ok registry %s\\%s='%s'", key, name, text.c_str());
}

void ExpectAnyText(const char* key, const char* name, const char* what)
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValue(key, name, &type, &bytes) || type != REG_SZ)
        Fail("registry %s\\%s (%s) missing or not a string", key, name, what);
    else
        Say("ok registry %s\\%s='%s' (%s)", key, name, bytes.substr(0, bytes.find('\0')).c_str(), what);
}

std::string FileBytes(const std::string& path)
{
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file)
        return "<missing>";
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    fclose(file);
    return bytes;
}

void ExpectSameFile(const std::string& installed, const std::string& carried)
{
    std::string have = FileBytes(installed), want = FileBytes(carried);
    if (want == "<missing>")
        Fail("file %s: the carried build %s is missing", installed.c_str(), carried.c_str());
    else if (have == "<missing>")
        Fail("file %s missing", installed.c_str());
    else if (have != want)
        Fail("file %s differs from the carried build (%u bytes, carried %u)", installed.c_str(),
             static_cast<unsigned>(have.size()), static_cast<unsigned>(want.size()));
    else
        Say("ok file %s equals the carried build (%u bytes)", installed.c_str(), static_cast<unsigned>(want.size()));
}

std::string LinkTarget(const std::string& path)
{
    std::string target = "<unreadable>";
    IShellLinkA* link = NULL;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link))))
        return "<no shell link object>";
    IPersistFile* file = NULL;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        wchar_t wide[MAX_PATH];
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
        char text[MAX_PATH] = "";
        if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
            target = "<missing>";
        else if (SUCCEEDED(file->Load(wide, STGM_READ)) && SUCCEEDED(link->GetPath(text, MAX_PATH, NULL, 0)))
            target = text;
        file->Release();
    }
    link->Release();
    return target;
}

void ExpectLink(const std::string& link, const std::string& target)
{
    std::string found = LinkTarget(link);
    if (lstrcmpiA(found.c_str(), target.c_str()) == 0)
        Say("ok shortcut %s -> %s", link.c_str(), found.c_str());
    else
        Fail("shortcut %s -> %s, expected %s", link.c_str(), found.c_str(), target.c_str());
}

const char* StateName(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED: return "stopped";
    case SERVICE_RUNNING: return "running";
    case SERVICE_START_PENDING: return "starting";
    case SERVICE_STOP_PENDING: return "stopping";
    default: return "in another state";
    }
}

void ExpectService(SC_HANDLE manager, const char* name, DWORD start, const char* group, DWORD state)
{
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (!service) {
        Fail("service %s: the service manager cannot open it (error %lu)", name, GetLastError());
        return;
    }
    static BYTE buffer[8192];
    QUERY_SERVICE_CONFIGA* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    DWORD needed = 0;
    std::string image = std::string("System32\\drivers\\") + name + ".SYS";
    if (!QueryServiceConfigA(service, config, sizeof buffer, &needed)) {
        Fail("service %s: no configuration (error %lu)", name, GetLastError());
    } else if (config->dwServiceType != SERVICE_KERNEL_DRIVER || config->dwStartType != start ||
               lstrcmpA(config->lpLoadOrderGroup ? config->lpLoadOrderGroup : "", group) != 0 ||
               lstrcmpiA(config->lpBinaryPathName ? config->lpBinaryPathName : "", image.c_str()) != 0) {
        Fail("service %s: type %lu start %lu group '%s' image '%s', expected type 1 start %lu group '%s' image '%s'",
             name, config->dwServiceType, config->dwStartType, config->lpLoadOrderGroup,
             config->lpBinaryPathName, start, group, image.c_str());
    } else {
        Say("ok service %s type=%lu start=%lu group='%s' image='%s'", name, config->dwServiceType,
            config->dwStartType, config->lpLoadOrderGroup, config->lpBinaryPathName);
    }
    SERVICE_STATUS status;
    if (!QueryServiceStatus(service, &status))
        Fail("service %s: no status (error %lu)", name, GetLastError());
    else if (status.dwCurrentState != state)
        Fail("service %s is %s, expected %s", name, StateName(status.dwCurrentState), StateName(state));
    else
        Say("ok service %s %s", name, StateName(state));
    CloseServiceHandle(service);
}

std::string DriverFile(const char* name)
{
    char system[MAX_PATH] = "";
    GetSystemDirectoryA(system, MAX_PATH);
    return std::string(system) + "\\drivers\\" + name + ".SYS";
}

}  // namespace

ProductPaths FindProductPaths(const char* carriedDir)
{
    ProductPaths paths;
    paths.installDir = ShellFolder(CSIDL_PROGRAM_FILES) + "\\JyxBrimvault";
    paths.app = paths.installDir + "\\Brimvault.exe";
    paths.uninstaller = paths.installDir + "\\Uninstall.exe";
    paths.carriedDir = carriedDir;
    return paths;
}

void CheckRecords(const ProductPaths& paths)
{
    ExpectDword(RecordsKey, "Version", 20402);
    ExpectText(RecordsKey, "OEM", "ZEMK");
    if (InstallTime().empty())
        Fail("registry %s\\InstallTime is not an 8-byte binary value", RecordsKey);
    else
        Say("ok registry %s\\InstallTime=%s", RecordsKey, InstallTime().c_str());
    ExpectDword(ProxyKey, "Version", 103);
    ExpectAnyText((std::string(ProxyKey) + "\\Used").c_str(), "JyxBrimvault", "the product uses the proxy driver");
    ExpectDword(CacheKey, "Version", 204);
    ExpectAnyText((std::string(CacheKey) + "\\Used").c_str(), "JyxBrimvault", "the product uses the cache driver");

    ExpectText(EntryKey, "DisplayName", "JyxBrimvault");
    ExpectText(EntryKey, "UninstallString", paths.uninstaller);
    ExpectText(EntryKey, "DisplayIcon", paths.app);
    ExpectText(EntryKey, "Publisher", "DORQ");
    ExpectText(EntryKey, "Comments", "JYX");
    ExpectText(EntryKey, "DisplayVersion", "2.04.02");
    ExpectDword(EntryKey, "VersionMajor", 2);
    ExpectDword(EntryKey, "VersionMinor", 4);
    DWORD kib = static_cast<DWORD>(FileBytes(paths.carriedDir + "\\Brimvault.exe").size() +
                                   FileBytes(paths.carriedDir + "\\Uninstall.exe").size()) >> 10;
    ExpectDword(EntryKey, "EstimatedSize", kib);
    ExpectDword(EntryKey, "NoModify", 1);
    ExpectDword(EntryKey, "NoRepair", 1);

    ExpectText(RunKey, "JyxBrimvault", "\"" + paths.app + "\"");

    std::string ini = ShellFolder(CSIDL_COMMON_APPDATA) + "\\DORQ\\JyxBrimvault\\JyxBrimvault_ZEMK.ini";
    char lang[16] = "";
    GetPrivateProfileStringA("Display", "Lang", "", lang, sizeof lang, ini.c_str());
    if (lstrcmpA(lang, "ENG") == 0)
        Say("ok ini %s [Display] Lang=%s", ini.c_str(), lang);
    else
        Fail("ini %s [Display] Lang='%s', expected 'ENG'", ini.c_str(), lang);
}

void CheckServices(unsigned long proxyState, unsigned long cacheState)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) {
        Fail("the service manager cannot be opened (error %lu)", GetLastError());
        return;
    }
    ExpectService(manager, "SABLINEX", SERVICE_SYSTEM_START, "Base", proxyState);
    ExpectService(manager, "DORQPELKZEMK", SERVICE_BOOT_START, "System Reserved", cacheState);
    CloseServiceHandle(manager);
}

void CheckUpperFilters()
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValue(DiskClassKey, "UpperFilters", &type, &bytes) || type != REG_MULTI_SZ) {
        Fail("the disk class has no UpperFilters list");
        return;
    }
    std::string shown = bytes;
    for (char& c : shown)
        if (c == '\0')
            c = '|';
    std::string want = std::string("DORQPELKZEMK") + '\0' + "partmgr" + '\0' + '\0';
    if (bytes.size() == want.size() && lstrcmpiA(bytes.c_str(), "DORQPELKZEMK") == 0 &&
        lstrcmpiA(bytes.c_str() + 13, "partmgr") == 0 && bytes[bytes.size() - 1] == 0)
        Say("ok UpperFilters=%s (the cache driver once, before partmgr)", shown.c_str());
    else
        Fail("UpperFilters=%s, expected DORQPELKZEMK|partmgr||", shown.c_str());
}

void CheckFiles(const ProductPaths& paths)
{
    ExpectSameFile(DriverFile("SABLINEX"), paths.carriedDir + "\\Sablinex.sys");
    ExpectSameFile(DriverFile("DORQPELKZEMK"), paths.carriedDir + "\\Tolvarn.sys");
    ExpectSameFile(paths.app, paths.carriedDir + "\\Brimvault.exe");
    ExpectSameFile(paths.uninstaller, paths.carriedDir + "\\Uninstall.exe");
}

void CheckShortcuts(const ProductPaths& paths)
{
    std::string menu = ShellFolder(CSIDL_COMMON_PROGRAMS) + "\\JYX Brimvault";
    ExpectLink(menu + "\\JYX Brimvault.lnk", paths.app);
    ExpectLink(menu + "\\Uninstall.lnk", paths.uninstaller);
    ExpectLink(ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY) + "\\JYX Brimvault.lnk", paths.app);
}

unsigned long InstalledVersion()
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValue(RecordsKey, "Version", &type, &bytes) || type != REG_DWORD || bytes.size() != 4)
        return 0;
    return *reinterpret_cast<const DWORD*>(bytes.data());
}

std::string InstallTime()
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValue(RecordsKey, "InstallTime", &type, &bytes) || type != REG_BINARY || bytes.size() != 8)
        return "";
    char text[17];
    for (int i = 0; i < 8; i++)
        sprintf(text + 2 * i, "%02x", static_cast<unsigned char>(bytes[7 - i]));
    return text;
}
