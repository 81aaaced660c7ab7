// The one-step actions on Wine: payload files, copies, shortcuts and the Run value, their
// steps, their resumption after an interrupted run, and the factories' rules.
#include "engine/winsetupactions.h"
#include "engine/winsetuplist.h"
#include "foundation/fileutil.h"
#include "foundation/osinfo.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "../foundation/scratchkey.h"
#include "../foundation/shelllinkfacts.h"
#include "../foundation/testfolder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char Root[] = "C:\\tolvarn-engine";
const uint16_t PayloadId = 31001;  // winsetupactions_test.rc
const char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char RunValueName[] = "TolvarnEngineTest";

std::string Path(const std::string& name)
{
    return std::string(Root) + "\\" + name;
}

void MakeFile(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string PayloadBytes()
{
    uint32_t size = 0;
    const void* data = LockBinRes(PayloadId, &size);
    return data ? std::string(static_cast<const char*>(data), size) : std::string();
}

std::string RunValue()
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValueAt(HKEY_LOCAL_MACHINE, RunKey, RunValueName, &type, &bytes) || type != REG_SZ)
        return "<missing>";
    return std::string(bytes.c_str());
}

void DeleteRunValue()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, RunValueName);
        RegCloseKey(key);
    }
}

class RecordingList : public clWinSetupList {
public:
    void StepHook() override
    {
        hooks++;
        if (hooks == cancelAtHook)
            cancel = 1;
    }
    int hooks = 0;
    int cancelAtHook = 0;
};

class ActionsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { DetectOs(); }
    void SetUp() override
    {
        MakeFreshFolder(Root);
        DeleteRunValue();
    }
    void TearDown() override { DeleteRunValue(); }
};

// The four actions of an installation, in a list of their own.
void AddInstallActions(clWinSetupList& list)
{
    MakeFile(Path("source.chm"), "help file");
    list.installDir = Path("install dir");
    EXPECT_EQ(AddCopyFile(&list, Path("install dir\\Brimvault.chm"), Path("source.chm")), 0);
    EXPECT_EQ(AddCreateImage(&list, Path("install dir\\Brimvault.exe"), PayloadId), 0);
    EXPECT_EQ(
        AddShortcut(&list, Path("menu\\JYX Brimvault"), "JYX Brimvault", Path("install dir\\Brimvault.exe")),
        0);
    EXPECT_EQ(AddRegStartRun(&list, RunValueName, Path("install dir\\Brimvault.exe")), 0);
}

void ExpectInstalled(const char* what)
{
    EXPECT_EQ(FileBytes(Path("install dir\\Brimvault.chm")), "help file") << what;
    EXPECT_EQ(FileBytes(Path("install dir\\Brimvault.exe")), PayloadBytes()) << what;
    LinkFacts link = ReadLink(Path("menu\\JYX Brimvault\\JYX Brimvault.LNK"));
    EXPECT_EQ(link.loaded, S_OK) << what;
    EXPECT_EQ(link.target, Path("install dir\\Brimvault.exe")) << what;
    EXPECT_EQ(RunValue(), "\"" + Path("install dir\\Brimvault.exe") + "\"") << what;
}

}  // namespace

TEST_F(ActionsTest, EachActionFinishesInOneStepWithoutARestart)
{
    struct Case {
        const char* what;
        int32_t type;
    };
    const Case cases[] = {
        {"copy", SETUP_TYPE_COPY_FILE},
        {"payload file", SETUP_TYPE_IMAGE},
        {"shortcut", SETUP_TYPE_SHORTCUT},
        {"Run value", SETUP_TYPE_REG_START_RUN},
    };
    RecordingList list;
    AddInstallActions(list);
    ASSERT_EQ(list.Count(), 4);
    clSetupItem* item = static_cast<clSetupItem*>(list.First());
    for (const Case& c : cases) {
        EXPECT_EQ(item->typeCode, c.type) << c.what;
        EXPECT_EQ(item->targetStep, 1) << c.what;
        EXPECT_EQ(item->ExecuteStep(), 0) << c.what;
        EXPECT_EQ(item->currentStep, 1) << c.what;
        EXPECT_EQ(item->reboot, 0) << c.what;
        item = static_cast<clSetupItem*>(item->next);
    }
    ExpectInstalled("stepped one by one");

    // At step 1 nothing is done again: a file removed meanwhile stays removed.
    DeleteFileA(Path("install dir\\Brimvault.exe").c_str());
    for (item = static_cast<clSetupItem*>(list.First()); item; item = static_cast<clSetupItem*>(item->next))
        EXPECT_EQ(item->ExecuteStep(), 0);
    EXPECT_EQ(FileBytes(Path("install dir\\Brimvault.exe")), "<missing>");
}

TEST_F(ActionsTest, ARunInterruptedAfterAnyStepCompletesWhenResumedOrRunAgain)
{
    // Four items of one step: four steps and four passes, each followed by the hook.
    // A cancel after the last step (hook 7 or 8) no longer interrupts anything.
    for (int cancelAt = 1; cancelAt <= 6; cancelAt++) {
        MakeFreshFolder(Root);
        DeleteRunValue();
        RecordingList list;
        AddInstallActions(list);
        list.cancelAtHook = cancelAt;
        EXPECT_EQ(RunSetupList(&list), SETUP_ERR_CANCELLED) << "cancelled at hook " << cancelAt;
        // Resumed: the finished items are passed over, the rest is done.
        EXPECT_EQ(RunSetupList(&list), 0) << "resumed after hook " << cancelAt;
        EXPECT_EQ(list.reboot, 0);
        ExpectInstalled("resumed");

        // A new run over what the first one left (Setup started again) completes as well.
        RecordingList again;
        AddInstallActions(again);
        EXPECT_EQ(RunSetupList(&again), 0) << "run again after hook " << cancelAt;
        EXPECT_EQ(again.hooks, 8);
        ExpectInstalled("run again");
    }
}

TEST_F(ActionsTest, AFailingStepPassesItsCodeAndKeepsItsStep)
{
    MakeFile(Path("a-file"), "x");
    MakeFile(Path("source.bin"), "bytes");
    std::string longFolder = Path(std::string(200, 'f'));
    struct Case {
        const char* what;
        int32_t (*add)(clWinSetupList*, const std::string&);
        int32_t result;
    };
    const Case cases[] = {
        {"a copy whose folder is a file",
         [](clWinSetupList* l, const std::string&) {
             return AddCopyFile(l, Path("a-file\\copy.bin"), Path("source.bin"));
         },
         ERROR_FILE_EXISTS},
        {"a resource id that the module lacks",
         [](clWinSetupList* l, const std::string&) { return AddCreateImage(l, Path("never.exe"), 31999); },
         ERROR_RESOURCE_NAME_NOT_FOUND},
        {"a link path beyond MAX_PATH: the shell's HRESULT",
         [](clWinSetupList* l, const std::string& folder) {
             return AddShortcut(l, folder, std::string(70, 'n'), "C:\\x.exe");
         },
         int32_t(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE))},
    };
    for (const Case& c : cases) {
        RecordingList list;
        ASSERT_EQ(c.add(&list, longFolder), 0) << c.what;
        clSetupItem* item = static_cast<clSetupItem*>(list.First());
        EXPECT_EQ(RunSetupList(&list), c.result) << c.what;
        EXPECT_EQ(item->currentStep, 0) << c.what;
        EXPECT_EQ(list.hooks, 0) << c.what;
        EXPECT_EQ(item->ExecuteStep(), c.result) << c.what << ": tried again, fails again";
    }
    EXPECT_EQ(FileBytes(Path("never.exe")), "<missing>") << "no file for a missing resource";
}

TEST_F(ActionsTest, CopyOfAMissingSourceOrAFolderCountsAsDone)
{
    CreateDirectoryA(Path("a-folder").c_str(), nullptr);
    MakeFile(Path("source.bin"), "new bytes");
    MakeFile(Path("read-only.bin"), "old bytes, longer than the new ones");
    SetFileAttributesA(Path("read-only.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    struct Case {
        const char* what;
        std::string source;
        std::string destination;
        std::string destinationBytes;
    };
    const Case cases[] = {
        {"a missing source", Path("missing.bin"), Path("out\\missing.bin"), "<missing>"},
        {"a folder as source", Path("a-folder"), Path("out\\a-folder"), "<missing>"},
        {"a read-only destination is overwritten", Path("source.bin"), Path("read-only.bin"), "new bytes"},
    };
    for (const Case& c : cases) {
        clWinSetupList list;
        ASSERT_EQ(AddCopyFile(&list, c.destination, c.source), 0);
        EXPECT_EQ(RunSetupList(&list), 0) << c.what;
        EXPECT_EQ(static_cast<clSetupItem*>(list.First())->currentStep, 1) << c.what;
        EXPECT_EQ(FileBytes(c.destination), c.destinationBytes) << c.what;
    }
}

TEST_F(ActionsTest, PayloadFileIsTheResourceByteForByte)
{
    // An existing longer file is replaced whole.
    CreateDirectoryA(Path("app").c_str(), nullptr);
    MakeFile(Path("app\\Brimvault.exe"), std::string(4096, 'x'));
    clWinSetupList list;
    ASSERT_EQ(AddCreateImage(&list, Path("app\\Brimvault.exe"), PayloadId), 0);
    ASSERT_EQ(AddCreateImage(&list, Path("new folder\\deeper\\Uninstall.exe"), PayloadId), 0);
    EXPECT_EQ(RunSetupList(&list), 0);
    ASSERT_FALSE(PayloadBytes().empty());
    EXPECT_EQ(FileBytes(Path("app\\Brimvault.exe")), PayloadBytes());
    EXPECT_EQ(FileBytes(Path("new folder\\deeper\\Uninstall.exe")), PayloadBytes()) << "its folders are made";
}

TEST_F(ActionsTest, ShortcutReadsBack)
{
    clWinSetupList list;
    ASSERT_EQ(
        AddShortcut(&list, Path("menu\\JYX Brimvault"), "Uninstall", Path("install dir\\Uninstall.exe")), 0);
    // Same folder and link name, another target: a duplicate, the first one stays.
    ASSERT_EQ(AddShortcut(&list, Path("menu\\JYX Brimvault"), "Uninstall", "C:\\other.exe"), 0);
    ASSERT_EQ(AddShortcut(&list, Path("menu\\JYX Brimvault"), "JYX Brimvault", "C:\\Brimvault.exe"), 0);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(RunSetupList(&list), 0);

    struct Case {
        const char* link;
        std::string target;
        std::string workingDir;
    };
    const Case cases[] = {
        {"Uninstall", Path("install dir\\Uninstall.exe"), Path("install dir")},
        {"JYX Brimvault", "C:\\Brimvault.exe", "C:\\"},
    };
    for (const Case& c : cases) {
        LinkFacts link = ReadLink(Path("menu\\JYX Brimvault\\") + c.link + ".LNK");
        ASSERT_EQ(link.loaded, S_OK) << c.link;
        EXPECT_EQ(link.target, c.target) << c.link;
        EXPECT_EQ(link.arguments, "") << c.link;
        EXPECT_EQ(link.workingDir, c.workingDir) << c.link;
        EXPECT_EQ(link.storedShowCommand, 0u) << c.link;
    }
}

TEST_F(ActionsTest, RunValueIsTheQuotedPathUnderTheMachine)
{
    struct Case {
        const char* what;
        std::string path;
        std::string command;
    };
    const Case cases[] = {
        {"a path with blanks", "C:\\Program Files\\JyxBrimvault\\Brimvault.exe",
         "\"C:\\Program Files\\JyxBrimvault\\Brimvault.exe\""},
        {"a path without blanks", "C:\\App\\Brimvault.exe", "\"C:\\App\\Brimvault.exe\""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(QuotedCommand(c.path), c.command) << c.what;
        clWinSetupList list;
        ASSERT_EQ(AddRegStartRun(&list, RunValueName, c.path), 0);
        EXPECT_EQ(RunSetupList(&list), 0) << c.what;
        EXPECT_EQ(RunValue(), c.command) << c.what;
    }

    // A value that cannot be written does not fail the item.
    std::string tooLong(20000, 'v');
    clWinSetupList list;
    ASSERT_EQ(AddRegStartRun(&list, tooLong, "C:\\App\\Brimvault.exe"), 0);
    EXPECT_EQ(RunSetupList(&list), 0);
    EXPECT_EQ(static_cast<clSetupItem*>(list.First())->currentStep, 1);
    DWORD type = 0;
    std::string bytes;
    EXPECT_FALSE(ReadValueAt(HKEY_LOCAL_MACHINE, RunKey, tooLong.c_str(), &type, &bytes))
        << "the registry refused the value";
}

// ---- Factories

namespace {

const char* ProgramsHere()
{
    return "C:\\Menu\\Programs";
}
const char* DesktopHere()
{
    return "C:\\Users\\Public\\Desktop";
}
const char* NoFolder()
{
    return nullptr;
}
std::string SetupHere()
{
    return "D:\\Setup Media\\";
}
std::string NoSetupFolder()
{
    return std::string();
}

// Puts the folder lookups of a case in place for its lifetime.
class FolderLookups {
public:
    explicit FolderLookups(const SetupFolderLookups& lookups) : saved_(SetupFolders)
    {
        SetupFolders = lookups;
    }
    ~FolderLookups() { SetupFolders = saved_; }

private:
    SetupFolderLookups saved_;
};

const clWinSetupCreateShortcut* OnlyShortcut(clWinSetupList& list)
{
    EXPECT_EQ(list.Count(), 1);
    return static_cast<const clWinSetupCreateShortcut*>(list.First());
}

}  // namespace

TEST(ActionFactories, FoldersAndPaths)
{
    FolderLookups here({ProgramsHere, DesktopHere, SetupHere});
    {
        clWinSetupList list;
        EXPECT_EQ(AddProgramsShortcut(&list, "", "JYX Brimvault", "Uninstall", "C:\\U.exe"), 0);
        const clWinSetupCreateShortcut* item = OnlyShortcut(list);
        EXPECT_EQ(item->folder, "C:\\Menu\\Programs\\JYX Brimvault");
        EXPECT_EQ(item->linkName, "Uninstall");
        EXPECT_EQ(item->targetPath, "C:\\U.exe");
    }
    {
        clWinSetupList list;
        EXPECT_EQ(AddProgramsShortcut(&list, "DORQ", "JYX Brimvault", "JYX Brimvault", "C:\\B.exe"), 0);
        EXPECT_EQ(OnlyShortcut(list)->folder, "C:\\Menu\\Programs\\DORQ\\JYX Brimvault");
    }
    {
        clWinSetupList list;
        EXPECT_EQ(AddDesktopShortcut(&list, "JYX Brimvault", "C:\\B.exe"), 0);
        EXPECT_EQ(OnlyShortcut(list)->folder, "C:\\Users\\Public\\Desktop");
    }
    {
        clWinSetupList list;
        list.installDir = "C:\\Program Files\\JyxBrimvault";
        EXPECT_EQ(AddCopyFromSetupDir(&list, "BrimvaultENG.chm"), 0);
        ASSERT_EQ(list.Count(), 1);
        const clWinSetupCopyFile* item = static_cast<const clWinSetupCopyFile*>(list.First());
        EXPECT_EQ(item->sourcePath, "D:\\Setup Media\\BrimvaultENG.chm");
        EXPECT_EQ(item->destinationPath, "C:\\Program Files\\JyxBrimvault\\BrimvaultENG.chm");
    }
}

TEST(ActionFactories, EmptyKeysAndMissingFolders)
{
    struct Case {
        const char* what;
        SetupFolderLookups folders;
        int32_t (*add)(clWinSetupList*);
        int32_t result;
        int added;
    };
    const SetupFolderLookups all = {ProgramsHere, DesktopHere, SetupHere};
    const SetupFolderLookups none = {NoFolder, NoFolder, NoSetupFolder};
    const Case cases[] = {
        {"an empty caption", all, [](clWinSetupList* l) { return AddStopApp(l, ""); }, 0, 0},
        {"an empty payload path", all, [](clWinSetupList* l) { return AddCreateImage(l, "", 21401); }, 0, 0},
        {"an empty file name beside Setup", all, [](clWinSetupList* l) { return AddCopyFromSetupDir(l, ""); },
         0, 0},
        {"a copy keeps its empty paths for the run", all,
         [](clWinSetupList* l) { return AddCopyFile(l, "", ""); }, 0, 1},
        {"no programs folder", none,
         [](clWinSetupList* l) { return AddProgramsShortcut(l, "", "JYX Brimvault", "U", "C:\\U.exe"); },
         ERROR_PATH_NOT_FOUND, 0},
        {"no desktop folder", none,
         [](clWinSetupList* l) { return AddDesktopShortcut(l, "JYX Brimvault", "C:\\B.exe"); },
         ERROR_PATH_NOT_FOUND, 0},
        {"no folder of Setup", none,
         [](clWinSetupList* l) { return AddCopyFromSetupDir(l, "Brimvault.chm"); }, ERROR_PATH_NOT_FOUND, 0},
    };
    for (const Case& c : cases) {
        FolderLookups lookups(c.folders);
        clWinSetupList list;
        EXPECT_EQ(c.add(&list), c.result) << c.what;
        EXPECT_EQ(list.Count(), c.added) << c.what;
    }
}

TEST(ActionFactories, DuplicatesByTypeAndKey)
{
    clWinSetupList list;
    EXPECT_EQ(AddCopyFile(&list, "C:\\I\\a.chm", "D:\\a.chm"), 0);
    EXPECT_EQ(AddCopyFile(&list, "C:\\I\\a.chm", "E:\\a.chm"), 0);  // same destination
    EXPECT_EQ(AddCreateImage(&list, "C:\\I\\a.chm", 21401), 0);     // another type
    EXPECT_EQ(AddCreateImage(&list, "C:\\I\\a.chm", 21400), 0);     // same file
    EXPECT_EQ(AddRegStartRun(&list, "JyxBrimvault", "C:\\I\\B.exe"), 0);
    EXPECT_EQ(AddRegStartRun(&list, "JyxBrimvault", "C:\\J\\B.exe"), 0);  // same value name
    EXPECT_EQ(AddRegStartRun(&list, "jyxbrimvault", "C:\\J\\B.exe"), 0);  // case matters
    ASSERT_EQ(list.Count(), 4);
    const clWinSetupCopyFile* copy = static_cast<const clWinSetupCopyFile*>(list.First());
    EXPECT_EQ(copy->sourcePath, "D:\\a.chm") << "the first one stays";
    const clWinSetupCreateImage* image = static_cast<const clWinSetupCreateImage*>(copy->next);
    EXPECT_EQ(image->resourceId, 21401);
}

TEST(ActionFactories, SetupFolderIsTheExecutablesFolder)
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir = SetupExeDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '\\');
    EXPECT_EQ(std::string(path).substr(0, dir.size()), dir);
    EXPECT_EQ(std::string(path).find('\\', dir.size()), std::string::npos);
}
