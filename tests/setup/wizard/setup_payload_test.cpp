// Setup.exe's resources: every payload file of the build is inside it byte for byte under
// its "BINRES" id, and the manifest is there.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

// A Unix path of the build as Wine sees it.
std::string WindowsPath(std::string path)
{
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

std::string FileBytes(const std::string& path)
{
    std::ifstream in(WindowsPath(path), std::ios::binary);
    if (!in)
        return "<missing>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The resource bytes in module, or "<missing>".
std::string ResourceBytes(HMODULE module, WORD id, const char* type)
{
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), type);
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return "<missing>";
    return std::string(static_cast<const char*>(data), SizeofResource(module, resource));
}

struct SetupModule {
    HMODULE module = LoadLibraryExA(WindowsPath(SETUP_EXE).c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | DONT_RESOLVE_DLL_REFERENCES);
    ~SetupModule()
    {
        if (module)
            FreeLibrary(module);
    }
};

TEST(SetupPayload, EveryPayloadFileIsInsideByteForByte)
{
    SetupModule setup;
    ASSERT_NE(setup.module, nullptr) << GetLastError();

    // The generated list of the build: `<id> BINRES "<file>"` per line.
    std::ifstream list(WindowsPath(PAYLOAD_RC));
    ASSERT_TRUE(list) << PAYLOAD_RC;
    const std::regex entry("^([0-9]+) BINRES \"(.*)\"$");
    std::set<int> ids;
    std::string line;
    while (std::getline(list, line)) {
        std::smatch match;
        if (!std::regex_match(line, match, entry))
            continue;
        int id = std::stoi(match[1]);
        ids.insert(id);
        std::string expected = FileBytes(match[2]);
        ASSERT_NE(expected, "<missing>") << match[2];
        std::string stored = ResourceBytes(setup.module, WORD(id), "BINRES");
        EXPECT_EQ(stored.size(), expected.size()) << id;
        EXPECT_TRUE(stored == expected) << "resource " << id << " differs from " << match[2];
        EXPECT_EQ(stored.substr(0, 2), "MZ") << id;
    }
    // The uninstaller, the application and both proxy drivers are always there.
    for (int id : {21400, 21401, 21410, 21412})
        EXPECT_TRUE(ids.count(id)) << id;
    EXPECT_EQ(ResourceBytes(setup.module, 9999, "BINRES"), "<missing>");

    std::string manifest = ResourceBytes(setup.module, 1, MAKEINTRESOURCEA(24));
    EXPECT_NE(manifest.find("requireAdministrator"), std::string::npos) << manifest;
}

}  // namespace
