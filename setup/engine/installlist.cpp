// The product's install list and its builders, the product's records (registry values, data
// folder, ini file) written after a successful run, and the clean-up before a run.
#include "engine/installlist.h"

#include "classlib/exception.h"
#include "engine/cachedriver.h"
#include "engine/driverservice.h"
#include "engine/reguninstall.h"
#include "engine/winsetupactions.h"
#include "foundation/appregutil.h"
#include "foundation/fileutil.h"
#include "foundation/iniutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/msgids.h"
#include "foundation/osinfo.h"
#include "foundation/registryutil.h"
#include "foundation/securityutil.h"

#include <windows.h>

#include <new>

const char InstallProductKey[] = "JyxBrimvault";
const char InstallEdition[] = "ZEMK";
const char MainProgramFile[] = "Brimvault.exe";
const char ProductLinkName[] = "JYX Brimvault";

uint8_t InstallCompleted = 0;

InstallLookups InstallSystem = {GetBinResSize, GetShellFolder};

namespace {

const char RunningAppCaption[] = "JYX Brimvault ";  // the main program's window, with its blank
const char UninstallerFile[] = "Uninstall.exe";
const char UninstallLinkName[] = "Uninstall";
const char HelpFileBase[] = "Brimvault";
const char MakerFolder[] = "DORQ";
const char RecordsKey[] = "Software\\DORQ\\JyxBrimvault";
const char ProxyDriverService[] = "SABLINEX";
const int32_t ProxyDriverVersion = 103;
const char* const OldDriverServices[] = {"DORQVORN", "DORQVORNZEMK"};
const char CacheDriverService[] = "DORQPELKZEMK";
const int32_t CacheDriverVersion = 204;

// The application data folder of the product's maker: the common one on the NT family, else
// the user's own; empty when it is unknown.
std::string MakerDataDir()
{
    const char* folder = InstallSystem.shellFolder(IsNtFamily() ? CsidlCommonAppData : CsidlAppData);
    return folder ? std::string(folder) + "\\" + MakerFolder : std::string();
}

int32_t AddUninstallEntry(clInstallList* list, const std::string& uninstaller)
{
    clWinSetupRegUninstall* entry = new (std::nothrow) clWinSetupRegUninstall;
    if (!entry)
        return SETUP_ERR_NO_MEMORY;
    entry->productKey = list->productKey;
    entry->uninstallCommand = uninstaller;
    entry->iconPath = list->mainProgramPath;
    // Summed in bytes as 32-bit unsigned, then whole KiB.
    uint32_t bytes =
        InstallSystem.binResSize(MainProgramResource) + InstallSystem.binResSize(UninstallerResource);
    entry->estimatedSize = static_cast<int32_t>(bytes >> 10);
    AddSetupItem(list, entry);
    return 0;
}

}  // namespace

// ---- The list

void clInstallList::StepHook()
{
    if (progress)
        progress->SetProgress(static_cast<int>(SetupListProgress(this)));
}

void SilentInstallHook(const char*) {}

// ---- Builders

int32_t BuildInstallList(clInstallList* list, const std::string& installDir)
{
    // No install folder (the system has no program files folder): like a missing shell
    // folder, the list is refused before anything is written.
    if (installDir.empty())
        return ERROR_PATH_NOT_FOUND;
    list->installDir = installDir;
    list->productKey = InstallProductKey;
    list->cancel = 0;
    list->reboot = 0;
    list->continueOnError = 0;
    return AddProductItems(list);
}

int32_t AddProductItems(clInstallList* list)
{
    list->mainProgramPath = list->installDir + "\\" + MainProgramFile;
    int32_t result = AddStopApp(list, RunningAppCaption);
    if (result == 0)
        result = AddUninstallItems(list);
    if (result == 0)
        result = AddCreateImage(list, list->mainProgramPath, MainProgramResource);
    if (result == 0)
        result = AddProgramsShortcut(list, "", ProductLinkName, ProductLinkName, list->mainProgramPath);
    if (result == 0)
        result = AddHelpFileItems(list);
    if (result == 0)
        result = AddDriverItems(list);
    return result;
}

int32_t AddUninstallItems(clInstallList* list)
{
    std::string uninstaller = list->installDir + "\\" + UninstallerFile;
    int32_t result = AddCreateImage(list, uninstaller, UninstallerResource);
    if (result == 0)
        result = AddUninstallEntry(list, uninstaller);
    // From Windows 8 on the Start menu has no place for an uninstaller's shortcut.
    if (result == 0 && !IsWin8OrLater())
        result = AddProgramsShortcut(list, "", ProductLinkName, UninstallLinkName, uninstaller);
    return result;
}

int32_t AddHelpFileItems(clInstallList* list)
{
    int32_t result = AddHelpFileItem(list, nullptr);
    if (!LanguageList)
        return result;
    for (clDorqObject* node = LanguageList->First(); node && result == 0; node = node->next)
        result = AddHelpFileItem(list, static_cast<clMsgObject*>(node)->code);
    return result;
}

int32_t AddHelpFileItem(clInstallList* list, const char* languageCode)
{
    return AddCopyFromSetupDir(list, GetHelpFileName(languageCode));
}

int32_t AddDriverItems(clInstallList* list)
{
    if (!IsNtFamily())
        return 0;
    int32_t result = AddProxyDriverItem(list);
    if (result == 0)
        result = AddOldDriverRemovalItems(list);
    if (result == 0)
        result = AddCacheDriverItem(list);
    return result;
}

int32_t AddProxyDriverItem(clInstallList* list)
{
    switch (GetOsArch()) {
    case OS_ARCH_X86:
        return AddInstallSys(list, ProxyDriverService, ProxyDriverVersion, ProxyDriverX86Resource);
    case OS_ARCH_X64:
        return AddInstallSys(list, ProxyDriverService, ProxyDriverVersion, ProxyDriverX64Resource);
    default: return 0;
    }
}

int32_t AddOldDriverRemovalItems(clInstallList* list)
{
    for (const char* name : OldDriverServices) {
        clVornOldDriverUninstall* item = new (std::nothrow) clVornOldDriverUninstall;
        if (!item)
            return SETUP_ERR_NO_MEMORY;
        item->componentName = name;
        item->usedValueName = list->productKey;
        AddSetupItem(list, item);
    }
    return 0;
}

int32_t AddCacheDriverItem(clInstallList* list)
{
    int32_t resourceId;
    switch (GetOsArch()) {
    case OS_ARCH_X86: resourceId = CacheDriverX86Resource; break;
    case OS_ARCH_X64: resourceId = CacheDriverX64Resource; break;
    default: return SETUP_ERR_NO_MEMORY;  // no build of the driver for this processor
    }
    clVornDriverInstall* item = new (std::nothrow) clVornDriverInstall;
    if (!item)
        return SETUP_ERR_NO_MEMORY;
    item->usedValueName = list->productKey;
    item->componentKey = CacheDriverService;
    item->version = CacheDriverVersion;
    item->resourceId = resourceId;
    AddSetupItem(list, item);
    return 0;
}

int32_t MapInstallError(int32_t code)
{
    switch (code) {
    case SETUP_ERR_UNKNOWN_STEP: return MsgInitFailed;
    case SETUP_ERR_NO_MEMORY: return MsgMemoryFailed;
    case SETUP_ERR_CANCELLED: return MsgCancel;
    // The message with the id 20004 is the caption "OK": this one names the failure.
    case SETUP_ERR_APP_RUNNING: return MsgAppNotClosed;
    default: return code;
    }
}

// ---- Records

int32_t ReadInstalledVersion()
{
    try {
        return ReadComponentVersion(InstallProductKey);
    } catch (const Exception&) {
        return 0;  // a "Version" of another type is no version this product wrote
    }
}

bool SaveInstallTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    uint8_t bytes[8];
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<uint8_t>(now.dwLowDateTime >> (8 * i));
        bytes[4 + i] = static_cast<uint8_t>(now.dwHighDateTime >> (8 * i));
    }
    return WriteRegBinary(HKEY_LOCAL_MACHINE, RecordsKey, "InstallTime", bytes, sizeof bytes, true);
}

void FinishInstall()
{
    try {
        WriteComponentVersion(InstallProductKey, InstallProductVersion);
    } catch (const Exception&) {
        // Not reported, like the other records.
    }
    WriteComponentValue(InstallProductKey, "OEM", InstallEdition);
    CreateDataDirs();
    SaveLanguageSetting();
    InstallCompleted = 1;
}

std::string GetDataDir()
{
    std::string maker = MakerDataDir();
    return maker.empty() ? maker : maker + "\\" + InstallProductKey;
}

void CreateDataDirs()
{
    std::string dataDir = GetDataDir();
    if (dataDir.empty())
        return;
    ForceDirectory(dataDir.c_str());
    if (!IsNtFamily())
        return;
    GrantUsersAccess((MakerDataDir() + "\\").c_str());
    GrantUsersAccess((dataDir + "\\").c_str());
}

std::string GetIniFileName()
{
    std::string dataDir = GetDataDir();
    if (dataDir.empty())
        return dataDir;
    return dataDir + "\\" + InstallProductKey + "_" + InstallEdition + ".ini";
}

void SaveLanguageSetting()
{
    const char* code = CurrentLanguageCode();
    std::string ini = GetIniFileName();
    if (code && !ini.empty())
        IniWriteStringIfChanged(ini.c_str(), "Display", "Lang", code);
}

std::string GetHelpFileName(const char* languageCode)
{
    std::string name = HelpFileBase;
    if (languageCode)
        name += languageCode;
    return name + ".chm";
}

std::string RebootBatchPath(const std::string& productKey)
{
    std::string maker = MakerDataDir();
    return maker.empty() ? maker : maker + "\\" + productKey + " Delete Files.bat";
}

bool DeleteRebootBatch(const std::string& productKey)
{
    std::string batch = RebootBatchPath(productKey);
    if (!batch.empty())
        DeleteFileA(batch.c_str());
    return true;
}
