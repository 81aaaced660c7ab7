// The real message files and licence texts, as this test carries them among its resources and
// as Setup.exe carries them: every file parses and holds every id exactly once, in order,
// under its own name, with the English texts as given and translations whose placeholders
// match the English ones.
#include "foundation/fileutil.h"
#include "foundation/msgcatalogue.h"
#include "foundation/msgids.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct MessageFile {
    uint16_t resourceId;
    const char* code;
    const wchar_t* name;  // its message 20001
};

const MessageFile ShippedFiles[] = {
    {21000, "ENG", L"English"}, {21001, "CHT", L"繁體中文"}, {21002, "CHS", L"简体中文"},
    {21003, "JPN", L"日本語"},  {21004, "KOR", L"한국어"},   {21005, "FRA", L"Français"},
    {21006, "DEU", L"Deutsch"}, {21007, "ESN", L"Español"},  {21013, "RUS", L"Русский"},
};
// For the wizard's right-to-left tests; not in Setup.exe.
const MessageFile TestOnlyFiles[] = {
    {21015, "ARA", L"العربية"},
};
const uint16_t ShippedLicences[] = {21100, 21101, 21102};

const struct {
    int id;
    const wchar_t* text;
} EnglishTexts[] = {
    {20001, L"English"},
    {20002, L"Yes"},
    {20003, L"No"},
    {20004, L"OK"},
    {20005, L"Cancel"},
    {20007, L"Select your language"},
    {20010, L"Initialization failed."},
    {20011, L"Memory allocation failed."},
    {20012, L"%s does not support %s."},
    {20020, L"Quit"},
    {20021, L"< Back"},
    {20022, L"Next >"},
    {20023, L"Done"},
    {20024, L"Installing..."},
    {20025, L"Installation complete."},
    {20027, L"Reboot Now"},
    {20028, L"Reboot Later"},
    {20030, L"Options"},
    {20031, L"Install"},
    {20032, L"Welcome to the Setup Wizard"},
    {20033, L"I have read and accepted the Licensing Agreement."},
    {20034, L"Licensing Agreement of %s "},
    {20036, L"Install location"},
    {20037, L"Create desktop shortcut"},
    {20038, L"Auto-launch after startup"},
    {20039, L"%s setup is not complete. Are you sure you want to quit?"},
    {20043, L"%s Version %s is already installed. Do you want to replace Version %s ?"},
    {20044, L"The running application could not be closed. Close it and click Install again."},
};

std::wstring Resource(HMODULE module, uint16_t id)
{
    HRSRC resource = FindResourceA(module, MAKEINTRESOURCEA(id), "BINRES");
    HGLOBAL loaded = resource ? LoadResource(module, resource) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data)
        return L"<missing>";
    const DWORD size = SizeofResource(module, resource);
    if (size % 2)
        return L"<odd size>";
    return std::wstring(static_cast<const wchar_t*>(data), size / 2);
}

// The "%" and "\" sequences of a text, in order: what FormatMsg and the catalogue act on.
std::vector<std::wstring> Placeholders(const std::wstring& text)
{
    std::vector<std::wstring> found;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == L'%' || text[i] == L'\\') {
            found.push_back(text.substr(i, 2));
            i++;
        }
    }
    return found;
}

// The raw file: the mark, then lines each ended by CR LF, made of an id, a TAB and a text
// without control characters. Returns the lines' ids and texts.
void SplitFile(const std::wstring& file, std::vector<int>* ids, std::vector<std::wstring>* texts)
{
    ASSERT_GE(file.size(), 1u);
    ASSERT_EQ(file[0], 0xFEFF) << "the byte-order mark";
    size_t start = 1;
    while (start < file.size()) {
        const size_t end = file.find(L"\r\n", start);
        ASSERT_NE(end, std::wstring::npos) << "the last line ends with CR LF too";
        const std::wstring line = file.substr(start, end - start);
        const size_t tab = line.find(L'\t');
        ASSERT_NE(tab, std::wstring::npos) << "a TAB after the id";
        ids->push_back(std::stoi(line.substr(0, tab)));
        texts->push_back(line.substr(tab + 1));
        for (wchar_t c : texts->back())
            ASSERT_GE(c, 0x20) << "a control character in the text of " << ids->back();
        start = end + 2;
    }
}

void CheckMessageFile(HMODULE module, const MessageFile& file)
{
    SCOPED_TRACE(file.code);
    std::vector<int> ids;
    std::vector<std::wstring> texts;
    SplitFile(Resource(module, file.resourceId), &ids, &texts);
    ASSERT_EQ(ids, std::vector<int>(std::begin(AllMessageIds), std::end(AllMessageIds)))
        << "every id once, in id order";
    ASSERT_EQ(std::size(EnglishTexts), ids.size());
    for (size_t i = 0; i < ids.size(); i++) {
        EXPECT_FALSE(texts[i].empty()) << ids[i];
        EXPECT_EQ(Placeholders(texts[i]), Placeholders(EnglishTexts[i].text)) << ids[i];
    }
    EXPECT_EQ(texts[0], file.name);
}

TEST(MessageFiles, EachHoldsEveryIdOnceWithMatchingPlaceholders)
{
    for (const MessageFile& file : ShippedFiles)
        CheckMessageFile(nullptr, file);
    for (const MessageFile& file : TestOnlyFiles)
        CheckMessageFile(nullptr, file);
}

TEST(MessageFiles, TheEnglishTextsAreExact)
{
    std::vector<int> ids;
    std::vector<std::wstring> texts;
    SplitFile(Resource(nullptr, 21000), &ids, &texts);
    ASSERT_EQ(ids.size(), std::size(EnglishTexts));
    for (size_t i = 0; i < ids.size(); i++) {
        EXPECT_EQ(ids[i], EnglishTexts[i].id);
        EXPECT_EQ(texts[i], EnglishTexts[i].text) << ids[i];
    }
}

TEST(MessageFiles, TheCatalogueLoadsThemAll)
{
    ResetMsgCatalogue();
    ASSERT_TRUE(CreateMsgCatalogueFrom(LockBinRes, "KOR"));
    std::vector<std::string> codes;
    for (clDorqObject* node = LanguageList->First(); node; node = node->next)
        codes.push_back(static_cast<clMsgObject*>(node)->code);
    EXPECT_EQ(codes, (std::vector<std::string>{"ENG", "CHT", "CHS", "JPN", "KOR", "FRA", "DEU", "ESN", "RUS",
                                               "ARA"}));
    EXPECT_STREQ(CurrentLanguageCode(), "KOR");
    for (int id : AllMessageIds)
        EXPECT_NE(MessageText(id), nullptr) << id;
    EXPECT_EQ(std::wstring(MessageText(MsgLicenceTitle)), L"%s 사용권 계약 ");
    ResetMsgCatalogue();
}

TEST(LicenceTexts, UnicodeTextsWithTheMarkAndCrLfLines)
{
    for (uint16_t id : ShippedLicences) {
        const std::wstring text = Resource(nullptr, id);
        ASSERT_GT(text.size(), 100u) << id;
        EXPECT_EQ(text[0], 0xFEFF) << id;
        EXPECT_EQ(text.substr(text.size() - 2), L"\r\n") << id;
        for (size_t i = 0; i < text.size(); i++) {
            if (text[i] == L'\n')
                EXPECT_EQ(text[i - 1], L'\r') << id << " at " << i;
        }
    }
}

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

TEST(SetupTexts, SetupCarriesTheShippedTextsOnly)
{
    HMODULE setup = LoadLibraryExA(WindowsPath(SETUP_EXE).c_str(), nullptr,
                                   LOAD_LIBRARY_AS_DATAFILE | DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(setup, nullptr) << GetLastError();
    for (const MessageFile& file : ShippedFiles)
        EXPECT_EQ(Resource(setup, file.resourceId), Resource(nullptr, file.resourceId)) << file.code;
    for (uint16_t id : ShippedLicences)
        EXPECT_EQ(Resource(setup, id), Resource(nullptr, id)) << id;
    for (const MessageFile& file : TestOnlyFiles)
        EXPECT_EQ(Resource(setup, file.resourceId), L"<missing>") << file.code;
    FreeLibrary(setup);
}

}  // namespace
