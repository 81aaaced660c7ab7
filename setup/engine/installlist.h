// The product's install list and its builders, the product's records (registry values, data
// folder, ini file) written after a successful run, and the clean-up before a run.
#pragma once

#include "engine/winsetuplist.h"

#include <stdint.h>
#include <string>

// The product.
extern const char InstallProductKey[];             // "JyxBrimvault": records, users' value name, entry
enum : int32_t { InstallProductVersion = 20402 };  // 2.04.02
extern const char InstallEdition[];                // "ZEMK", recorded as "OEM"
extern const char MainProgramFile[];               // "Brimvault.exe"
extern const char ProductLinkName[];               // "JYX Brimvault": Start-menu folder and shortcuts

// "BINRES" resources of the payload.
enum : uint16_t {
    UninstallerResource = 21400,
    MainProgramResource = 21401,
    ProxyDriverX86Resource = 21410,
    ProxyDriverX64Resource = 21412,
    CacheDriverX86Resource = 21414,
    CacheDriverX64Resource = 21415,
};

// Where the install list reports its progress: the wizard's progress page.
class InstallProgressView {
public:
    virtual ~InstallProgressView() = default;
    // The run's completion in whole percent; the page also lets window messages be dispatched.
    virtual void SetProgress(int percent) = 0;
};

// The product's list.
class clInstallList : public clWinSetupList {
public:
    // Reports the progress, truncated to whole percent, to the view; nothing at all without one.
    void StepHook() override;

    std::string mainProgramPath;              // set by AddProductItems
    InstallProgressView* progress = nullptr;  // set by the progress page that runs the list
};

// Set to 1 by FinishInstall; the program's exit code is 0 once it is set.
extern uint8_t InstallCompleted;

// The program entry's hook for its command line; no option exists, so it does nothing.
void SilentInstallHook(const char* commandLine);

// Fills the list for the install folder (taken as it comes): 0 or the first builder's error;
// 3 for no folder at all.
int32_t BuildInstallList(clInstallList* list, const std::string& installDir);
// The builders, in run order; each returns 0 or the first error of the items it adds.
int32_t AddProductItems(clInstallList* list);
int32_t AddUninstallItems(clInstallList* list);
int32_t AddHelpFileItems(clInstallList* list);
int32_t AddHelpFileItem(clInstallList* list, const char* languageCode);
int32_t AddDriverItems(clInstallList* list);
int32_t AddProxyDriverItem(clInstallList* list);
int32_t AddOldDriverRemovalItems(clInstallList* list);
int32_t AddCacheDriverItem(clInstallList* list);

// The message id shown for a run's result: 20001, 20002, 20003 and 20004 become the messages
// that name them; any other code (0, Win32 errors) is returned as it is.
int32_t MapInstallError(int32_t code);

// The installed product's version code; 0 when none is recorded, also for a "Version" that
// is not a number.
int32_t ReadInstalledVersion();
// Records the time of the installation (UTC FILETIME); false when it cannot be written.
bool SaveInstallTime();
// After a successful run: the version and edition records, the data folder, the language;
// then InstallCompleted. Failed writes are not reported.
void FinishInstall();

// "<application data>\DORQ\JyxBrimvault": the common folder on the NT family, else the
// user's own. The paths below are empty when that folder is unknown, and nothing is then
// created, written or deleted.
std::string GetDataDir();
// The data folder, on the NT family with full access for the users group on it and on
// its parent "DORQ".
void CreateDataDirs();
// "<data folder>\JyxBrimvault_ZEMK.ini".
std::string GetIniFileName();
// Writes the current language's code as [Display] Lang when it differs from the stored one.
void SaveLanguageSetting();
// "Brimvault.chm", or "Brimvault<code>.chm" for a language.
std::string GetHelpFileName(const char* languageCode);
// "<application data>\DORQ\<productKey> Delete Files.bat", left by an earlier uninstallation.
std::string RebootBatchPath(const std::string& productKey);
// Deletes that batch file; always true.
bool DeleteRebootBatch(const std::string& productKey);

// The lookups of the builders and records; a test may put its own in place.
struct InstallLookups {
    uint32_t (*binResSize)(uint16_t id);    // 0 when missing
    const char* (*shellFolder)(int csidl);  // null when there is no such folder
};
extern InstallLookups InstallSystem;
