// Counted strings and list helpers.
#include <emu/kernel.h>
#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Strings, InitCountsBytesWithoutTheNul)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"abc");
    EXPECT_EQ(s.Length, 6);
    EXPECT_EQ(s.MaximumLength, 8);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

struct CopyCase {
    const char16_t* source;
    USHORT destMax;
    USHORT wantLength;
    bool wantNul;
};

TEST(Strings, CopyTruncatesToTheDestinationAndAddsANulWhenThereIsRoom)
{
    const CopyCase cases[] = {
        {u"abcd", 10, 8, true},  // room for the NUL
        {u"abcd", 8, 8, false},  // exactly the text, no NUL
        {u"abcd", 6, 6, false},  // truncated
        {u"abcd", 7, 6, false},  // odd room: whole characters only
        {u"", 4, 0, true},
    };
    for (const CopyCase& c : cases) {
        char16_t buffer[8];
        for (char16_t& ch : buffer)
            ch = u'#';
        UNICODE_STRING dest = {0, c.destMax, buffer};
        UNICODE_STRING source;
        RtlInitUnicodeString(&source, c.source);
        RtlCopyUnicodeString(&dest, &source);
        EXPECT_EQ(dest.Length, c.wantLength) << std::u16string(c.source).size() << " into " << c.destMax;
        EXPECT_EQ(buffer[c.wantLength / 2] == 0, c.wantNul) << c.destMax;
    }
    char16_t buffer[4] = {u'x'};
    UNICODE_STRING dest = {2, 8, buffer};
    RtlCopyUnicodeString(&dest, nullptr);
    EXPECT_EQ(dest.Length, 0) << "a null source empties the destination";
}

TEST(Strings, CompareIgnoresCaseOnRequest)
{
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, u"Services\\Tolvarn");
    RtlInitUnicodeString(&b, u"SERVICES\\tolvarn");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
}

TEST(Lists, InsertAndRemoveKeepOrder)
{
    LIST_ENTRY head, e[3];
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    InsertTailList(&head, &e[1]);
    InsertTailList(&head, &e[2]);
    InsertHeadList(&head, &e[0]);
    EXPECT_EQ(RemoveHeadList(&head), &e[0]);
    EXPECT_EQ(RemoveTailList(&head), &e[2]);
    EXPECT_TRUE(RemoveEntryList(&e[1])) << "list is empty afterwards";
    EXPECT_TRUE(IsListEmpty(&head));
}

TEST(Lists, InterlockedOperationsReturnThePreviousHead)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head, a, b;
    InitializeListHead(&head);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(lock, 0u) << "released";
}

}  // namespace
