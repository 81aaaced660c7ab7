// The disk class lookup and its filter lists against Wine's real class key, with a
// phantom disk device registered through setupapi (a fresh prefix has no disk).
#include "foundation/filterlistutil.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>

namespace {

using namespace std::string_literals;

// {4D36E967-E325-11CE-BFC1-08002BE10318}: the disk drive device class.
const GUID DiskDriveClass = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}: the disk device interface class.
const GUID DiskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

bool AnyDiskInterfaceDevice()
{
    HDEVINFO set = SetupDiGetClassDevsA(&DiskInterface, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    bool found = SetupDiEnumDeviceInfo(set, 0, &device);
    SetupDiDestroyDeviceInfoList(set);
    return found;
}

const char PhantomDiskDescription[] = "Tolvarn test phantom disk";

// Phantom disks that an earlier run left behind (it crashed or was killed before its
// clean-up): removed first, so that every run starts from the prefix's own devices.
void RemoveLeftoverPhantomDisks()
{
    HDEVINFO set = SetupDiGetClassDevsA(&DiskDriveClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE)
        return;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        char description[64] = "";
        if (SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_DEVICEDESC, nullptr,
                                              reinterpret_cast<BYTE*>(description), sizeof description - 1,
                                              nullptr) &&
            strcmp(description, PhantomDiskDescription) == 0)
            SetupDiRemoveDevice(set, &device);
    }
    SetupDiDestroyDeviceInfoList(set);
}

class DiskClass : public ::testing::Test {
protected:
    void SetUp() override { RemoveLeftoverPhantomDisks(); }
};

// A non-present disk device exposing the disk interface, removed again at the end.
class PhantomDisk {
public:
    PhantomDisk()
    {
        set_ = SetupDiCreateDeviceInfoList(&DiskDriveClass, nullptr);
        device_.cbSize = sizeof device_;
        registered_ = set_ != INVALID_HANDLE_VALUE &&
                      SetupDiCreateDeviceInfoA(set_, "DiskDrive", &DiskDriveClass, PhantomDiskDescription,
                                               nullptr, DICD_GENERATE_ID, &device_) &&
                      SetupDiRegisterDeviceInfo(set_, &device_, 0, nullptr, nullptr, nullptr);
        SP_DEVICE_INTERFACE_DATA iface = {};
        iface.cbSize = sizeof iface;
        registered_ =
            registered_ && SetupDiCreateDeviceInterfaceA(set_, &device_, &DiskInterface, nullptr, 0, &iface);
    }
    ~PhantomDisk()
    {
        if (set_ == INVALID_HANDLE_VALUE)
            return;
        SetupDiRemoveDevice(set_, &device_);
        SetupDiDestroyDeviceInfoList(set_);
    }
    PhantomDisk(const PhantomDisk&) = delete;
    PhantomDisk& operator=(const PhantomDisk&) = delete;

    bool registered() const { return registered_; }

private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device_ = {};
    bool registered_ = false;
};

// One value of the class key, put back as it was found.
class SavedValue {
public:
    SavedValue(HKEY key, const char* name) : key_(key), name_(name)
    {
        DWORD size = 0;
        exists_ = RegQueryValueExA(key_, name_, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS;
        if (exists_) {
            bytes_.assign(size, '\0');
            RegQueryValueExA(key_, name_, nullptr, &type_, reinterpret_cast<BYTE*>(&bytes_[0]), &size);
        }
    }
    ~SavedValue()
    {
        if (exists_)
            RegSetValueExA(key_, name_, 0, type_, reinterpret_cast<const BYTE*>(bytes_.data()),
                           static_cast<DWORD>(bytes_.size()));
        else
            RegDeleteValueA(key_, name_);
    }
    SavedValue(const SavedValue&) = delete;
    SavedValue& operator=(const SavedValue&) = delete;

private:
    HKEY key_;
    const char* name_;
    bool exists_ = false;
    DWORD type_ = 0;
    std::string bytes_;
};

void SetMultiSz(HKEY key, const char* name, const std::string& bytes)
{
    RegSetValueExA(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(bytes.data()),
                   static_cast<DWORD>(bytes.size()));
}

// "<missing>" or the stored bytes.
std::string StoredValue(HKEY key, const char* name)
{
    char data[256];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
        return "<missing>";
    return std::string(data, size);
}

// Run on its own (ctest's diskclass_nodisk_test): the class GUID is kept once found, so
// this needs a process that has not found it yet. A disk device of the prefix's own
// makes it a skip, which ctest reports as one.
TEST_F(DiskClass, WithoutAnyDiskThereIsNoClass)
{
    if (AnyDiskInterfaceDevice())
        GTEST_SKIP() << "this prefix has a disk device of its own";
    EXPECT_EQ(GetDiskClassGuid(), nullptr);
    GUID* guid = nullptr;
    EXPECT_EQ(GetDeviceClassGuid(&DiskInterface, &guid), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(guid, nullptr);
    bool removed = true;
    EXPECT_EQ(RemoveClassFilter(GetDiskClassGuid(), "DORQVORN", &removed), 13);
    EXPECT_TRUE(removed) << "not set on failure";
    EXPECT_EQ(OpenClassKey(nullptr, true), static_cast<HKEY>(INVALID_HANDLE_VALUE));
}

TEST_F(DiskClass, FiltersRemovedFromTheRealClassKey)
{
    PhantomDisk disk;
    ASSERT_TRUE(disk.registered()) << GetLastError();

    // 1. The class is found through the disk interface and kept.
    const GUID* guid = GetDiskClassGuid();
    ASSERT_NE(guid, nullptr);
    EXPECT_TRUE(IsEqualGUID(*guid, DiskDriveClass));
    EXPECT_EQ(GetDiskClassGuid(), guid) << "the same cached block";

    HKEY key = OpenClassKey(guid, false);
    ASSERT_NE(key, static_cast<HKEY>(INVALID_HANDLE_VALUE)) << GetLastError();
    {
        SavedValue upper(key, "UpperFilters");
        SavedValue lower(key, "LowerFilters");
        SetMultiSz(key, "UpperFilters", "partmgr\0DORQVORN\0\0"s);
        SetMultiSz(key, "LowerFilters", "DorqVornZemk\0\0"s);

        // 2. A read-only key cannot be rewritten: the write's error comes back.
        HKEY readOnly = OpenClassKey(guid, true);
        ASSERT_NE(readOnly, static_cast<HKEY>(INVALID_HANDLE_VALUE));
        bool removed = false;
        EXPECT_EQ(RemoveDiskFilter(readOnly, "dorqvorn", &removed), ERROR_ACCESS_DENIED);
        RegCloseKey(readOnly);
        EXPECT_EQ(StoredValue(key, "UpperFilters"), "partmgr\0DORQVORN\0\0"s);

        // 3. Both older names go: Upper keeps partmgr, Lower is left empty and deleted.
        removed = false;
        EXPECT_EQ(RemoveClassFilter(guid, "dorqvorn", &removed), 0);
        EXPECT_TRUE(removed);
        EXPECT_EQ(StoredValue(key, "UpperFilters"), "partmgr\0\0"s);
        EXPECT_EQ(StoredValue(key, "LowerFilters"), "<missing>");

        // 4. Again: nothing left to remove.
        removed = true;
        EXPECT_EQ(RemoveClassFilter(guid, "dorqvorn", &removed), 0);
        EXPECT_FALSE(removed);
        EXPECT_EQ(StoredValue(key, "UpperFilters"), "partmgr\0\0"s);
    }
    RegCloseKey(key);
}

}  // namespace
