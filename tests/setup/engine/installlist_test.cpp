// The product's install list as the builders make it for each system, the error mapping, the
// progress hook, and the product's records, data folder and ini file.
#include "engine/cachedriver.h"
#include "engine/driverservice.h"
#include "engine/installlist.h"
#include "engine/reguninstall.h"
#include "engine/stopapp.h"
#include "engine/winsetupactions.h"
#include "foundation/msgcatalogue.h"
#include "foundation/osinfo.h"

#include <windows.h>

#include "../foundation/scratchkey.h"
#include "../foundation/testfolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

const char Dir[] = "C:\\Brim";
const char Programs[] = "P:\\Programs";
const char Desktop[] = "D:\\Desktop";
const char SetupDir[] = "S:\\Setup\\";
const char* const ShippedCodes[] = {"ENG", "CHT", "CHS", "JPN", "KOR", "FRA", "DEU", "ESN", "RUS"};

const char* FakePrograms()
{
    return Programs;
}
const char* FakeDesktop()
{
    return Desktop;
}
std::string FakeSetupDir()
{
    return SetupDir;
}

// Only the English message file of the shipped ones.
const void* EnglishOnly(uint16_t id, uint32_t* size)
{
    if (id == 21000)
        return LockBinRes(id, size);
    *size = 0;
    return nullptr;
}

// One line per item: its class, key, target and what else decides the run.
std::string Describe(const clSetupItem* item)
{
    std::string target = " " + std::to_string(item->targetStep);
    if (auto* i = dynamic_cast<const clWinSetupStopApp*>(item))
        return "stop '" + i->caption + "'" + target;
    if (auto* i = dynamic_cast<const clWinSetupCreateImage*>(item))
        return "image " + i->filePath + " " + std::to_string(i->resourceId) + target;
    if (auto* i = dynamic_cast<const clWinSetupRegUninstall*>(item))
        return "entry " + i->productKey + " " + i->uninstallCommand + " " + i->iconPath + target;
    if (auto* i = dynamic_cast<const clWinSetupCreateShortcut*>(item))
        return "link " + i->folder + "|" + i->linkName + " -> " + i->targetPath + target;
    if (auto* i = dynamic_cast<const clWinSetupCopyFile*>(item))
        return "copy " + i->sourcePath + " -> " + i->destinationPath + target;
    if (auto* i = dynamic_cast<const clVornDriverInstall*>(item))
        return "cache " + i->componentKey + " " + std::to_string(i->version) + " " +
               std::to_string(i->resourceId) + " " + i->usedValueName + target;
    if (auto* i = dynamic_cast<const clWinSetupInstallSys*>(item))
        return "sys " + i->componentKey + " " + std::to_string(i->version) + " " +
               std::to_string(i->resourceId) + " start " + std::to_string(i->startType) + " " +
               i->loadOrderGroup + target;
    if (auto* i = dynamic_cast<const clVornOldDriverUninstall*>(item))
        return "old " + i->componentName + " " + i->usedValueName + target;
    if (auto* i = dynamic_cast<const clWinSetupRegStartRun*>(item))
        return "run " + i->valueName + " " + i->programPath + target;
    return "unknown";
}

// What the progress page adds after the builders.
int32_t AddPageItems(clInstallList* list, bool desktop)
{
    int32_t result = desktop ? AddDesktopShortcut(list, ProductLinkName, list->mainProgramPath) : 0;
    return result ? result : AddRegStartRun(list, InstallProductKey, list->mainProgramPath);
}

std::vector<std::string> Lines(const clInstallList& list, int32_t* targets)
{
    std::vector<std::string> lines;
    *targets = 0;
    for (clDorqObject* node = list.First(); node; node = node->next) {
        lines.push_back(Describe(static_cast<clSetupItem*>(node)));
        *targets += static_cast<clSetupItem*>(node)->targetStep;
    }
    return lines;
}

class InstallListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedOs_ = OsInfo;
        savedFolders_ = SetupFolders;
        savedLookups_ = InstallSystem;
        SetupFolders = {FakePrograms, FakeDesktop, FakeSetupDir};
    }
    void TearDown() override
    {
        OsInfo = savedOs_;
        SetupFolders = savedFolders_;
        InstallSystem = savedLookups_;
        ResetMsgCatalogue();
    }
    static void SetOs(int32_t type, int32_t arch) { OsInfo = {type, arch, false}; }
    static void LoadLanguages(int count)
    {
        ResetMsgCatalogue();
        if (count == 9)
            ASSERT_TRUE(CreateMsgCatalogue());
        else if (count == 1)
            ASSERT_TRUE(CreateMsgCatalogueFrom(EnglishOnly, "ENG"));
    }

private:
    OsInfoRecord savedOs_;
    SetupFolderLookups savedFolders_;
    InstallLookups savedLookups_;
};

}  // namespace

TEST_F(InstallListTest, CompositionForEachSystem)
{
    const std::string app = Dir + "\\Brimvault.exe"s;
    const std::string uninstaller = Dir + "\\Uninstall.exe"s;
    const std::string group = Programs + "\\JYX Brimvault"s;
    struct Case {
        const char* what;
        int32_t os;
        int32_t arch;
        int languages;
        bool desktop;
        int32_t result;
        int32_t targets;  // -1: not checked
    };
    const Case cases[] = {
        {"Windows 7 x64, nine languages", OS_WIN7, OS_ARCH_X64, 9, false, 0, 64},
        {"with the desktop shortcut", OS_WIN7, OS_ARCH_X64, 9, true, 0, 65},
        {"Windows 8: no uninstaller shortcut", OS_WIN8, OS_ARCH_X64, 9, false, 0, 63},
        {"Windows 10 x86, one language", OS_WIN10, OS_ARCH_X86, 1, false, 0, -1},
        {"XP x86 without a catalogue", OS_WINXP, OS_ARCH_X86, 0, true, 0, -1},
        {"Windows 98: no driver", OS_WIN98, OS_ARCH_X86, 9, false, 0, -1},
        {"Itanium: no proxy driver, and no cache driver build", OS_WIN7, OS_ARCH_IA64, 1, false,
         SETUP_ERR_NO_MEMORY, -1},
    };
    for (const Case& c : cases) {
        SetOs(c.os, c.arch);
        LoadLanguages(c.languages);
        bool x64 = c.arch == OS_ARCH_X64;
        bool nt = c.os >= OS_WINNT;

        std::vector<std::string> expected = {
            "stop 'JYX Brimvault ' 20",
            "image " + uninstaller + " 21400 1",
            "entry JyxBrimvault " + uninstaller + " " + app + " 1",
        };
        if (c.os < OS_WIN8)
            expected.push_back("link " + group + "|Uninstall -> " + uninstaller + " 1");
        expected.push_back("image " + app + " 21401 1");
        expected.push_back("link " + group + "|JYX Brimvault -> " + app + " 1");
        std::vector<std::string> help = {"Brimvault.chm"};
        for (int i = 0; i < c.languages; ++i)
            help.push_back("Brimvault"s + ShippedCodes[i] + ".chm");
        for (const std::string& name : help)
            expected.push_back("copy "s + SetupDir + name + " -> " + Dir + "\\" + name + " 1");
        if (nt) {
            if (c.arch != OS_ARCH_IA64)
                expected.push_back("sys SABLINEX 103 "s + (x64 ? "21412" : "21410") + " start 1 Base 11");
            expected.push_back("old DORQVORN JyxBrimvault 5");
            expected.push_back("old DORQVORNZEMK JyxBrimvault 5");
            if (c.arch != OS_ARCH_IA64)
                expected.push_back("cache DORQPELKZEMK 204 "s + (x64 ? "21415" : "21414") +
                                   " JyxBrimvault 7");
        }
        if (c.result == 0) {
            if (c.desktop)
                expected.push_back("link "s + Desktop + "|JYX Brimvault -> " + app + " 1");
            expected.push_back("run JyxBrimvault " + app + " 1");
        }

        clInstallList list;
        EXPECT_EQ(list.cancel, 1);
        int32_t result = BuildInstallList(&list, Dir);
        EXPECT_EQ(result, c.result) << c.what;
        if (result == 0)
            EXPECT_EQ(AddPageItems(&list, c.desktop), 0) << c.what;
        int32_t targets = 0;
        EXPECT_EQ(Lines(list, &targets), expected) << c.what;
        if (c.targets >= 0)
            EXPECT_EQ(targets, c.targets) << c.what;
        EXPECT_EQ(list.mainProgramPath, app) << c.what;
        EXPECT_EQ(list.productKey, "JyxBrimvault") << c.what;
        EXPECT_EQ(list.cancel, 0) << c.what << ": a filled list is ready to run";

        // The same build again finds every item there already.
        int count = list.Count();
        if (BuildInstallList(&list, Dir) == 0)
            AddPageItems(&list, c.desktop);
        EXPECT_EQ(list.Count(), count) << c.what << ": a second build adds nothing";
    }
}

TEST_F(InstallListTest, NoInstallFolderFailsBeforeAnyItem)
{
    // As for a missing Start-menu or desktop folder: error 3 while the list is built, so the
    // run never starts.
    SetOs(OS_WIN7, OS_ARCH_X64);
    clInstallList list;
    EXPECT_EQ(BuildInstallList(&list, ""), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(InstallListTest, EstimatedSizeOfTheUninstallEntry)
{
    static uint32_t sizes[2];  // the main program's, the uninstaller's
    InstallSystem.binResSize = [](uint16_t id) -> uint32_t {
        return id == MainProgramResource ? sizes[0] : id == UninstallerResource ? sizes[1] : 0;
    };
    struct Case {
        const char* what;
        uint32_t program, uninstaller;
        int32_t kib;
    };
    const Case cases[] = {
        {"whole KiB, truncated", 1536, 1535, 2},
        {"no resources", 0, 0, 0},
        {"the sum wraps at 4 GiB as 32-bit bytes", 0xFFFFFC00u, 0x800, 1},
        {"the largest sum", 0xFFFFFFFFu, 0, 0x3FFFFF},
    };
    SetOs(OS_WIN7, OS_ARCH_X86);
    for (const Case& c : cases) {
        sizes[0] = c.program;
        sizes[1] = c.uninstaller;
        clInstallList list;
        list.installDir = Dir;
        ASSERT_EQ(AddUninstallItems(&list), 0);
        clWinSetupRegUninstall* entry = dynamic_cast<clWinSetupRegUninstall*>(list.First()->next);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->estimatedSize, c.kib) << c.what;
    }
}

TEST(InstallErrors, MessageShownForEachResult)
{
    const int32_t cases[][2] = {
        {0, 0},         {20001, 20010},  // "Initialization failed."
        {20002, 20011},                  // "Memory allocation failed."
        {20003, 20005}, {20004, 20044},  // a running application stayed open (20004 itself is "OK")
        {5, 5},                          // Win32 codes as they are
        {20005, 20005}, {static_cast<int32_t>(0x80070005), static_cast<int32_t>(0x80070005)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MapInstallError(c[0]), c[1]) << c[0];
}

TEST(InstallErrors, TheRunningAppMessageIsInEveryLanguage)
{
    ResetMsgCatalogue();
    ASSERT_TRUE(CreateMsgCatalogue());
    int languages = 0;
    for (clDorqObject* node = LanguageList->First(); node; node = node->next, ++languages) {
        clMsgObject* language = static_cast<clMsgObject*>(node);
        const wchar_t* text = language->GetText(MapInstallError(SETUP_ERR_APP_RUNNING));
        ASSERT_NE(text, nullptr) << language->code;
        EXPECT_GT(wcslen(text), wcslen(language->GetText(20004))) << language->code;
    }
    EXPECT_EQ(languages, 9);
    ResetMsgCatalogue();
}

namespace {

class RecordingView : public InstallProgressView {
public:
    void SetProgress(int percent) override { calls.push_back(percent); }
    std::vector<int> calls;
};

}  // namespace

TEST(InstallListHook, ReportsWholePercentOrNothing)
{
    clInstallList list;
    clSetupItem* item = new clSetupItem;
    item->targetStep = 1000;
    AddSetupItem(&list, item);
    RecordingView view;
    list.progress = &view;
    const int32_t steps[][2] = {{0, 0}, {1, 0}, {9, 0}, {10, 1}, {999, 99}, {1000, 100}};
    for (const auto& s : steps) {
        item->currentStep = s[0];
        list.StepHook();
        EXPECT_EQ(view.calls.back(), s[1]) << s[0] << " of 1000: truncated, never rounded";
    }

    // Without a view the hook leaves even pending window messages alone.
    list.progress = nullptr;
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);  // this thread gets its queue
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP + 7, 0, 0));
    list.StepHook();
    EXPECT_TRUE(PeekMessageA(&message, nullptr, WM_APP + 7, WM_APP + 7, PM_REMOVE));
}

namespace {

std::string tempRoot;
const char* TempFolders(int csidl)
{
    static std::string path;
    path = tempRoot + (csidl == CsidlCommonAppData ? "\\common"
                       : csidl == CsidlAppData     ? "\\user"
                                                   : "\\other");
    return path.c_str();
}
const char* NoFolders(int)
{
    return nullptr;
}

const char RecordsKey[] = "Software\\DORQ\\JyxBrimvault";

FILETIME LastWrite(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

}  // namespace

TEST_F(InstallListTest, FoldersAndFileNames)
{
    tempRoot = "T:";
    InstallSystem.shellFolder = TempFolders;
    SetOs(OS_WIN7, OS_ARCH_X64);
    EXPECT_EQ(GetDataDir(), "T:\\common\\DORQ\\JyxBrimvault");
    EXPECT_EQ(GetIniFileName(), "T:\\common\\DORQ\\JyxBrimvault\\JyxBrimvault_ZEMK.ini");
    EXPECT_EQ(RebootBatchPath("JyxBrimvault"), "T:\\common\\DORQ\\JyxBrimvault Delete Files.bat");
    SetOs(OS_WINME, OS_ARCH_X86);
    EXPECT_EQ(GetDataDir(), "T:\\user\\DORQ\\JyxBrimvault") << "the user's own folder outside NT";
    EXPECT_EQ(RebootBatchPath("Other"), "T:\\user\\DORQ\\Other Delete Files.bat");

    InstallSystem.shellFolder = NoFolders;
    EXPECT_EQ(GetDataDir(), "") << "no folder: no relative path either";
    EXPECT_EQ(GetIniFileName(), "");
    EXPECT_EQ(RebootBatchPath("JyxBrimvault"), "");
    EXPECT_TRUE(DeleteRebootBatch("JyxBrimvault"));

    EXPECT_EQ(GetHelpFileName(nullptr), "Brimvault.chm");
    EXPECT_EQ(GetHelpFileName("ENG"), "BrimvaultENG.chm");
}

TEST_F(InstallListTest, RecordsAfterASuccessfulRun)
{
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    tempRoot = std::string(temp) + "tolvarn-records";
    MakeFreshFolder(tempRoot);
    InstallSystem.shellFolder = TempFolders;
    SetOs(OS_WIN7, OS_ARCH_X64);
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, RecordsKey);
    ResetMsgCatalogue();
    InstallCompleted = 0;

    // The batch file of an earlier uninstallation goes; nothing else there does.
    CreateDirectoryA((tempRoot + "\\common").c_str(), nullptr);
    CreateDirectoryA((tempRoot + "\\common\\DORQ").c_str(), nullptr);
    WriteWholeFile(RebootBatchPath("JyxBrimvault").c_str(), "del x", 5);
    WriteWholeFile((tempRoot + "\\common\\DORQ\\keep.txt").c_str(), "k", 1);
    EXPECT_TRUE(DeleteRebootBatch("JyxBrimvault"));
    EXPECT_EQ(FileBytes(RebootBatchPath("JyxBrimvault")), "<missing>");
    EXPECT_EQ(FileBytes(tempRoot + "\\common\\DORQ\\keep.txt"), "k");

    // Without a catalogue there is no language to store.
    EXPECT_EQ(ReadInstalledVersion(), 0) << "nothing installed";
    FinishInstall();
    EXPECT_EQ(InstallCompleted, 1);
    EXPECT_EQ(ReadInstalledVersion(), 20402);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(ReadValueAt(HKEY_LOCAL_MACHINE, RecordsKey, "OEM", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, "ZEMK\0"s);
    EXPECT_NE(GetFileAttributesA(GetDataDir().c_str()), INVALID_FILE_ATTRIBUTES) << "data folder made";
    EXPECT_EQ(FileBytes(GetIniFileName()), "<missing>");

    // With one: "Lang" is written, and written again only when it changed.
    ASSERT_TRUE(CreateMsgCatalogue());
    ASSERT_TRUE(SelectLanguageByCode("ENG"));
    SaveLanguageSetting();
    EXPECT_NE(FileBytes(GetIniFileName()).find("Lang=ENG"), std::string::npos);
    FILETIME written = LastWrite(GetIniFileName());
    Sleep(50);
    SaveLanguageSetting();
    FILETIME again = LastWrite(GetIniFileName());
    EXPECT_EQ(CompareFileTime(&written, &again), 0) << "unchanged: not written";
    ASSERT_TRUE(SelectLanguageByCode("DEU"));
    SaveLanguageSetting();
    EXPECT_NE(FileBytes(GetIniFileName()).find("Lang=DEU"), std::string::npos);

    // The install time: a FILETIME of now, low half first.
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    ASSERT_TRUE(SaveInstallTime());
    ASSERT_TRUE(ReadValueAt(HKEY_LOCAL_MACHINE, RecordsKey, "InstallTime", &type, &bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(bytes.size(), 8u);
    uint64_t stored = 0;
    for (int i = 7; i >= 0; --i)
        stored = (stored << 8) | static_cast<uint8_t>(bytes[i]);
    uint64_t then = (uint64_t(before.dwHighDateTime) << 32) | before.dwLowDateTime;
    EXPECT_GE(stored, then);
    EXPECT_LT(stored - then, 600000000ull) << "within a minute";

    // A "Version" that is not a number, or none at all, is no installed version.
    WriteValueAt(HKEY_LOCAL_MACHINE, RecordsKey, "Version", REG_SZ, "20402\0"s);
    EXPECT_EQ(ReadInstalledVersion(), 0);
    WriteValueAt(HKEY_LOCAL_MACHINE, RecordsKey, "Version", REG_BINARY, "\x01\x02"s);
    EXPECT_EQ(ReadInstalledVersion(), 0);

    RegDeleteTreeA(HKEY_LOCAL_MACHINE, RecordsKey);
    RemoveTree(tempRoot);
}
