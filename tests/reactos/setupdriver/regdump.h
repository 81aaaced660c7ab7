// Writes registry keys and values as a regedit (version 5.00) file that
// hivexregedit can merge into an offline hive.
#pragma once
#include <windows.h>
#include <stdio.h>

class RegDump {
public:
    explicit RegDump(const char* path);
    ~RegDump();
    bool IsOpen() const { return file != NULL; }
    // A key of HKEY_LOCAL_MACHINE with all its values and subkeys but "Enum"
    // (the volatile list of a service's devices); false when it is missing.
    bool AddTree(const wchar_t* path);
    // One value of a key of HKEY_LOCAL_MACHINE.
    bool AddValue(const wchar_t* path, const wchar_t* name);
    // Flushes the file to the disk; false when a write failed.
    bool Close();

private:
    void WriteKeyLine(const wchar_t* path);
    void WriteValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD size);
    void WriteText(const wchar_t* text);
    void AddKey(HKEY key, const wchar_t* path);
    FILE* file;
    bool failed;
};
