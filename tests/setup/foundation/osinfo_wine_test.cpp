// The OS detection end to end: Wine shows the probe program one Windows version after another
// (its per-program "Version" setting) and the probe reports what it detected.
#include <windows.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <map>
#include <sstream>
#include <string>

namespace {

const char ProbeName[] = "osprobe.exe";
const char AppDefaultsKey[] = "Software\\Wine\\AppDefaults\\osprobe.exe";

std::string ProbePath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string self(path, n);
    return self.substr(0, self.find_last_of('\\') + 1) + ProbeName;
}

// Sets the probe's Windows version; null leaves the prefix's own (Windows 7).
bool SetProbeVersion(const char* version)
{
    if (!version) {
        LONG r = RegDeleteKeyA(HKEY_CURRENT_USER, AppDefaultsKey);
        return r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND;
    }
    HKEY key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, AppDefaultsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE*>(version),
                            DWORD(strlen(version) + 1));
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

// Runs the probe and returns its "key=value" lines.
std::map<std::string, std::string> RunProbe()
{
    std::map<std::string, std::string> facts;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd, writeEnd;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return facts;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process = {};
    std::string command = "\"" + ProbePath() + "\"";
    BOOL started =
        CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    std::string output;
    if (started) {
        char buffer[512];
        DWORD got;
        while (ReadFile(readEnd, buffer, sizeof(buffer), &got, nullptr) && got > 0)
            output.append(buffer, got);
        WaitForSingleObject(process.hProcess, 30000);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    CloseHandle(readEnd);
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        size_t eq = line.find('=');
        if (eq != std::string::npos)
            facts[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return facts;
}

// The architecture of this prefix: stated by the test's environment, checked against WoW64.
bool PrefixIs64Bit()
{
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    return wow64 != FALSE;
}

class OsDetectionUnderWine : public testing::Test {
protected:
    void TearDown() override { RegDeleteKeyA(HKEY_CURRENT_USER, AppDefaultsKey); }
};

}  // namespace

TEST_F(OsDetectionUnderWine, PrefixHasTheExpectedArchitecture)
{
    const char* expected = getenv("TOLVARN_EXPECT_ARCH");
    if (!expected)
        GTEST_SKIP() << "TOLVARN_EXPECT_ARCH not set";
    EXPECT_EQ(PrefixIs64Bit(), std::string(expected) == "x64");
}

TEST_F(OsDetectionUnderWine, EachWindowsVersionGivesItsTypeAndName)
{
    const bool x64 = PrefixIs64Bit();
    const std::string suffix = x64 ? " (x64)" : "";
    struct Case {
        const char* version;  // null: the prefix's default
        int type;
        const char* name;
        bool archNamed;  // the name carries the architecture
        bool server;
        bool supported;
    };
    const Case cases[] = {
        {"winxp", 5, "Windows XP", true, false, true},
        {"winxp64", 5, "Windows XP", true, false, true},
        {"win2003", 6, "Windows Server 2003", true, true, true},
        {"vista", 7, "Windows Vista", true, false, true},
        {"win2008", 8, "Windows Server 2008", true, true, true},
        {nullptr, 9, "Windows 7", true, false, true},
        // Wine 8 shows "win7" with the server product type, and "win2008r2" without it.
        {"win7", 8, "Windows Server 2008", true, true, true},
        {"win2008r2", 9, "Windows 7", true, false, true},
        {"win8", 10, "Windows 8", true, false, true},
        {"win81", 11, "Windows 8.1", true, false, true},
        {"win10", 12, "Windows 10", true, false, true},
        {"win2k", 4, "Windows 2000", false, false, false},
        {"win98", 1, "Windows 98", false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version ? c.version : "the prefix's default");
        ASSERT_TRUE(SetProbeVersion(c.version));
        std::map<std::string, std::string> facts = RunProbe();
        ASSERT_FALSE(facts.empty()) << "the probe did not run";
        bool ntFamily = c.type >= 3;
        int arch = (x64 && c.archNamed) ? 1 : 0;
        EXPECT_EQ(facts["type"], std::to_string(c.type));
        EXPECT_EQ(facts["arch"], std::to_string(arch));
        EXPECT_EQ(facts["name"], std::string(c.name) + (c.archNamed ? suffix : ""));
        EXPECT_EQ(facts["server"], c.server ? "1" : "0");
        EXPECT_EQ(facts["supported"], c.supported ? "1" : "0");
        EXPECT_EQ(facts["nt"], ntFamily ? "1" : "0");
        EXPECT_EQ(facts["vista"], c.type >= 7 ? "1" : "0");
        EXPECT_EQ(facts["win8"], c.type >= 10 ? "1" : "0");

        // The wrappers fall back until the detection has bound them.
        EXPECT_EQ(facts["folderBefore"], "1");
        EXPECT_EQ(facts["createBefore"], std::to_string(long(E_FAIL)));
        EXPECT_EQ(facts["wow64Before"], "0");
        // Afterwards the shell folders resolve, and the WoW64 folder exists only for the
        // NT family on a 64-bit system.
        EXPECT_EQ(facts["folderAfter"], "0");
        EXPECT_FALSE(facts["windows"].empty());
        EXPECT_EQ(!facts["wow64"].empty(), x64 && ntFamily) << facts["wow64"];
        EXPECT_EQ(facts["sdcontrol"], "1");
    }
}
