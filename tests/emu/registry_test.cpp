// The registry as the driver sees it through Zw calls.
#include <emu/machine.h>
#include <gtest/gtest.h>

#include <string>

namespace {

const std::u16string kService = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\Tolvarn";

struct Key {
    HANDLE handle = nullptr;
    ~Key()
    {
        if (handle)
            ZwClose(handle);
    }
};

NTSTATUS Open(const std::u16string& path, ACCESS_MASK access, Key* key)
{
    UNICODE_STRING name = {(USHORT)(path.size() * 2), (USHORT)(path.size() * 2), (PWSTR)path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwOpenKey(&key->handle, access, &attributes);
}

NTSTATUS Create(const std::u16string& path, Key* key, ULONG* disposition)
{
    UNICODE_STRING name = {(USHORT)(path.size() * 2), (USHORT)(path.size() * 2), (PWSTR)path.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    return ZwCreateKey(&key->handle, KEY_ALL_ACCESS, &attributes, 0, NULL, REG_OPTION_NON_VOLATILE,
                       disposition);
}

UNICODE_STRING Name(const char16_t* text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST(Registry, ServiceKeyIsThereAndNamesIgnoreCase)
{
    emu::Machine machine;
    Key key;
    EXPECT_EQ(Open(u"\\registry\\machine\\system\\controlset001\\services\\TOLVARN", KEY_READ, &key),
              STATUS_SUCCESS);
    Key missing;
    EXPECT_EQ(Open(kService + u"\\Nope", KEY_READ, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Registry, CreateMakesOnlyTheLastComponent)
{
    emu::Machine machine;
    Key a, b, c;
    ULONG disposition = 0;
    EXPECT_EQ(Create(kService + u"\\Disk_1", &a, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_CREATED_NEW_KEY);
    EXPECT_EQ(Create(kService + u"\\DISK_1", &b, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, (ULONG)REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(Create(kService + u"\\No\\Parent", &c, &disposition), STATUS_OBJECT_NAME_NOT_FOUND);
    // Counted names may hold any unit, NUL and U+FFFF included.
    std::u16string odd = kService + u"\\A";
    odd += char16_t(0);
    odd += char16_t(0xFFFF);
    Key d;
    EXPECT_EQ(Create(odd, &d, &disposition), STATUS_SUCCESS);
    EXPECT_TRUE(emu::reg::KeyExists(odd));
    EXPECT_FALSE(emu::reg::KeyExists(kService + u"\\A"));
}

struct QueryCase {
    ULONG dataBytes;
    ULONG bufferBytes;
    NTSTATUS expected;
};

TEST(Registry, PartialInformationSizeRules)
{
    emu::Machine machine;
    const QueryCase cases[] = {
        {4, 20, STATUS_SUCCESS},         {8, 20, STATUS_SUCCESS},          {9, 20, STATUS_BUFFER_OVERFLOW},
        {4, 12, STATUS_BUFFER_OVERFLOW}, {4, 11, STATUS_BUFFER_TOO_SMALL}, {0, 12, STATUS_SUCCESS},
    };
    for (const QueryCase& c : cases) {
        std::vector<uint8_t> data(c.dataBytes, 0xAB);
        emu::reg::SetValue(kService, u"V", REG_BINARY, data.data(), data.size());
        Key key;
        ASSERT_EQ(Open(kService, KEY_READ, &key), STATUS_SUCCESS);
        std::vector<uint8_t> buffer(c.bufferBytes + 1, 0xEE);
        ULONG result = 0;
        UNICODE_STRING name = Name(u"V");
        NTSTATUS status = ZwQueryValueKey(key.handle, &name, KeyValuePartialInformation, buffer.data(),
                                          c.bufferBytes, &result);
        EXPECT_EQ(status, c.expected) << c.dataBytes << " bytes into " << c.bufferBytes;
        EXPECT_EQ(result, 12 + c.dataBytes);
        auto* info = (KEY_VALUE_PARTIAL_INFORMATION*)buffer.data();
        if (status != STATUS_BUFFER_TOO_SMALL) {
            EXPECT_EQ(info->Type, (ULONG)REG_BINARY);
            EXPECT_EQ(info->DataLength, c.dataBytes);
        }
        if (status == STATUS_SUCCESS && c.dataBytes) {
            EXPECT_EQ(info->Data[c.dataBytes - 1], 0xAB);
        }
        EXPECT_EQ(buffer[c.bufferBytes], 0xEE) << "nothing written past the buffer";
    }
    Key key;
    ASSERT_EQ(Open(kService, KEY_READ, &key), STATUS_SUCCESS);
    UNICODE_STRING missing = Name(u"Missing");
    uint8_t buffer[32];
    ULONG result;
    EXPECT_EQ(
        ZwQueryValueKey(key.handle, &missing, KeyValuePartialInformation, buffer, sizeof buffer, &result),
        STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Registry, SetValueIsCountedCanFailAndNeedsWriteAccess)
{
    emu::Machine machine;
    Key reader, writer;
    ASSERT_EQ(Open(kService, KEY_READ, &reader), STATUS_SUCCESS);
    ASSERT_EQ(Open(kService, KEY_ALL_ACCESS, &writer), STATUS_SUCCESS);
    UNICODE_STRING name = Name(u"ConfigType");
    ULONG one = 1;
    EXPECT_EQ(ZwSetValueKey(reader.handle, &name, 0, REG_DWORD, &one, 4), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwSetValueKey(writer.handle, &name, 0, REG_DWORD, &one, 4), STATUS_SUCCESS);
    EXPECT_EQ(emu::reg::SetValueCount(), 1u);
    EXPECT_EQ(emu::reg::GetDword(kService, u"configtype"), 1u);
    emu::reg::FailSetValue(1, STATUS_INSUFFICIENT_RESOURCES);
    ULONG two = 2;
    EXPECT_EQ(ZwSetValueKey(writer.handle, &name, 0, REG_DWORD, &two, 4), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(emu::reg::GetDword(kService, u"ConfigType"), 1u) << "a failed write changes nothing";
    EXPECT_EQ(ZwSetValueKey(writer.handle, &name, 0, REG_DWORD, &two, 4), STATUS_SUCCESS);
    EXPECT_EQ(emu::reg::SetValueCount(), 2u);
}

TEST(Registry, DeleteRefusesKeysWithSubkeysAndDeletedKeysRefuseWork)
{
    emu::Machine machine;
    emu::reg::CreateKey(kService + u"\\Parent\\Child");
    Key parent;
    ASSERT_EQ(Open(kService + u"\\Parent", KEY_ALL_ACCESS, &parent), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(parent.handle), STATUS_CANNOT_DELETE);
    Key child;
    ASSERT_EQ(Open(kService + u"\\Parent\\Child", KEY_ALL_ACCESS, &child), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(child.handle), STATUS_SUCCESS);
    EXPECT_FALSE(emu::reg::KeyExists(kService + u"\\Parent\\Child"));
    UNICODE_STRING name = Name(u"X");
    ULONG v = 0;
    EXPECT_EQ(ZwSetValueKey(child.handle, &name, 0, REG_DWORD, &v, 4), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(parent.handle), STATUS_SUCCESS);
    Key reader;
    ASSERT_EQ(Open(kService, KEY_READ, &reader), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(reader.handle), STATUS_ACCESS_DENIED);
}

TEST(Registry, ZwAtDispatchIsAFault)
{
    emu::Machine machine;
    emu::FaultCatcher catcher;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Key key;
    Open(kService, KEY_READ, &key);
    KeLowerIrql(old);
    EXPECT_TRUE(catcher.Saw(emu::Fault::ZwAtRaisedIrql));
}

}  // namespace
