// Test plumbing for loading a real kernel image under Wine: the image is copied
// into the prefix and registered as a demand-start kernel service with an
// absolute path there.
#pragma once
#include <windows.h>
#include <string>

struct ServiceHandle {
    SC_HANDLE h;
    explicit ServiceHandle(SC_HANDLE handle) : h(handle) {}
    ~ServiceHandle()
    {
        if (h)
            CloseServiceHandle(h);
    }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
};

struct FileHandle {
    HANDLE h;
    explicit FileHandle(HANDLE handle) : h(handle) {}
    ~FileHandle()
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
};

// The Wine path of a file of the build tree (Wine maps the Unix root to Z:).
inline std::string UnixToWine(const char* unixPath)
{
    std::string path = std::string("Z:") + unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

inline HANDLE OpenDevice(const char* path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

// Copies the image to C:\tolvarn-test\<fileName> and creates the service, after
// removing one that an interrupted run left behind. Null on failure; *error
// then says which step failed and its code.
inline SC_HANDLE InstallKernelService(SC_HANDLE manager, const char* unixImage, const char* fileName,
                                      const char* serviceName, std::string* error)
{
    const std::string dir = "C:\\tolvarn-test";
    const std::string image = dir + "\\" + fileName;
    CreateDirectoryA(dir.c_str(), NULL);
    if (!CopyFileA(UnixToWine(unixImage).c_str(), image.c_str(), FALSE)) {
        *error = "copy failed: " + std::to_string(GetLastError());
        return NULL;
    }
    SC_HANDLE old = OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS);
    if (old) {
        SERVICE_STATUS status = {};
        ControlService(old, SERVICE_CONTROL_STOP, &status);
        DeleteService(old);
        CloseServiceHandle(old);
    }
    SC_HANDLE service = CreateServiceA(manager, serviceName, serviceName, SERVICE_ALL_ACCESS,
                                       SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       image.c_str(), NULL, NULL, NULL, NULL, NULL);
    if (!service)
        *error = "CreateService: " + std::to_string(GetLastError());
    return service;
}
