// Disk identity: sector sizes, ATA strings and the registry key name built
// from them.
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "tolvarn.h"
#include "config.h"
#include "disks.h"
#include "entry.h"
#include "identity.h"
#include "pool.h"

namespace {

// Stores text as an ATA string: the first character of each pair in the
// word's high byte. Text shorter than the field is padded with blanks.
void PutAtaString(UCHAR* identify, ULONG firstWord, ULONG chars, const std::string& text)
{
    for (ULONG i = 0; i < chars; i++) {
        UCHAR c = i < text.size() ? (UCHAR)text[i] : ' ';
        UCHAR* word = identify + 2 * (firstWord + i / 2);
        word[(i & 1) ? 0 : 1] = c;
    }
}

std::u16string KeyName(const UCHAR* identify)
{
    WCHAR name[DiskKeyNameChars + 1];
    memset(name, 0xEE, sizeof name);
    BuildDiskKeyName(identify, name);
    EXPECT_EQ(0, name[DiskKeyNameChars]) << "key name ends with a NUL";
    return std::u16string(name, DiskKeyNameChars);
}

std::u16string Repeat(char16_t c, size_t n)
{
    return std::u16string(n, c);
}

TEST(DiskIdentity, SectorSizeToShift)
{
    struct Case {
        ULONG bytes;
        ULONG shift;
    };
    const Case cases[] = {{512, 9}, {4096, 12}, {520, 0}, {1024, 0}, {2048, 0}, {0, 0}, {8192, 0}};
    for (const Case& c : cases)
        EXPECT_EQ(c.shift, SectorSizeToShift(c.bytes)) << c.bytes << "-byte sectors";
}

TEST(DiskIdentity, AtaStringsTakeTheHighByteFirstAndKeepBlanks)
{
    UCHAR identify[IdentifyDataBytes] = {};
    identify[2 * 27] = 0x42;  // word 27 = 0x4142: high byte 'A', low byte 'B'
    identify[2 * 27 + 1] = 0x41;
    PutAtaString(identify, 28, 38, "CDEFGHIJKLMNOPQRST");  // 20 letters in all, then 20 blanks
    PutAtaString(identify, 10, 20, "        123456789012");

    UCHAR model[AtaModelChars + 1];
    UCHAR serial[AtaSerialChars + 1];
    memset(model, 0xEE, sizeof model);
    memset(serial, 0xEE, sizeof serial);
    AtaModelString(identify, model);
    AtaSerialString(identify, serial);
    EXPECT_EQ(std::string("ABCDEFGHIJKLMNOPQRST                    "),
              std::string((const char*)model, AtaModelChars));
    EXPECT_EQ(0, model[AtaModelChars]);
    EXPECT_EQ(std::string("        123456789012"), std::string((const char*)serial, AtaSerialChars));
    EXPECT_EQ(0, serial[AtaSerialChars]);
}

TEST(DiskIdentity, KeyNameOfAModelWithBlanksAndASerialWithLeadingBlanks)
{
    UCHAR identify[IdentifyDataBytes] = {};
    PutAtaString(identify, 27, 40, "ABCDEFGHIJKLMNOPQRST");
    PutAtaString(identify, 10, 20, "        123456789012");
    EXPECT_EQ(u"ABCDEFGHIJKLMNOPQRST" + Repeat(u'_', 28) + u"123456789012", KeyName(identify));
}

// Device bytes that could choose a key path (backslash), cut a counted name
// short (NUL) or hide in it (control bytes) become '_' like the blank; high
// bytes are sign-extended, printable ones kept.
TEST(DiskIdentity, KeyNameMapsUnsafeBytesAndSignExtendsHighBytes)
{
    struct Case {
        std::string model;
        std::string serial;
        std::u16string expectedStart;
        std::u16string expectedSerial;
    };
    const Case cases[] = {
        {"Enum\\Root", "S1", u"Enum_Root", u"S1"},
        {std::string("AB\0CD", 5), std::string("\x01\x1F\x7F", 3), u"AB_CD", u"__\x7F"},
        {"\xE9\x80\xFF", "\\\\", u"\xFFE9\xFF80\xFFFF", u"__"},
        {"", "", u"", u""},
    };
    for (const Case& c : cases) {
        UCHAR identify[IdentifyDataBytes] = {};
        PutAtaString(identify, 27, 40, c.model);
        PutAtaString(identify, 10, 20, c.serial);
        std::u16string expected = c.expectedStart + Repeat(u'_', 40 - c.expectedStart.size()) +
                                  c.expectedSerial + Repeat(u'_', 20 - c.expectedSerial.size());
        EXPECT_EQ(expected, KeyName(identify)) << "model " << c.model;
    }
}

TEST(DiskIdentity, KeyNameOfTheWord41E9)
{
    UCHAR identify[IdentifyDataBytes] = {};
    PutAtaString(identify, 27, 40, "");
    PutAtaString(identify, 10, 20, "");
    identify[2 * 27] = 0xE9;
    identify[2 * 27 + 1] = 0x41;
    std::u16string name = KeyName(identify);
    EXPECT_EQ(u'A', name[0]);
    EXPECT_EQ(u'\xFFE9', name[1]);
}

}  // namespace

// ---------------------------------------------------------------------------
// Identity read at START on simulated disks
// ---------------------------------------------------------------------------

#include <emu/machine.h>

namespace {

using emu::Disk;
using emu::DiskConfig;
using emu::Machine;

const ULONGLONG StoredId = 0x0102030405060708ull;

std::u16string KeyPathOf(const FilterExtension* ext)
{
    if (!ext->KeyPathValid)
        return u"";
    return std::u16string(ext->KeyPath.Buffer, ext->KeyPath.Length / sizeof(WCHAR));
}

// Stores a master configuration under the key the disk's model and serial give.
void StoreMasterKey(Machine& machine, const std::u16string& keyName)
{
    std::u16string path = machine.RegistryPath() + u"\\" + keyName;
    emu::reg::SetQword(path, u"DorqBrimvaultId", StoredId);
    emu::reg::SetDword(path, u"ConfigType", 1);
}

TEST(DiskIdentityAtStart, TableOfDisks)
{
    struct Case {
        const char* what;
        ULONG sectorSize;
        std::string model, serial;  // empty model: raw IDENTIFY bytes below
        bool identify;
        ULONG shift;
        ULONGLONG lengthSectors;
        ULONG maxTransfer;
        std::u16string keyName;  // empty: no key path
    };
    const ULONGLONG length = 64ull << 20;
    const Case cases[] = {
        {"512-byte sectors", 512, "DISK_A", "SN-1", true, 9, length / 512, 0x100000,
         DiskKeyName(u"DISK_A", u"SN-1")},
        {"4096-byte sectors", 4096, "DISK B", "SN-2", true, 12, length / 4096, 0x100000,
         DiskKeyName(u"DISK_B", u"SN-2")},
        {"520-byte sectors are not used", 520, "DISK_C", "SN-3", true, 0, 0, 0, u""},
        {"no IDENTIFY pass-through", 512, "DISK_D", "SN-4", false, 9, length / 512, 0x100000, u""},
        {"backslash in the model", 512, "Parameters\\X", "SN-5", true, 9, length / 512, 0x100000,
         DiskKeyName(u"Parameters_X", u"SN-5")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Machine machine;
        DiskConfig config;
        config.sectorSize = c.sectorSize;
        config.lengthBytes = length;
        config.deviceNumber = 7;
        config.model = c.model;
        config.serial = c.serial;
        config.identifySupported = c.identify;
        Disk& disk = machine.AddDisk(config);
        // The key the disk would name if it were identified (rows without a
        // key name use plain model and serial texts).
        StoreMasterKey(machine, c.keyName.empty()
                                    ? DiskKeyName(std::u16string(c.model.begin(), c.model.end()),
                                                  std::u16string(c.serial.begin(), c.serial.end()))
                                    : c.keyName);
        ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));

        const FilterExtension* ext = Ext(disk);
        EXPECT_EQ(7u, ext->DeviceNumber);
        EXPECT_EQ(c.shift, ext->SectorShift);
        EXPECT_EQ(c.lengthSectors, ext->LengthSectors);
        EXPECT_EQ(c.maxTransfer, ext->MaxTransfer);
        if (c.keyName.empty()) {
            EXPECT_EQ(0u, ext->KeyPathValid);
            EXPECT_EQ(nullptr, ext->Identify);
            EXPECT_EQ(RoleNone, ext->Role);
            EXPECT_EQ(0u, ext->DiskId);
        } else {
            EXPECT_EQ(machine.RegistryPath() + u"\\" + c.keyName, KeyPathOf(ext));
            EXPECT_EQ(ext->KeyPath.Length + sizeof(WCHAR), ext->KeyPath.MaximumLength);
            EXPECT_EQ(0, ext->KeyPath.Buffer[ext->KeyPath.Length / sizeof(WCHAR)]);
            ASSERT_NE(nullptr, ext->Identify);
            EXPECT_EQ(RoleMaster, ext->Role);
            EXPECT_EQ(StoredId, ext->DiskId);
        }
    }
}

TEST(DiskIdentityAtStart, RawIdentifyBytesNameTheKeySafely)
{
    Machine machine;
    Disk& disk = machine.AddDisk();
    UCHAR identify[IdentifyDataBytes] = {};
    PutAtaString(identify, 27, 40, std::string("AB\0C\\D\xE9", 7));
    PutAtaString(identify, 10, 20, std::string("\x01 9", 3));
    disk.SetIdentifyData(identify);
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    const FilterExtension* ext = Ext(disk);
    EXPECT_EQ(machine.RegistryPath() + u"\\" + DiskKeyName(u"AB_C_D\xFFE9", u"__9"), KeyPathOf(ext));
    ASSERT_NE(nullptr, ext->Identify);
    EXPECT_EQ(0, memcmp(identify, ext->Identify, IdentifyDataBytes));
}

// One failed request per row; the START succeeds in every row and the fields
// show how far the identity got.
TEST(DiskIdentityAtStart, FailureMatrix)
{
    struct Case {
        const char* what;
        ULONG ioctl;
        bool shortAnswer;  // success with too few bytes instead of a failure
        ULONG number;
        ULONG shift;
        ULONG maxTransfer;
        bool keyPath;
        UCHAR role;
    };
    const Case cases[] = {
        {"nothing fails", 0, false, 3, 9, 0x100000, true, RoleMaster},
        {"device number", IOCTL_STORAGE_GET_DEVICE_NUMBER, false, 0xFFFFFFFF, 0, 0, false, RoleNone},
        {"geometry", IOCTL_DISK_GET_DRIVE_GEOMETRY, false, 3, 0, 0, false, RoleNone},
        {"length", IOCTL_DISK_GET_LENGTH_INFO, false, 3, 9, 0, false, RoleNone},
        {"SCSI address", IOCTL_SCSI_GET_ADDRESS, false, 3, 9, 0x100000, false, RoleNone},
        {"IDENTIFY", IOCTL_SCSI_MINIPORT, false, 3, 9, 0x100000, false, RoleNone},
        {"short device number", IOCTL_STORAGE_GET_DEVICE_NUMBER, true, 0xFFFFFFFF, 0, 0, false, RoleNone},
        {"short IDENTIFY answer", IOCTL_SCSI_MINIPORT, true, 3, 9, 0x100000, false, RoleNone},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Machine machine;
        DiskConfig config;
        config.deviceNumber = 3;
        config.model = "FAILDISK";
        config.serial = "F1";
        Disk& disk = machine.AddDisk(config);
        StoreMasterKey(machine, DiskKeyName(u"FAILDISK", u"F1"));
        if (c.ioctl != 0 && c.shortAnswer)
            disk.SetIoctlInformation(c.ioctl, 4);
        else if (c.ioctl != 0)
            disk.SetIoctlResult(c.ioctl, STATUS_INVALID_DEVICE_REQUEST);
        ASSERT_EQ(STATUS_SUCCESS, machine.Load(DriverEntry));
        ASSERT_EQ(STATUS_SUCCESS, machine.AddDevice(disk));
        EXPECT_EQ(STATUS_SUCCESS, machine.Start(disk));

        const FilterExtension* ext = Ext(disk);
        EXPECT_EQ(c.number, ext->DeviceNumber);
        EXPECT_EQ(c.shift, ext->SectorShift);
        EXPECT_EQ(c.maxTransfer, ext->MaxTransfer);
        EXPECT_EQ(c.keyPath ? 1u : 0u, ext->KeyPathValid);
        EXPECT_EQ(c.role, ext->Role);
        EXPECT_EQ(c.role == RoleMaster ? StoredId : 0, ext->DiskId);
    }
}

TEST(DiskIdentityAtStart, IdentifyRequestBytes)
{
    Machine machine;
    DiskConfig config;
    config.targetId = 3;
    Disk& disk = machine.AddDisk(config);
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    const uint8_t expected[60] = {
        0x1C, 0,    0, 0, 'S',  'C',  'S',  'I', 'D', 'I', 'S', 'K',  // header length, signature
        0xE8, 0x03, 0, 0, 0x01, 0x05, 0x1B, 0,                        // time-out 1000, IDENTIFY code
        0,    0,    0, 0, 0x10, 0x02, 0,    0,                        // return code, length 528
        0x20, 0,    0, 0,                                             // cBufferSize 32
        0,    0,    0, 0, 0,    0,    0xEC, 0,                        // registers: IDENTIFY DEVICE
        3,    0,    0, 0,                                             // drive number = target id
        0,    0,    0, 0, 0,    0,    0,    0,   0,   0,   0,   0,   0, 0, 0, 0,
    };
    EXPECT_EQ(std::vector<uint8_t>(expected, expected + 60), disk.LastIdentifyInput());
}

TEST(DiskIdentityAtStart, StopAndStartReplaceTheIdentity)
{
    Machine machine;
    DiskConfig config;
    config.model = "FIRST";
    config.serial = "ONE";
    Disk& disk = machine.AddDisk(config);
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    const FilterExtension* ext = Ext(disk);
    ASSERT_NE(nullptr, ext->Identify);
    emu::PoolStats before = emu::PoolUsage(PoolTag);

    disk.SetIdentify("SECOND", "TWO");
    ASSERT_EQ(STATUS_SUCCESS, machine.Stop(disk));
    ASSERT_EQ(STATUS_SUCCESS, machine.Start(disk));

    EXPECT_EQ(machine.RegistryPath() + u"\\" + DiskKeyName(u"SECOND", u"TWO"), KeyPathOf(ext));
    UCHAR model[AtaModelChars + 1];
    AtaModelString(ext->Identify, model);
    EXPECT_EQ(0, memcmp("SECOND ", model, 7));
    emu::PoolStats after = emu::PoolUsage(PoolTag);
    EXPECT_EQ(before.blocks, after.blocks) << "one IDENTIFY copy and one key path held";
    EXPECT_EQ(before.bytes, after.bytes);
}

TEST(DiskIdentityAtStart, DeviceControlAboveApcLevelSendsNothing)
{
    Machine machine;
    Disk& disk = machine.AddDisk();
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    disk.ClearRequests();
    STORAGE_DEVICE_NUMBER number;
    ULONG returned = 99;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    NTSTATUS status = SendDeviceControlSync(Ext(disk)->LowerDevice, IOCTL_STORAGE_GET_DEVICE_NUMBER, NULL, 0,
                                            &number, sizeof number, &returned);
    KeLowerIrql(old);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, status);
    EXPECT_EQ(0u, returned);
    EXPECT_TRUE(disk.Requests().empty());
}

}  // namespace

namespace {

// The requests complete later on the disk's completion thread: the identity
// read waits for each and takes its status and size from the I/O status block.
TEST(DiskIdentityAtStart, PendingAnswersAreWaitedFor)
{
    Machine machine;
    DiskConfig config;
    config.deviceNumber = 5;
    config.sectorSize = 4096;
    config.model = "PEND";
    config.serial = "P1";
    Disk& disk = machine.AddDisk(config);
    for (ULONG code : {IOCTL_STORAGE_GET_DEVICE_NUMBER, IOCTL_DISK_GET_DRIVE_GEOMETRY,
                       IOCTL_DISK_GET_LENGTH_INFO, IOCTL_SCSI_GET_ADDRESS, IOCTL_SCSI_MINIPORT})
        disk.SetIoctlPending(code, true);
    StoreMasterKey(machine, DiskKeyName(u"PEND", u"P1"));
    ASSERT_EQ(STATUS_SUCCESS, machine.Boot(DriverEntry));
    const FilterExtension* ext = Ext(disk);
    EXPECT_EQ(5u, ext->DeviceNumber);
    EXPECT_EQ(12u, ext->SectorShift);
    EXPECT_EQ(config.lengthBytes / 4096, ext->LengthSectors);
    EXPECT_EQ(RoleMaster, ext->Role);
    EXPECT_EQ(StoredId, ext->DiskId);
}

}  // namespace
