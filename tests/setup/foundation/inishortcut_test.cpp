// The ini value written only when it changes, and shortcut files read back through the shell.
#include "foundation/iniutil.h"
#include "foundation/osinfo.h"
#include "foundation/shortcututil.h"

#include <objbase.h>
#include <shlobj.h>

#include "shelllinkfacts.h"
#include "testfolder.h"

#include <gtest/gtest.h>
#include <string>

namespace {

const char Root[] = "C:\\tolvarn-shell";

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

class ShellFilesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        DetectOs();
        MakeFreshFolder(Root);
    }
};

TEST_F(ShellFilesTest, IniValueWrittenOnlyWhenItChanges)
{
    std::string ini = Path("JyxBrimvault_ZEMK.ini");
    DeleteFileA(ini.c_str());
    EXPECT_TRUE(IniWriteStringIfChanged(ini.c_str(), "Display", "Lang", "DEU"));
    EXPECT_NE(FileBytes(ini).find("Lang=DEU"), std::string::npos) << FileBytes(ini);

    // Stored with blanks around it: read back equal, so nothing is written. The file is held
    // open without write sharing meanwhile, where any write fails (the profile writer opens
    // the file for writing even to store an unchanged value), so a write that was tried
    // would show as a failure.
    const std::string spaced = "[Display]\r\nLang = ENU \r\n";
    MakeFile(ini, spaced);
    HANDLE held = CreateFileA(ini.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(IniWriteStringIfChanged(ini.c_str(), "Display", "Lang", "ENU"));
    EXPECT_FALSE(IniWriteStringIfChanged(ini.c_str(), "Display", "Lang", "DEU"))
        << "a changed value is written, and the held file refuses it";
    CloseHandle(held);
    EXPECT_EQ(FileBytes(ini), spaced);

    // A change of letter case is a change.
    EXPECT_TRUE(IniWriteStringIfChanged(ini.c_str(), "Display", "Lang", "enu"));
    EXPECT_NE(FileBytes(ini).find("Lang=enu"), std::string::npos) << FileBytes(ini);

    EXPECT_FALSE(IniWriteStringIfChanged(Path("no-folder\\x.ini").c_str(), "Display", "Lang", "ENU"))
        << "a file that cannot be written";
    EXPECT_FALSE(IniWriteStringIfChanged(nullptr, "Display", "Lang", "ENU"));
}

// The show command as stored in the file header (the shell's interface may report another).
DWORD StoredShowCommand(const std::string& path)
{
    std::string bytes = FileBytes(path);
    if (bytes.size() < 0x40)
        return 0xFFFFFFFF;
    return *reinterpret_cast<const DWORD*>(bytes.data() + 0x3C);
}

TEST_F(ShellFilesTest, ShortcutIntoNewFoldersReadsBack)
{
    struct Case {
        const char* comment;
        std::string target;
        std::string expectedWorkingDir;
    };
    const Case cases[] = {
        {"a program in a folder", Path("app\\Brimvault.exe"), Path("app")},
        {"a program at a drive root", "C:\\Brimvault.exe", "C:\\"},
    };
    CreateDirectoryA(Path("app").c_str(), nullptr);
    MakeFile(Path("app\\Brimvault.exe"), "MZ");
    for (const Case& c : cases) {
        std::string folder = Path("menu\\Brimvault\\Tools");
        RemoveDirectoryA(folder.c_str());
        ASSERT_EQ(CreateShortcutFile(c.target.c_str(), "Brimvault", folder.c_str()), 0) << c.comment;
        std::string link = folder + "\\Brimvault.LNK";
        LinkFacts facts = ReadLink(link);
        ASSERT_EQ(facts.loaded, S_OK) << c.comment;
        EXPECT_EQ(facts.target, c.target) << c.comment;
        EXPECT_EQ(facts.workingDir, c.expectedWorkingDir) << c.comment;
        EXPECT_EQ(StoredShowCommand(link), 0u) << c.comment;
        DeleteFileA(link.c_str());
    }
}

TEST_F(ShellFilesTest, ShortcutFailures)
{
    // The folder cannot be made: its error.
    MakeFile(Path("a-file"), "x");
    EXPECT_EQ(CreateShortcutFile("C:\\x.exe", "X", Path("a-file\\sub").c_str()), ERROR_FILE_EXISTS);

    // The link cannot be saved: the shell's HRESULT.
    EXPECT_EQ(CreateShellLink(L"C:\\tolvarn-shell\\missing\\x.lnk", "C:\\x.exe", "C:\\"),
              HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));

    // A link path beyond MAX_PATH: refused whole, nothing written under a cut name.
    std::string folder = Path(std::string(200, 'f'));
    std::string name(70, 'n');
    EXPECT_EQ(CreateShortcutFile("C:\\x.exe", name.c_str(), folder.c_str()),
              HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE));
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*.*").c_str(), &found);
    int entries = 0;
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (found.cFileName[0] != '.')
                ++entries;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    EXPECT_EQ(entries, 0) << "no link under a cut name";
}

// A thread already in the multithreaded apartment: the link's own CoInitialize is refused
// (RPC_E_CHANGED_MODE), so it must not uninitialise the thread's COM on its way out.
DWORD WINAPI LinkFromMultithreadedApartment(void* context)
{
    HRESULT* stillInitialised = static_cast<HRESULT*>(context);
    if (CoInitializeEx(nullptr, COINIT_MULTITHREADED) != S_OK)
        return 1;
    CreateShellLink(L"C:\\tolvarn-shell\\mta.lnk", "C:\\x.exe", "C:\\");
    // S_FALSE: the thread is still in its apartment; S_OK would mean it had been left.
    *stillInitialised = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(*stillInitialised))
        CoUninitialize();
    CoUninitialize();
    return 0;
}

TEST_F(ShellFilesTest, ShortcutLeavesTheCallersComAsItWas)
{
    HRESULT stillInitialised = E_UNEXPECTED;
    HANDLE thread = CreateThread(nullptr, 0, LinkFromMultithreadedApartment, &stillInitialised, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
    DWORD code = 99;
    GetExitCodeThread(thread, &code);
    CloseHandle(thread);
    ASSERT_EQ(code, 0u) << "the thread could not enter the multithreaded apartment";
    EXPECT_EQ(stillInitialised, S_FALSE);
    DeleteFileA(Path("mta.lnk").c_str());
}

}  // namespace
