// Registry values and filter-list removal over a private key of the current user.
#include "foundation/filterlistutil.h"
#include "scratchkey.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <string>

namespace {

using namespace std::string_literals;

const std::string KeyPath = "Software\\TolvarnTest\\filterlist";

TEST(RegReadValue, TypeSizeAndData)
{
    ScratchKey key(HKEY_CURRENT_USER, KeyPath);
    key.Set("text", REG_SZ, "hello\0"s);
    key.Set("empty", REG_BINARY, "");

    uint32_t type = 0;
    uint32_t size = 0;
    void* data = nullptr;
    ASSERT_EQ(RegReadValue(key.get(), "text", REG_SZ, &type, &data, &size), 0);
    EXPECT_EQ(type, static_cast<uint32_t>(REG_SZ));
    EXPECT_EQ(size, 6u);
    ASSERT_NE(data, nullptr);
    EXPECT_STREQ(static_cast<char*>(data), "hello");
    free(data);

    EXPECT_EQ(RegReadValue(key.get(), "text", 0, &type, nullptr, &size), 0) << "any type, size only";
    EXPECT_EQ(RegReadValue(key.get(), "text", REG_MULTI_SZ, nullptr, &data, nullptr), 11) << "another type";
    EXPECT_EQ(RegReadValue(key.get(), "missing", 0, nullptr, &data, nullptr), 2);

    data = reinterpret_cast<void*>(1);
    ASSERT_EQ(RegReadValue(key.get(), "empty", 0, nullptr, &data, &size), 0);
    EXPECT_EQ(data, nullptr) << "an empty value has no block";
    EXPECT_EQ(size, 0u);
}

struct RemoveCase {
    const char* comment;
    bool seeded;  // false: the value does not exist
    DWORD type;
    std::string stored;
    int expectedResult;
    bool expectedChanged;
    bool expectedExists;
    std::string expectedStored;
};

TEST(RegRemoveFromMultiSz, Table)
{
    const RemoveCase cases[] = {
        {"missing value: no change", false, 0, "", 0, false, false, ""},
        {"another type: 11, value kept", true, REG_SZ, "dorqvorn\0"s, 11, false, true, "dorqvorn\0"s},
        {"one entry dropped", true, REG_MULTI_SZ, "partmgr\0dorqvorn\0\0"s, 0, true, true, "partmgr\0\0"s},
        {"emptied: the value is deleted", true, REG_MULTI_SZ, "DORQVORN\0DorqVornZemk\0\0"s, 0, true, false,
         ""},
        {"nothing to drop: untouched", true, REG_MULTI_SZ, "partmgr\0\0"s, 0, false, true, "partmgr\0\0"s},
        {"extra closing NULs: rewritten", true, REG_MULTI_SZ, "partmgr\0\0\0\0"s, 0, true, true,
         "partmgr\0\0"s},
        {"no terminators: rewritten well formed", true, REG_MULTI_SZ, "partmgr"s, 0, true, true,
         "partmgr\0\0"s},
        {"odd byte count, unterminated last entry dropped", true, REG_MULTI_SZ, "partmgr\0dorqvornz"s, 0,
         true, true, "partmgr\0\0"s},
        {"only NULs: deleted", true, REG_MULTI_SZ, "\0\0"s, 0, true, false, ""},
        {"empty value: no change", true, REG_MULTI_SZ, "", 0, false, true, ""},
    };
    for (const RemoveCase& c : cases) {
        ScratchKey key(HKEY_CURRENT_USER, KeyPath);
        if (c.seeded)
            key.Set("UpperFilters", c.type, c.stored);
        // Starts opposite to the expectation; an error must leave it as it was.
        bool changed = c.expectedResult != 0 ? true : !c.expectedChanged;
        EXPECT_EQ(RegRemoveFromMultiSz(key.get(), "UpperFilters", "dorqvorn", &changed), c.expectedResult)
            << c.comment;
        EXPECT_EQ(changed, c.expectedChanged || c.expectedResult != 0) << c.comment;
        DWORD type = 0;
        std::string stored;
        EXPECT_EQ(key.Get("UpperFilters", &type, &stored), c.expectedExists) << c.comment;
        if (c.expectedExists)
            EXPECT_EQ(stored, c.expectedStored) << c.comment;
    }
}

TEST(RemoveDiskFilter, BothListsAreAlwaysProcessed)
{
    struct Case {
        const char* comment;
        DWORD upperType;
        std::string upper;
        DWORD lowerType;
        std::string lower;
        int expectedResult;
        bool expectedRemoved;
    };
    const Case cases[] = {
        {"neither holds the name", REG_MULTI_SZ, "partmgr\0\0"s, REG_MULTI_SZ, "fvevol\0\0"s, 0, false},
        {"upper only", REG_MULTI_SZ, "dorqvorn\0partmgr\0\0"s, REG_MULTI_SZ, "fvevol\0\0"s, 0, true},
        {"lower only", REG_MULTI_SZ, "partmgr\0\0"s, REG_MULTI_SZ, "dorqvornzemk\0\0"s, 0, true},
        {"upper of another type, lower still cleaned", REG_SZ, "dorqvorn\0"s, REG_MULTI_SZ, "dorqvorn\0\0"s,
         11, true},
        {"lower of another type, upper still cleaned", REG_MULTI_SZ, "dorqvorn\0\0"s, REG_DWORD, "\1\0\0\0"s,
         11, true},
    };
    for (const Case& c : cases) {
        ScratchKey key(HKEY_CURRENT_USER, KeyPath);
        key.Set("UpperFilters", c.upperType, c.upper);
        key.Set("LowerFilters", c.lowerType, c.lower);
        bool removed = !c.expectedRemoved;
        EXPECT_EQ(RemoveDiskFilter(key.get(), "DORQVORN", &removed), c.expectedResult) << c.comment;
        EXPECT_EQ(removed, c.expectedRemoved) << c.comment;
        DWORD type = 0;
        std::string stored;
        if (key.Get("UpperFilters", &type, &stored) && type == REG_MULTI_SZ)
            EXPECT_EQ(MultiSzFind(stored.data(), static_cast<int>(stored.size()), "dorqvorn"), -1)
                << c.comment;
        if (key.Get("LowerFilters", &type, &stored) && type == REG_MULTI_SZ)
            EXPECT_EQ(stored.find("dorqvorn"), std::string::npos) << c.comment;
    }
}

}  // namespace
