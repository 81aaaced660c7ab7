// Multi-string search and prefix removal, over data that ends right at an inaccessible page.
#include "foundation/filterlistutil.h"
#include "guardedbytes.h"

#include <gtest/gtest.h>
#include <cstdlib>
#include <string>

namespace {

using namespace std::string_literals;

struct FindCase {
    const char* comment;
    std::string list;
    const char* text;
    int expected;
};

TEST(MultiSzFind, Table)
{
    const FindCase cases[] = {
        {"first entry", "Abc\0def\0\0"s, "abc", 0},
        {"later entry, case ignored", "abc\0def\0\0"s, "DEF", 4},
        {"a prefix is not a match", "abcd\0\0"s, "abc", -1},
        {"not present", "abc\0def\0\0"s, "xyz", -1},
        {"entries after an empty entry are not seen", "abc\0\0def\0\0"s, "def", -1},
        {"unterminated last entry still matches", "abc\0de"s, "de", 4},
        {"unterminated last entry, longer text", "abc\0de"s, "def", -1},
        {"no terminator at all", "abc"s, "abcd", -1},
    };
    for (const FindCase& c : cases) {
        GuardedBytes bytes(c.list);
        EXPECT_EQ(MultiSzFind(bytes.data(), static_cast<int>(c.list.size()), c.text), c.expected)
            << c.comment;
    }
}

TEST(MultiSzFind, EmptyOrNullInputsFindNothing)
{
    GuardedBytes bytes("abc\0\0"s);
    EXPECT_EQ(MultiSzFind(bytes.data(), 0, "abc"), -1) << "size 0";
    EXPECT_EQ(MultiSzFind(nullptr, 5, "abc"), -1) << "null list";
    EXPECT_EQ(MultiSzFind(bytes.data(), 5, nullptr), -1) << "null text";
}

struct RemoveCase {
    const char* comment;
    std::string list;
    const char* name;
    int expectedSize;  // 0 unchanged, 1 emptied, else the new size
    std::string expectedList;
};

TEST(MultiSzRemovePrefix, Table)
{
    const RemoveCase cases[] = {
        {"both older names go, a shorter entry stays", "dorqvorn\0DORQVORNZEMK\0DORQ\0partmgr\0\0"s,
         "DORQVORN", 14, "DORQ\0partmgr\0\0"s},
        {"everything dropped", "DorqVorn\0dorqvornzemk\0\0"s, "dorqvorn", 1, ""},
        {"nothing dropped", "partmgr\0fvevol\0\0"s, "dorqvorn", 0, ""},
        {"extra closing NULs are rewritten", "partmgr\0\0\0"s, "dorqvorn", 9, "partmgr\0\0"s},
        {"only closing NULs: emptied", "\0\0"s, "dorqvorn", 1, ""},
        {"missing closing empty string", "partmgr\0"s, "dorqvorn", 9, "partmgr\0\0"s},
        {"missing last NUL too", "partmgr"s, "dorqvorn", 9, "partmgr\0\0"s},
        {"dropped entry, unterminated rest of the same size", "x\0ab"s, "x", 4, "ab\0\0"s},
        {"entries after an empty entry are dropped with the rewrite", "a\0\0dorqvorn\0\0"s, "dorqvorn", 3,
         "a\0\0"s},
        {"an empty name drops nothing", "partmgr\0\0"s, "", 0, ""},
    };
    for (const RemoveCase& c : cases) {
        GuardedBytes bytes(c.list);
        char* out = reinterpret_cast<char*>(1);
        int outSize = -1;
        ASSERT_TRUE(
            MultiSzRemovePrefix(bytes.data(), static_cast<int>(c.list.size()), c.name, &out, &outSize))
            << c.comment;
        EXPECT_EQ(outSize, c.expectedSize) << c.comment;
        if (c.expectedSize <= 1) {
            EXPECT_EQ(out, nullptr) << c.comment;
        } else if (out) {
            EXPECT_EQ(std::string(out, outSize), c.expectedList) << c.comment;
        } else {
            ADD_FAILURE() << c.comment << ": no list";
        }
        free(out);
    }
}

TEST(MultiSzRemovePrefix, NullNameFailsAndNullListIsUnchanged)
{
    char* out = nullptr;
    int outSize = -1;
    EXPECT_FALSE(MultiSzRemovePrefix("a\0\0", 3, nullptr, &out, &outSize));
    EXPECT_TRUE(MultiSzRemovePrefix(nullptr, 3, "a", &out, &outSize));
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(outSize, 0);
}

}  // namespace
