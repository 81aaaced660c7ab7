// The OS classification, names and support check over given version records.
#include "foundation/osinfo.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A platform that reports fixed facts and counts the questions asked.
class FakePlatform : public OsPlatform {
public:
    bool versionOk = true;
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    DWORD major = 0, minor = 0;
    DWORD ntMajor = 0, ntMinor = 0;
    bool server = false;
    WORD processor = PROCESSOR_ARCHITECTURE_AMD64;

    int versionCalls = 0, ntVersionCalls = 0, serverCalls = 0, processorCalls = 0;
    int bindNtCalls = 0, bind9xCalls = 0;

    bool GetVersion(DWORD* outMajor, DWORD* outMinor, DWORD* outPlatformId) override
    {
        versionCalls++;
        *outMajor = versionOk ? major : 0;
        *outMinor = versionOk ? minor : 0;
        *outPlatformId = versionOk ? platformId : 0;
        return versionOk;
    }
    void GetNtVersionNumbers(DWORD* outMajor, DWORD* outMinor, DWORD* outBuild) override
    {
        ntVersionCalls++;
        *outMajor = ntMajor;
        *outMinor = ntMinor;
        *outBuild = 0;
    }
    bool IsServerProduct() override
    {
        serverCalls++;
        return server;
    }
    WORD GetProcessorArchitecture() override
    {
        processorCalls++;
        return processor;
    }
    void BindEntryPoints(bool ntFamily) override { (ntFamily ? bindNtCalls : bind9xCalls)++; }
};

OsInfoRecord Undetected()
{
    return OsInfoRecord{OS_UNKNOWN, OS_ARCH_UNKNOWN, false};
}

std::string Narrow(const wchar_t* text)
{
    std::string s;
    for (; *text; text++)
        s += char(*text);
    return s;
}

}  // namespace

TEST(OsClassification, Windows9xVersions)
{
    struct Case {
        DWORD major, minor;
        int32_t type;
    };
    const Case cases[] = {
        {4, 0, OS_WIN95},   {4, 10, OS_WIN98},  {4, 90, OS_WINME},  {4, 3, OS_WINME},
        {3, 0, OS_UNKNOWN}, {5, 0, OS_UNKNOWN}, {0, 0, OS_UNKNOWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Classify9xVersion(c.major, c.minor), c.type) << c.major << "." << c.minor;
}

TEST(OsClassification, ProcessorArchitectures)
{
    struct Case {
        WORD processor;
        int32_t arch;
    };
    const Case cases[] = {
        {0, OS_ARCH_X86},          {9, OS_ARCH_X64}, {6, OS_ARCH_IA64}, {12, OS_ARCH_UNKNOWN},  // ARM64
        {5, OS_ARCH_UNKNOWN},                                                                   // ARM
        {0xFFFF, OS_ARCH_UNKNOWN},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MapProcessorArch(c.processor), c.arch) << c.processor;
}

TEST(OsClassification, NtVersions)
{
    const int32_t native = 99;  // marks "the native architecture"
    struct Case {
        DWORD major, minor;
        int32_t workstation, server;  // the type on each product type
        int32_t arch;                 // OS_ARCH_X86, or native
        bool asksServer;
    };
    const Case cases[] = {
        {3, 51, OS_WINNT, OS_WINNT, OS_ARCH_X86, false},
        {4, 0, OS_WINNT, OS_WINNT, OS_ARCH_X86, true},
        {5, 0, OS_WIN2000, OS_WIN2000, OS_ARCH_X86, true},
        {5, 1, OS_WINXP, OS_WINXP, native, true},
        {5, 2, OS_WINXP, OS_WIN2003, native, true},
        {5, 3, OS_WINXP, OS_WIN2003, native, true},
        {6, 0, OS_VISTA, OS_WIN2008, native, true},
        {6, 1, OS_WIN7, OS_WIN2008, native, true},
        {6, 2, OS_WIN8, OS_WIN8, native, true},
        {6, 3, OS_WIN81, OS_WIN81, native, true},
        {6, 4, OS_WIN81, OS_WIN81, native, true},
        {10, 0, OS_WIN10, OS_WIN10, native, true},
        {7, 0, OS_WIN10, OS_WIN10, native, true},
    };
    const WORD processors[] = {PROCESSOR_ARCHITECTURE_INTEL, PROCESSOR_ARCHITECTURE_AMD64,
                               PROCESSOR_ARCHITECTURE_IA64, 0xFFFF};
    for (const Case& c : cases) {
        for (bool server : {false, true}) {
            for (WORD processor : processors) {
                FakePlatform platform;
                platform.server = server;
                platform.processor = processor;
                OsInfoRecord info = Undetected();
                ClassifyNtVersionWith(platform, c.major, c.minor, info);
                std::string row = std::to_string(c.major) + "." + std::to_string(c.minor) +
                                  (server ? " server" : " workstation") + " cpu " + std::to_string(processor);
                EXPECT_EQ(info.type, server ? c.server : c.workstation) << row;
                EXPECT_EQ(info.arch, c.arch == native ? MapProcessorArch(processor) : c.arch) << row;
                EXPECT_EQ(info.server, server && c.asksServer) << row;
                EXPECT_EQ(platform.serverCalls, c.asksServer ? 1 : 0) << row;
                EXPECT_EQ(platform.processorCalls, c.arch == native ? 1 : 0)
                    << row << ": older systems get x86 without asking the processor";
            }
        }
    }
}

TEST(OsNames, DependOnTypeArchitectureAndServer)
{
    struct Case {
        int32_t type, arch;
        bool server;
        const char* name;
    };
    const Case cases[] = {
        {OS_WIN95, OS_ARCH_X86, false, "Windows 95"},
        {OS_WIN98, OS_ARCH_X64, false, "Windows 98"},
        {OS_WINME, OS_ARCH_X86, true, "Windows ME"},
        {OS_WINNT, OS_ARCH_X86, false, "Windows NT"},
        {OS_WINNT, OS_ARCH_X86, true, "Windows NT Server"},
        {OS_WIN2000, OS_ARCH_X86, false, "Windows 2000"},
        {OS_WIN2000, OS_ARCH_X86, true, "Windows 2000 Server"},
        {OS_WINXP, OS_ARCH_X86, false, "Windows XP"},
        {OS_WINXP, OS_ARCH_X64, false, "Windows XP (x64)"},
        {OS_WINXP, OS_ARCH_IA64, false, "Windows XP (ia64)"},
        {OS_WINXP, OS_ARCH_UNKNOWN, false, "Windows XP"},
        {OS_WIN2003, OS_ARCH_X64, true, "Windows Server 2003 (x64)"},
        {OS_WIN2003, OS_ARCH_X86, true, "Windows Server 2003"},
        {OS_VISTA, OS_ARCH_X64, false, "Windows Vista (x64)"},
        {OS_WIN2008, OS_ARCH_X64, true, "Windows Server 2008 (x64)"},
        {OS_WIN2008, OS_ARCH_IA64, true, "Windows Server 2008 (ia64)"},
        {OS_WIN7, OS_ARCH_X86, false, "Windows 7"},
        {OS_WIN8, OS_ARCH_X64, true, "Windows 8 (x64)"},  // the server flag renames only NT and 2000
        {OS_WIN81, OS_ARCH_X86, true, "Windows 8.1"},
        {OS_WIN10, OS_ARCH_X64, true, "Windows 10 (x64)"},
        {OS_WIN10, OS_ARCH_IA64, false, "Windows 10 (ia64)"},
        {OS_UNKNOWN, OS_ARCH_X64, false, "This Windows version"},
        {13, OS_ARCH_X86, false, "This Windows version"},
        {-7, OS_ARCH_X86, true, "This Windows version"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Narrow(OsDisplayName(c.type, c.arch, c.server)), c.name)
            << c.type << " " << c.arch << " " << c.server;
}

TEST(OsSupport, XpOrLaterOnX86OrX64)
{
    for (int32_t type = -2; type <= 13; type++) {
        for (int32_t arch : {-1, 0, 1, 2, 3}) {
            for (bool server : {false, true}) {
                bool expected =
                    type >= OS_WINXP && type <= OS_WIN10 && (arch == OS_ARCH_X86 || arch == OS_ARCH_X64);
                EXPECT_EQ(IsSupportedSystem(OsInfoRecord{type, arch, server}), expected)
                    << type << " " << arch << " " << server;
            }
        }
    }
}

TEST(OsDetection, ClassifiesTheReportedSystem)
{
    struct Case {
        const char* what;
        DWORD platformId, major, minor, ntMajor, ntMinor;
        bool server;
        WORD processor;
        int32_t type, arch;
        int bindNt, bind9x;
    };
    const Case cases[] = {
        {"Windows 10 reports 6.2", VER_PLATFORM_WIN32_NT, 6, 2, 10, 0, false, 9, OS_WIN10, OS_ARCH_X64, 1, 0},
        {"Windows 8.1 reports 6.2", VER_PLATFORM_WIN32_NT, 6, 2, 6, 3, false, 9, OS_WIN81, OS_ARCH_X64, 1, 0},
        {"no NT numbers: the reported version decides", VER_PLATFORM_WIN32_NT, 5, 2, 0, 0, true, 0,
         OS_WIN2003, OS_ARCH_X86, 1, 0},
        {"XP x64 edition", VER_PLATFORM_WIN32_NT, 5, 2, 5, 2, false, 9, OS_WINXP, OS_ARCH_X64, 1, 0},
        {"Server 2008 R2", VER_PLATFORM_WIN32_NT, 6, 1, 6, 1, true, 9, OS_WIN2008, OS_ARCH_X64, 1, 0},
        {"Windows 2000", VER_PLATFORM_WIN32_NT, 5, 0, 5, 0, false, 9, OS_WIN2000, OS_ARCH_X86, 1, 0},
        {"Windows 98", VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0, 0, false, 9, OS_WIN98, OS_ARCH_X86, 0, 1},
        {"Windows ME", VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0, 0, false, 9, OS_WINME, OS_ARCH_X86, 0, 1},
        {"an unknown 9x major", VER_PLATFORM_WIN32_WINDOWS, 5, 0, 0, 0, false, 9, OS_UNKNOWN, OS_ARCH_UNKNOWN,
         0, 0},
        {"Win32s", VER_PLATFORM_WIN32s, 3, 10, 0, 0, false, 9, OS_UNKNOWN, OS_ARCH_UNKNOWN, 0, 0},
    };
    for (const Case& c : cases) {
        FakePlatform platform;
        platform.platformId = c.platformId;
        platform.major = c.major;
        platform.minor = c.minor;
        platform.ntMajor = c.ntMajor;
        platform.ntMinor = c.ntMinor;
        platform.server = c.server;
        platform.processor = c.processor;
        OsInfoRecord info = Undetected();
        DetectOsWith(platform, info);
        EXPECT_EQ(info.type, c.type) << c.what;
        EXPECT_EQ(info.arch, c.arch) << c.what;
        EXPECT_EQ(platform.bindNtCalls, c.bindNt) << c.what;
        EXPECT_EQ(platform.bind9xCalls, c.bind9x) << c.what;
        if (c.platformId == VER_PLATFORM_WIN32_WINDOWS) {
            EXPECT_EQ(platform.processorCalls, 0) << c.what << ": 9x gets x86 without asking";
            EXPECT_EQ(platform.ntVersionCalls, 0) << c.what;
            EXPECT_FALSE(info.server) << c.what;
        }
    }
}

TEST(OsDetection, DetectsOnceButRetriesAnUnknownSystem)
{
    FakePlatform known;
    known.major = 6;
    known.minor = 1;
    known.ntMajor = 6;
    known.ntMinor = 1;
    OsInfoRecord info = Undetected();
    DetectOsWith(known, info);
    DetectOsWith(known, info);
    EXPECT_EQ(info.type, OS_WIN7);
    EXPECT_EQ(known.versionCalls, 1);
    EXPECT_EQ(known.bindNtCalls, 1);

    for (DWORD platformId : {DWORD(VER_PLATFORM_WIN32_WINDOWS), DWORD(7)}) {
        FakePlatform unknown;
        unknown.platformId = platformId;
        unknown.major = 6;
        OsInfoRecord again = Undetected();
        DetectOsWith(unknown, again);
        DetectOsWith(unknown, again);
        EXPECT_EQ(again.type, OS_UNKNOWN) << platformId;
        EXPECT_EQ(unknown.versionCalls, 2) << platformId << ": an unknown system is detected again";
    }

    FakePlatform failing;
    failing.versionOk = false;
    OsInfoRecord failed = {OS_UNKNOWN, OS_ARCH_X64, true};
    DetectOsWith(failing, failed);
    EXPECT_EQ(failed.type, OS_UNKNOWN);
    EXPECT_EQ(failed.arch, OS_ARCH_UNKNOWN);
    EXPECT_FALSE(failed.server);
    EXPECT_FALSE(IsSupportedSystem(failed));
    EXPECT_EQ(Narrow(OsDisplayName(failed.type, failed.arch, failed.server)), "This Windows version");
}
