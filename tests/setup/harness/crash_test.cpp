// A test that crashes on purpose: check-crash.sh runs it to show that a crash under Wine
// ends the test at once and is reported, not left to a crash dialog and the timeout.
#include <gtest/gtest.h>

TEST(Crash, WriteThroughANullPointer)
{
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    FAIL() << "the write did not crash";
}
