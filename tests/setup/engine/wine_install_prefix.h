// What the tests that run the product's install list in a fresh Wine prefix add to it.
#pragma once

#include "foundation/fileutil.h"

#include <windows.h>
#include <setupapi.h>

#include <string>

// Wine starts no kernel service whose image path is relative to the Windows folder, as
// Windows does: once the proxy's service is made, its path is made absolute for the start.
// Returns the relative path it found ("System32\..."), or "" when there was none to change.
inline std::string MakeProxyImagePathAbsolute()
{
    const char service[] = "SABLINEX";
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\SABLINEX", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS)
        return "";
    char data[MAX_PATH] = {};
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    LONG read = RegQueryValueExA(key, "ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    std::string path = data;
    if (read != ERROR_SUCCESS || (type != REG_EXPAND_SZ && type != REG_SZ) ||
        path.rfind("System32\\", 0) != 0)
        return "";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE handle = OpenServiceA(manager, service, SERVICE_ALL_ACCESS);
    std::string absolute = std::string(GetWindowsDir()) + "\\" + path;
    ChangeServiceConfigA(handle, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, absolute.c_str(),
                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
    return path;
}

// A disk for the disk class key to exist, as the cache driver's filter entry needs: a fresh
// prefix has none. False on failure, with the error in GetLastError.
inline bool AddPhantomDisk()
{
    // {4D36E967-E325-11CE-BFC1-08002BE10318} and {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}: the
    // disk drive class and the disk interface.
    const GUID diskDriveClass = {
        0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    const GUID diskInterface = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
    HDEVINFO set = SetupDiCreateDeviceInfoList(&diskDriveClass, nullptr);
    if (set == INVALID_HANDLE_VALUE)
        return false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    SP_DEVICE_INTERFACE_DATA iface = {};
    iface.cbSize = sizeof iface;
    bool added = SetupDiCreateDeviceInfoA(set, "DiskDrive", &diskDriveClass, "phantom disk", nullptr,
                                          DICD_GENERATE_ID, &device) &&
                 SetupDiRegisterDeviceInfo(set, &device, 0, nullptr, nullptr, nullptr) &&
                 SetupDiCreateDeviceInterfaceA(set, &device, &diskInterface, nullptr, 0, &iface);
    DWORD error = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    SetLastError(error);
    return added;
}
