// The whole installation on Wine, as the progress page runs it, with Setup's own payload and
// message files, in a prefix made for this run (fresh-prefix.sh): the first run over a machine
// with the older filter driver, the updates over it (a second run with the application running,
// an older and a newer recorded cache driver), the progress reported, a full installation in
// the warm prefix timed, and a cancel after each item followed by a run that completes.
#include "engine/driverservice.h"
#include "engine/installlist.h"
#include "engine/winsetupactions.h"
#include "foundation/fileutil.h"
#include "foundation/filterlistutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/osinfo.h"
#include "foundation/serviceutil.h"

#include <windows.h>
#include <objbase.h>
#include <setupapi.h>
#include <shlobj.h>

#include "../foundation/scratchkey.h"
#include "../foundation/testfolder.h"
#include "wine_install_prefix.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

const char HelpDir[] = "C:\\brimvault-media\\";  // where Setup.exe would lie, with two help files
const char MakerKey[] = "Software\\DORQ";
const char RecordsKey[] = "Software\\DORQ\\JyxBrimvault";
const char EntryKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\JyxBrimvault";
const char RunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char Proxy[] = "SABLINEX";
const char Cache[] = "DORQPELKZEMK";

std::string HelpSourceDir()
{
    return HelpDir;
}

std::string Resource(uint16_t id)
{
    uint32_t size = 0;
    const void* data = LockBinRes(id, &size);
    return data ? std::string(static_cast<const char*>(data), size) : "<no resource>";
}

std::string Dword(DWORD value)
{
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

// The value's bytes, "<missing>", or its bytes after "type N:" when it is not of type want.
std::string Value(const std::string& key, const char* name, DWORD want)
{
    DWORD type = 0;
    std::string bytes;
    if (!ReadValueAt(HKEY_LOCAL_MACHINE, key, name, &type, &bytes))
        return "<missing>";
    return type == want ? bytes : "type " + std::to_string(type) + ":" + bytes;
}

std::string Text(const char* text)
{
    return std::string(text) + '\0';
}

std::string ShellFolder(int csidl)
{
    const char* folder = GetShellFolder(csidl);
    return folder ? folder : "<none>";
}

std::string LinkTarget(const std::string& path)
{
    std::string target = "<unreadable>";
    IShellLinkA* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link))))
        return target;
    IPersistFile* file = nullptr;
    std::wstring wide(path.begin(), path.end());
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        char text[MAX_PATH] = {};
        if (SUCCEEDED(file->Load(wide.c_str(), STGM_READ)) &&
            SUCCEEDED(link->GetPath(text, MAX_PATH, nullptr, 0)))
            target = text;
        file->Release();
    }
    link->Release();
    return target;
}

bool Exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A multi-string with its NULs shown as "|".
std::string Listed(std::string multiSz)
{
    for (char& c : multiSz)
        if (c == '\0')
            c = '|';
    return multiSz;
}

// Whether the product is recorded as a user of the component.
bool IsUser(const std::string& component)
{
    std::string user = Value("Software\\DORQ\\" + component + "\\Used", "JyxBrimvault", REG_SZ);
    return user != "<missing>" && user.rfind("type ", 0) == std::string::npos;
}

void WaitUntilGone(const char* name)
{
    for (int i = 0; i < 200 && ServiceExists(name); ++i)
        Sleep(25);
}

// The disk class key's "UpperFilters", or "<missing>".
std::string UpperFilters()
{
    HKEY key = OpenClassKey(GetDiskClassGuid(), true);
    if (key == static_cast<HKEY>(INVALID_HANDLE_VALUE))
        return "<no class key>";
    char data[512];
    DWORD size = sizeof data;
    LONG result =
        RegQueryValueExA(key, "UpperFilters", nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::string(data, size) : "<missing>";
}

void SetUpperFilters(const std::string& list)
{
    HKEY key = OpenClassKey(GetDiskClassGuid(), false);
    ASSERT_NE(key, static_cast<HKEY>(INVALID_HANDLE_VALUE));
    RegSetValueExA(key, "UpperFilters", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list.data()),
                   static_cast<DWORD>(list.size()));
    RegCloseKey(key);
}

// The list as the progress page makes it, with a cancel after the item at cancelAfter (from 1)
// has finished, and the percentages it reported.
class TestInstallList : public clInstallList, public InstallProgressView {
public:
    TestInstallList() { progress = this; }
    void SetProgress(int percent) override { percents.push_back(percent); }
    void StepHook() override
    {
        clInstallList::StepHook();
        std::string relative = MakeProxyImagePathAbsolute();
        if (!relative.empty())
            proxyImagePath = relative;
        clDorqObject* node = First();
        for (int i = 1; node && i < cancelAfter; ++i)
            node = node->next;
        if (cancelAfter > 0 && node && static_cast<clSetupItem*>(node)->IsFinished())
            cancel = 1;
    }
    int cancelAfter = 0;
    std::vector<int> percents;
    std::string proxyImagePath;  // as the installation made it
};

struct RunResult {
    int32_t result = -1;
    uint8_t reboot = 0;
    int items = 0;
    int targets = 0;
    std::vector<int> percents;
    std::vector<int32_t> steps;  // each item's current step after the run
    std::vector<bool> finished;
    std::string proxyImagePath;
    double seconds = 0;
    int stoppedAt = 0;  // the current item when the run ended (from 1); 0 past the last
};

class InstallOnWine : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitialize(nullptr);
        DetectOs();
        ASSERT_TRUE(CreateMsgCatalogue());
        ASSERT_TRUE(SelectLanguageByCode("ENG"));
        SetupFolders.setupExeDir = HelpSourceDir;
        MakeFreshFolder(HelpDir);
        for (const char* name : {"Brimvault.chm", "BrimvaultENG.chm", "BrimvaultDEU.chm"})
            WriteWholeFile((HelpDir + std::string(name)).c_str(), name, static_cast<uint32_t>(strlen(name)));

        // A disk for the class key to exist: a fresh prefix has none.
        ASSERT_TRUE(AddPhantomDisk()) << GetLastError();
        ASSERT_NE(GetDiskClassGuid(), nullptr);
        installDir = DefaultInstallDir(InstallProductKey);
        // The prefix is the one meant: a 64-bit or a 32-bit Windows.
        const char* arch = getenv("TOLVARN_EXPECT_ARCH");
        ASSERT_NE(arch, nullptr);
        ASSERT_EQ(GetOsArch(), std::string(arch) == "x64" ? OS_ARCH_X64 : OS_ARCH_X86) << arch;
    }

    static bool X64() { return GetOsArch() == OS_ARCH_X64; }
    static uint16_t ProxyResource() { return X64() ? ProxyDriverX64Resource : ProxyDriverX86Resource; }
    static uint16_t CacheResource() { return X64() ? CacheDriverX64Resource : CacheDriverX86Resource; }
    static std::string App() { return installDir + "\\Brimvault.exe"; }
    static std::string StartMenu() { return ShellFolder(CsidlCommonPrograms) + "\\JYX Brimvault"; }

    // One installation as the progress page does it: build, the page's own items, the
    // clean-up batch, the run, and the records after a success.
    static RunResult Install(int cancelAfter = 0)
    {
        RunResult run;
        LARGE_INTEGER start, end, frequency;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        TestInstallList list;
        list.cancelAfter = cancelAfter;
        run.result = BuildInstallList(&list, installDir);
        if (run.result == 0)
            run.result = AddDesktopShortcut(&list, ProductLinkName, list.mainProgramPath);
        if (run.result == 0)
            run.result = AddRegStartRun(&list, InstallProductKey, list.mainProgramPath);
        DeleteRebootBatch(list.productKey);
        if (run.result == 0)
            run.result = RunSetupList(&list);
        if (run.result == 0) {
            SaveInstallTime();
            FinishInstall();
        }
        QueryPerformanceCounter(&end);
        run.seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
        run.reboot = list.reboot;
        run.percents = list.percents;
        run.proxyImagePath = list.proxyImagePath;
        for (clDorqObject* node = list.First(); node; node = node->next) {
            run.items++;
            if (node == list.currentItem)
                run.stoppedAt = run.items;
            run.targets += static_cast<clSetupItem*>(node)->targetStep;
            run.steps.push_back(static_cast<clSetupItem*>(node)->currentStep);
            run.finished.push_back(static_cast<clSetupItem*>(node)->IsFinished());
        }
        return run;
    }

    // Everything a complete installation leaves.
    static void ExpectInstalled(const char* when)
    {
        SCOPED_TRACE(when);
        EXPECT_EQ(FileBytes(installDir + "\\Uninstall.exe"), Resource(UninstallerResource));
        EXPECT_EQ(FileBytes(App()), Resource(MainProgramResource));
        for (const char* name : {"Brimvault.chm", "BrimvaultENG.chm", "BrimvaultDEU.chm"})
            EXPECT_EQ(FileBytes(installDir + "\\" + name), name);
        EXPECT_FALSE(Exists(installDir + "\\BrimvaultJPN.chm")) << "no such file beside Setup";

        EXPECT_EQ(LinkTarget(StartMenu() + "\\JYX Brimvault.lnk"), App());
        if (IsWin8OrLater())
            EXPECT_FALSE(Exists(StartMenu() + "\\Uninstall.lnk"));
        else
            EXPECT_EQ(LinkTarget(StartMenu() + "\\Uninstall.lnk"), installDir + "\\Uninstall.exe");
        EXPECT_EQ(LinkTarget(ShellFolder(CsidlCommonDesktopDirectory) + "\\JYX Brimvault.lnk"), App());

        EXPECT_EQ(Value(EntryKey, "UninstallString", REG_SZ), Text((installDir + "\\Uninstall.exe").c_str()));
        EXPECT_EQ(Value(EntryKey, "DisplayIcon", REG_SZ), Text(App().c_str()));
        uint32_t kib = static_cast<uint32_t>(Resource(UninstallerResource).size() +
                                             Resource(MainProgramResource).size()) >>
                       10;
        EXPECT_EQ(Value(EntryKey, "EstimatedSize", REG_DWORD), Dword(kib));
        EXPECT_EQ(Value(RunKey, "JyxBrimvault", REG_SZ), Text(("\"" + App() + "\"").c_str()));

        EXPECT_EQ(Value(RecordsKey, "Version", REG_DWORD), Dword(20402));
        EXPECT_EQ(Value(RecordsKey, "OEM", REG_SZ), Text("ZEMK"));
        EXPECT_EQ(Value(RecordsKey, "InstallTime", REG_BINARY).size(), 8u);
        EXPECT_EQ(InstallCompleted, 1);
        char lang[8] = {};
        GetPrivateProfileStringA("Display", "Lang", "", lang, sizeof lang, GetIniFileName().c_str());
        EXPECT_STREQ(lang, "ENG");
        EXPECT_EQ(GetIniFileName(),
                  ShellFolder(CsidlCommonAppData) + "\\DORQ\\JyxBrimvault\\JyxBrimvault_ZEMK.ini");

        // The drivers: the proxy running, the cache driver a boot-start disk upper filter.
        EXPECT_EQ(FileBytes(DriverFilePath(Proxy)), Resource(ProxyResource()));
        uint32_t state = 0;
        EXPECT_EQ(QueryServiceStateByName(Proxy, &state), 0);
        EXPECT_EQ(state, ServiceStateRunning);
        std::string proxyKey = "System\\CurrentControlSet\\Services\\"s + Proxy;
        EXPECT_EQ(Value(proxyKey, "Start", REG_DWORD), Dword(SERVICE_SYSTEM_START));
        EXPECT_EQ(Value(proxyKey, "Group", REG_SZ), Text("Base"));
        EXPECT_EQ(Value(MakerKey + "\\"s + Proxy, "Version", REG_DWORD), Dword(103));
        EXPECT_TRUE(IsUser(Proxy));
        std::string cacheKey = "System\\CurrentControlSet\\Services\\"s + Cache;
        EXPECT_EQ(Value(cacheKey, "Start", REG_DWORD), Dword(SERVICE_BOOT_START));
        EXPECT_EQ(Value(cacheKey, "Group", REG_SZ), Text("System Reserved"));
        EXPECT_TRUE(IsUser(Cache));
        std::string filters = UpperFilters();
        EXPECT_NE(filters.find(Cache + "\0"s), std::string::npos) << "UpperFilters";
        EXPECT_EQ(filters.find("DORQVORN\0"s), std::string::npos) << "UpperFilters";
        EXPECT_FALSE(KeyExistsAt(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\DORQVORN"));
        EXPECT_FALSE(KeyExistsAt(HKEY_LOCAL_MACHINE, MakerKey + "\\DORQVORN"s));
    }

    // Takes away what an installation left, as if the product had never been there.
    static void RemoveProduct()
    {
        StopServiceByName(Proxy, nullptr);
        for (const char* name : {Proxy, Cache}) {
            DeleteServiceByName(name);
            WaitUntilGone(name);
            DeleteDriverFile(name);
        }
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, MakerKey);
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, EntryKey);
        HKEY run = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RunKey, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
            RegDeleteValueA(run, "JyxBrimvault");
            RegCloseKey(run);
        }
        RemoveTree(installDir);
        RemoveTree(StartMenu());
        DeleteFileA((ShellFolder(CsidlCommonDesktopDirectory) + "\\JYX Brimvault.lnk").c_str());
        RemoveTree(GetDataDir());
        SetUpperFilters("PartMgr\0\0"s);
        InstallCompleted = 0;
    }

    static void ExpectNoProductRecords(const char* when)
    {
        SCOPED_TRACE(when);
        EXPECT_FALSE(KeyExistsAt(HKEY_LOCAL_MACHINE, RecordsKey));
        EXPECT_FALSE(Exists(GetIniFileName()));
        EXPECT_EQ(InstallCompleted, 0);
    }

    static void Report(const char* what, const RunResult& run)
    {
        printf("%-40s %7.3f s  result %d (at item %d), %d items, %d hook calls, reboot %d\n", what,
               run.seconds, run.result, run.stoppedAt, run.items, static_cast<int>(run.percents.size()),
               run.reboot);
        ::testing::Test::RecordProperty(what, std::to_string(static_cast<int>(run.seconds * 1000)) + " ms");
    }

    static std::string installDir;
};

std::string InstallOnWine::installDir;

}  // namespace

TEST_F(InstallOnWine, FirstRunAndUpdates)
{
    // 1. The older filter driver as an earlier product left it, and a clean-up batch file.
    for (const char* name : {"DORQVORN", "DORQVORNZEMK"}) {
        WriteValueAt(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\"s + name, "ImagePath",
                     REG_EXPAND_SZ, "System32\\drivers\\"s + name + ".SYS\0"s);
        WriteValueAt(HKEY_LOCAL_MACHINE, MakerKey + "\\"s + name, "Version", REG_DWORD, Dword(105));
        WriteValueAt(HKEY_LOCAL_MACHINE, MakerKey + "\\"s + name + "\\Used", "JyxBrimvault", REG_SZ,
                     "then\0"s);
        WriteWholeFile(DriverFilePath(name).c_str(), "old", 3);
    }
    SetUpperFilters("PartMgr\0DORQVORN\0\0"s);
    ForceDirectory((ShellFolder(CsidlCommonAppData) + "\\DORQ").c_str());
    WriteWholeFile(RebootBatchPath(InstallProductKey).c_str(), "del", 3);
    ASSERT_EQ(ReadInstalledVersion(), 0);

    // 2. The first run installs everything, asks for a restart and reports rising progress.
    RunResult first = Install();
    Report("first run (fresh prefix)", first);
    ASSERT_EQ(first.result, 0);
    EXPECT_EQ(first.reboot, 1);
    ExpectInstalled("first run");
    EXPECT_FALSE(Exists(RebootBatchPath(InstallProductKey)));
    EXPECT_FALSE(Exists(DriverFilePath("DORQVORN")));
    EXPECT_EQ(FileBytes(DriverFilePath(Cache)), Resource(CacheResource()));
    EXPECT_EQ(Listed(UpperFilters()), "DORQPELKZEMK|PartMgr||") << "in front, the old one gone";
    ASSERT_FALSE(first.percents.empty());
    EXPECT_EQ(first.percents.front(), 20 * 100 / first.targets) << "closing the application: 20 steps";
    EXPECT_EQ(first.percents.back(), 100);
    for (size_t i = 1; i < first.percents.size(); ++i)
        EXPECT_GE(first.percents[i], first.percents[i - 1]) << "call " << i;
    EXPECT_EQ(first.items, IsWin8OrLater() ? 21 : 22);
    EXPECT_EQ(first.proxyImagePath, "System32\\drivers\\SABLINEX.SYS");

    // 3. Over the first, with the application running: it is closed, nothing needs replacing,
    //    and the cache driver, not loaded yet, asks for the restart again.
    PROCESS_INFORMATION process = {};
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    std::string command = "\"" + App() + "\" /window";
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                               &process));
    for (int i = 0; i < 200 && !FindWindowA("TApplication", "JYX Brimvault "); ++i)
        Sleep(25);
    RunResult second = Install();
    Report("second run (application running)", second);
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 5000), WAIT_OBJECT_0) << "the application was closed";
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    EXPECT_EQ(second.reboot, 1);
    ExpectInstalled("second run");

    // 4. An older recorded cache driver and proxy: both are replaced and recorded anew.
    WriteValueAt(HKEY_LOCAL_MACHINE, MakerKey + "\\"s + Cache, "Version", REG_DWORD, Dword(150));
    WriteValueAt(HKEY_LOCAL_MACHINE, MakerKey + "\\"s + Proxy, "Version", REG_DWORD, Dword(90));
    WriteWholeFile(DriverFilePath(Cache).c_str(), "older build", 11);
    RunResult older = Install();
    Report("third run (older drivers recorded)", older);
    EXPECT_EQ(older.result, 0);
    EXPECT_EQ(older.reboot, 1);
    ExpectInstalled("third run");
    EXPECT_EQ(FileBytes(DriverFilePath(Cache)), Resource(CacheResource()));
    EXPECT_EQ(Value(MakerKey + "\\"s + Cache, "Version", REG_DWORD), Dword(204));

    // 5. A newer recorded cache driver: left as it is; this product only becomes a user.
    WriteValueAt(HKEY_LOCAL_MACHINE, MakerKey + "\\"s + Cache, "Version", REG_DWORD, Dword(300));
    WriteWholeFile(DriverFilePath(Cache).c_str(), "newer build", 11);
    RunResult newer = Install();
    Report("fourth run (newer cache driver recorded)", newer);
    EXPECT_EQ(newer.result, 0);
    ExpectInstalled("fourth run");
    EXPECT_EQ(FileBytes(DriverFilePath(Cache)), "newer build");
    EXPECT_EQ(Value(MakerKey + "\\"s + Cache, "Version", REG_DWORD), Dword(300));

    // 6. A full installation in the warm prefix.
    RemoveProduct();
    RunResult warm = Install();
    Report("full installation (warm prefix)", warm);
    EXPECT_EQ(warm.result, 0);
    ExpectInstalled("full installation, warm");
    EXPECT_LT(warm.seconds, 30.0) << "target: under 5 s";
}

TEST_F(InstallOnWine, CancelAfterEachItemThenARunThatCompletes)
{
    RemoveProduct();
    int items = Install(-1).items;  // the count only; this run completes
    ASSERT_GT(items, 10);
    for (int k = 1; k <= items; ++k) {
        std::string after = "cancel after item " + std::to_string(k);
        RemoveProduct();
        RunResult cancelled = Install(k);
        // The cancel after the last item comes when all the work is done: a success.
        EXPECT_EQ(cancelled.result, k < items ? SETUP_ERR_CANCELLED : 0) << after;
        for (int i = 0; i < items; ++i) {
            if (i < k)
                EXPECT_TRUE(cancelled.finished[i]) << after << ": item " << i + 1 << " done";
            else
                EXPECT_EQ(cancelled.steps[i], 0) << after << ": item " << i + 1 << " untouched";
        }
        if (k < items)
            ExpectNoProductRecords(after.c_str());
        RunResult completing = Install();
        EXPECT_EQ(completing.result, 0) << after;
        ExpectInstalled(after.c_str());
    }
}
