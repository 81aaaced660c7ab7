// Folders, file operations, resources and error texts: decision tables and real files under Wine.
#include "foundation/fileutil.h"
#include "foundation/langutil.h"
#include "foundation/osinfo.h"

#include "testfolder.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

const char TestRoot[] = "C:\\tolvarn-files";
const uint16_t SmallResource = 30001;
const std::string SmallResourceBytes = "Tolvarn test resource\r\n\0\1\2\3\377binary tail"s;

std::string Path(const std::string& name)
{
    return std::string(TestRoot) + "\\" + name;
}

void MakeFile(const std::string& path, const std::string& bytes, DWORD attributes = 0)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (attributes)
        SetFileAttributesA(path.c_str(), attributes);
}

bool IsFolder(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

class FilesTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        DetectOs();
        MakeFreshFolder(TestRoot);
    }
};

// ---- Folder rules

TEST(NativeSystemDir, DecisionTable)
{
    struct Case {
        const char* comment;
        bool nt;
        int32_t arch;
        bool vista;
        NativeSystemDirSource expected;
    };
    const Case cases[] = {
        {"Windows 9x", false, OS_ARCH_X86, false, NativeSystemDirSource::WindowsSystem32},
        {"x86 NT", true, OS_ARCH_X86, true, NativeSystemDirSource::SystemFolder},
        {"x64 Vista or later", true, OS_ARCH_X64, true, NativeSystemDirSource::WindowsSysnative},
        {"x64 XP or 2003", true, OS_ARCH_X64, false, NativeSystemDirSource::Wow64Folder},
        {"ia64", true, OS_ARCH_IA64, true, NativeSystemDirSource::None},
        {"unknown processor", true, OS_ARCH_UNKNOWN, true, NativeSystemDirSource::None},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChooseNativeSystemDir(c.nt, c.arch, c.vista), c.expected) << c.comment;
}

// A shell that knows only the folders in Known.
int KnownCommon = -1;
const char* FakeLookup(int csidl)
{
    if (csidl == KnownCommon)
        return "common";
    return csidl == CsidlDesktop || csidl == CsidlPrograms ? "own" : nullptr;
}

TEST(CommonOrOwnFolder, FallsBackToTheUsersOwnFolder)
{
    KnownCommon = CsidlCommonDesktopDirectory;
    EXPECT_STREQ(CommonOrOwnFolder(true, CsidlCommonDesktopDirectory, CsidlDesktop, FakeLookup), "common");
    EXPECT_STREQ(CommonOrOwnFolder(false, CsidlCommonDesktopDirectory, CsidlDesktop, FakeLookup), "own")
        << "outside the NT family the common folder is not asked";
    KnownCommon = -1;
    EXPECT_STREQ(CommonOrOwnFolder(true, CsidlCommonPrograms, CsidlPrograms, FakeLookup), "own");
}

TEST_F(FilesTest, DriversFolderOfA32BitProgramReachesThe64BitSystemFolder)
{
    ASSERT_EQ(GetOsArch(), OS_ARCH_X64) << "runs in a 64-bit prefix";
    std::string windows = GetWindowsDir();
    EXPECT_EQ(std::string(GetNativeSystemDir()), windows + "\\Sysnative");
    std::string drivers = GetNativeDriversDir();
    EXPECT_EQ(drivers, windows + "\\Sysnative\\drivers");
    ASSERT_NE(GetSystemWow64Dir(), nullptr);
    std::string wow64Drivers = std::string(GetSystemWow64Dir()) + "\\drivers\\TolvarnProbe.sys";

    std::string file = drivers + "\\TolvarnProbe.sys";
    ASSERT_EQ(WriteWholeFile(file.c_str(), "probe", 5), 0);
    EXPECT_EQ(FileBytes(wow64Drivers), "<missing>") << "not in the 32-bit system folder";
    void* redirection = nullptr;
    ASSERT_TRUE(Wow64DisableWow64FsRedirection(&redirection));
    std::string native = FileBytes(windows + "\\system32\\drivers\\TolvarnProbe.sys");
    Wow64RevertWow64FsRedirection(redirection);
    EXPECT_EQ(native, "probe");
    EXPECT_EQ(DeleteFileForced(file.c_str()), 0);
}

TEST_F(FilesTest, ShellFoldersOfTheAllUsersProfile)
{
    std::string desktop = GetDesktopDir() ? GetDesktopDir() : "<null>";
    EXPECT_EQ(desktop, "C:\\users\\Public\\Desktop");
    std::string programs = GetProgramsDir() ? GetProgramsDir() : "<null>";
    EXPECT_EQ(programs, "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs");
    std::string programFiles = GetProgramFilesDir() ? GetProgramFilesDir() : "<null>";
    EXPECT_EQ(programFiles, "C:\\Program Files (x86)");
    EXPECT_EQ(GetShellFolder(-5), nullptr) << "an unknown folder id";
}

// ---- File operations

TEST_F(FilesTest, FoldersAreMadeOrRefused)
{
    MakeFile(Path("plain.txt"), "x");
    struct Case {
        const char* comment;
        int (*operation)(const char*);
        std::string path;
        int expected;
    };
    const Case cases[] = {
        {"force: existing folder", ForceDirectory, TestRoot, 0},
        {"force: existing file", ForceDirectory, Path("plain.txt"), ERROR_FILE_EXISTS},
        {"force: nested new folders", ForceDirectory, Path("f1\\f2\\f3"), 0},
        {"make: existing folder", MakeDirPath, TestRoot, 0},
        {"make: existing file", MakeDirPath, Path("plain.txt"), ERROR_FILE_EXISTS},
        {"make: a parent is a file", MakeDirPath, Path("plain.txt\\sub\\leaf"), ERROR_FILE_EXISTS},
        {"make: no backslash and missing", MakeDirPath, "tolvarn-no-such-folder", ERROR_PATH_NOT_FOUND},
        {"make: nested new folders", MakeDirPath, Path("m1\\m2\\m3"), 0},
        {"force: a parent is a file", ForceDirectory, Path("plain.txt\\sub"), ERROR_FILE_EXISTS},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.operation(c.path.c_str()), c.expected) << c.comment;
        if (c.expected == 0)
            EXPECT_TRUE(IsFolder(c.path)) << c.comment;
    }
    EXPECT_EQ(ForceDirectory(nullptr), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(MakeDirPath(nullptr), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, ForcedDelete)
{
    // Missing: nothing to do.
    EXPECT_EQ(DeleteFileForced(Path("never-there.txt").c_str()), 0);
    EXPECT_EQ(DeleteFileForced(Path("no-folder\\never-there.txt").c_str()), 0);

    // Read-only: the attribute is cleared and the file goes.
    MakeFile(Path("readonly.txt"), "x", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(DeleteFileForced(Path("readonly.txt").c_str()), 0);
    EXPECT_EQ(FileBytes(Path("readonly.txt")), "<missing>");

    // Held open without sharing: the delete's error, and the file stays.
    MakeFile(Path("busy.txt"), "x");
    HANDLE busy = CreateFileA(Path("busy.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(busy, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DeleteFileForced(Path("busy.txt").c_str()), ERROR_SHARING_VIOLATION);
    CloseHandle(busy);
    EXPECT_EQ(FileBytes(Path("busy.txt")), "x");
    EXPECT_EQ(DeleteFileForced(Path("busy.txt").c_str()), 0);

    // A name that cannot be a file is a failure, not success.
    EXPECT_EQ(DeleteFileForced(Path("bad|name.txt").c_str()), ERROR_INVALID_NAME);
}

TEST_F(FilesTest, WholeFileWrites)
{
    // Into missing nested folders: created.
    std::string nested = Path("w1\\w2\\data.bin");
    ASSERT_EQ(WriteWholeFile(nested.c_str(), SmallResourceBytes.data(),
                             static_cast<uint32_t>(SmallResourceBytes.size())),
              0);
    EXPECT_EQ(FileBytes(nested), SmallResourceBytes);

    // Size 0 truncates an existing read-only file to nothing.
    SetFileAttributesA(nested.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(WriteWholeFile(nested.c_str(), nullptr, 0), 0);
    EXPECT_EQ(FileBytes(nested), "");
    EXPECT_EQ(GetFileSizeByName(nested.c_str()), 0);

    EXPECT_EQ(WriteWholeFile(nullptr, "x", 1), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(WriteWholeFile(nested.c_str(), nullptr, 4), ERROR_INVALID_PARAMETER)
        << "no data for a non-zero size";
    MakeFile(Path("blocker"), "x");
    EXPECT_EQ(WriteWholeFile(Path("blocker\\data.bin").c_str(), "x", 1), ERROR_FILE_EXISTS)
        << "its folder is a file";
}

TEST_F(FilesTest, AWriteThatStopsShortIsAFailure)
{
    // A non-blocking pipe that nobody reads soon takes no more bytes, yet its writes succeed.
    HANDLE server = CreateNamedPipeA("\\\\.\\pipe\\tolvarn-short-write", PIPE_ACCESS_OUTBOUND,
                                     PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 64, 64, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client =
        CreateFileA("\\\\.\\pipe\\tolvarn-short-write", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    std::string big(100000, 'x');
    EXPECT_EQ(WriteAllBytes(server, big.data(), static_cast<uint32_t>(big.size())), ERROR_WRITE_FAULT);
    CloseHandle(client);
    CloseHandle(server);

    HANDLE file =
        CreateFileA(Path("whole.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteAllBytes(file, big.data(), static_cast<uint32_t>(big.size())), 0);
    CloseHandle(file);
    EXPECT_EQ(FileBytes(Path("whole.bin")), big);
}

TEST_F(FilesTest, ForcedCopyReplacesAReadOnlyFile)
{
    MakeFile(Path("source.txt"), "new content");
    CreateDirectoryA(Path("c1").c_str(), nullptr);
    MakeFile(Path("c1\\target.txt"), "old", FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(CopyFileForced(Path("source.txt").c_str(), Path("c1\\target.txt").c_str()), 0);
    EXPECT_EQ(FileBytes(Path("c1\\target.txt")), "new content");
    EXPECT_FALSE(GetFileAttributesA(Path("c1\\target.txt").c_str()) & FILE_ATTRIBUTE_READONLY)
        << "the attribute was cleared before the copy";

    EXPECT_EQ(CopyFileForced(Path("source.txt").c_str(), Path("c2\\c3\\copy.txt").c_str()), 0)
        << "the destination folder is made";
    EXPECT_EQ(FileBytes(Path("c2\\c3\\copy.txt")), "new content");
    EXPECT_EQ(CopyFileForced(Path("absent.txt").c_str(), Path("c2\\copy2.txt").c_str()),
              ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, SizesAndExistence)
{
    MakeFile(Path("sized.txt"), "12345");
    EXPECT_EQ(GetFileSizeByName(Path("sized.txt").c_str()), 5);
    EXPECT_EQ(GetFileSizeByName(TestRoot), -1) << "a folder";
    EXPECT_EQ(GetFileSizeByName(Path("absent.txt").c_str()), -1);
    EXPECT_EQ(GetFileSizeByName(nullptr), -1);
    EXPECT_TRUE(IsExistingFile(Path("sized.txt").c_str()));
    EXPECT_FALSE(IsExistingFile(TestRoot));
    EXPECT_FALSE(IsExistingFile(Path("absent.txt").c_str()));

    // A sparse file beyond 4 GiB has its full 64-bit size.
    std::string big = Path("sparse.bin");
    HANDLE file = CreateFileA(big.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER end;
    end.QuadPart = (5LL << 30) + 7;
    ASSERT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
    EXPECT_EQ(GetFileSizeByName(big.c_str()), (5LL << 30) + 7);
    DeleteFileA(big.c_str());
}

// ---- Resources

TEST_F(FilesTest, ResourcesReadAndWrittenByteForByte)
{
    uint32_t size = 0;
    const void* data = LockBinRes(SmallResource, &size);
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(static_cast<const char*>(data), size), SmallResourceBytes);
    EXPECT_EQ(GetBinResSize(SmallResource), SmallResourceBytes.size());

    size = 7;
    EXPECT_EQ(LockBinRes(30999, &size), nullptr);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(GetBinResSize(30999), 0u);

    // From the own module, and from a module file loaded as data.
    EXPECT_EQ(ExtractBinRes(nullptr, Path("r1\\own.bin").c_str(), SmallResource), 0);
    EXPECT_EQ(FileBytes(Path("r1\\own.bin")), SmallResourceBytes);
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    EXPECT_EQ(ExtractBinRes(self, Path("r1\\module.bin").c_str(), SmallResource), 0);
    EXPECT_EQ(FileBytes(Path("r1\\module.bin")), SmallResourceBytes);
    EXPECT_EQ(
        ExtractBinRes(Path("no-such-module.dll").c_str(), Path("r1\\fallback.bin").c_str(), SmallResource), 0)
        << "a module that does not load: the own one";
    EXPECT_EQ(FileBytes(Path("r1\\fallback.bin")), SmallResourceBytes);

    EXPECT_EQ(ExtractBinRes(nullptr, Path("r1\\none.bin").c_str(), 30999), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(FileBytes(Path("r1\\none.bin")), "<missing>");
}

// ---- Error texts

std::vector<uint16_t> Attempts;
std::vector<uint16_t> Answering;

wchar_t* FakeAttempt(uint16_t langId, uint32_t)
{
    Attempts.push_back(langId);
    for (uint16_t answering : Answering)
        if (answering == langId)
            return static_cast<wchar_t*>(calloc(2, sizeof(wchar_t)));
    return nullptr;
}

uint8_t FakeCharset(uint16_t langId)
{
    return static_cast<uint8_t>(langId & 0xFF);
}

TEST(SystemErrorText, LanguageOrderAndCharset)
{
    const uint16_t system = 1049;
    const uint8_t untouched = 0xEE;
    struct Case {
        const char* comment;
        uint16_t langId;
        std::vector<uint16_t> answering;
        bool found;
        std::vector<uint16_t> attempts;
        uint8_t charset;
    };
    const Case cases[] = {
        {"0: user default language, system charset", 0, {0x400}, true, {0x400}, 1049 & 0xFF},
        {"0: charset set even without text", 0, {}, false, {0x400}, 1049 & 0xFF},
        {"own language answers", 1031, {1031, 1033}, true, {1031}, 1031 & 0xFF},
        {"English next", 1031, {1033, system}, true, {1031, 1033}, 1033 & 0xFF},
        {"system language last", 1031, {system}, true, {1031, 1033, system}, system & 0xFF},
        {"no text: charset untouched", 1031, {}, false, {1031, 1033, system}, untouched},
    };
    for (const Case& c : cases) {
        Attempts.clear();
        Answering = c.answering;
        uint8_t charset = untouched;
        wchar_t* text = SelectSystemErrorText(c.langId, 2, &charset, system, FakeAttempt, FakeCharset);
        EXPECT_EQ(text != nullptr, c.found) << c.comment;
        EXPECT_EQ(Attempts, c.attempts) << c.comment;
        EXPECT_EQ(charset, c.charset) << c.comment;
        free(text);
    }
}

TEST_F(FilesTest, SystemMessagesFromTheSystem)
{
    wchar_t* text = FormatSystemMessage(1033, ERROR_FILE_NOT_FOUND);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(text), L"File not found.\r\n");
    free(text);
    text = FormatSystemMessage(1031, ERROR_FILE_NOT_FOUND);
    ASSERT_NE(text, nullptr);
    EXPECT_NE(std::wstring(text), L"File not found.\r\n") << "the language asked for";
    free(text);
    EXPECT_EQ(FormatSystemMessage(1033, 0x2FFFFFFF), nullptr) << "an unknown code has no text";
}

TEST_F(FilesTest, SystemErrorTextsWithTheirCharsets)
{
    const uint8_t untouched = 0xEE;
    const uint8_t systemCharset = LangIdToCharset(static_cast<uint16_t>(GetSystemDefaultLCID() & 0xFFFF));

    // langId 0: the user's default language, the charset of the system's.
    uint8_t charset = untouched;
    wchar_t* text = GetSystemErrorText(0, ERROR_FILE_NOT_FOUND, &charset);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(wcslen(text), 0u);
    EXPECT_EQ(charset, systemCharset);
    FreeIfSet(text);

    // A language the system has texts for answers itself.
    charset = untouched;
    text = GetSystemErrorText(1033, ERROR_FILE_NOT_FOUND, &charset);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(text), L"File not found.\r\n");
    EXPECT_EQ(charset, 1);
    free(text);

    // No place for the charset is fine.
    text = GetSystemErrorText(1033, ERROR_FILE_NOT_FOUND, nullptr);
    ASSERT_NE(text, nullptr);
    FreeIfSet(text);

    // An unknown code: no text; the charset is still set for langId 0 only.
    charset = untouched;
    EXPECT_EQ(GetSystemErrorText(1041, 0x2FFFFFFF, &charset), nullptr);
    EXPECT_EQ(charset, untouched) << "no language answered";
    EXPECT_EQ(GetSystemErrorText(0, 0x2FFFFFFF, &charset), nullptr);
    EXPECT_EQ(charset, systemCharset) << "langId 0 sets the system charset even without text";
}

TEST(AllocZeroed, ZeroFilledBlocks)
{
    unsigned char* block = static_cast<unsigned char*>(AllocZeroed(300));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(block[i], 0) << i;
    FreeIfSet(block);
    EXPECT_EQ(AllocZeroed(-1), nullptr);
    FreeIfSet(nullptr);
}

}  // namespace
