// Test fixture: the message catalogue over message files the test holds as
// fake resources, both emptied before and after each test.
#pragma once

#include "foundation/msgcatalogue.h"

#include "fakebinres.h"

#include <gtest/gtest.h>

#include <string>

class MessageFilesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetMsgCatalogue();
        FakeBinRes::Clear();
    }
    void TearDown() override
    {
        ResetMsgCatalogue();
        FakeBinRes::Clear();
    }
    static void SetFile(uint16_t id, const std::wstring& body) { FakeBinRes::Set(id, Utf16Bytes(body)); }
};
