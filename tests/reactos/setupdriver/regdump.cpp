// The registry dump: keys as "[HKEY_LOCAL_MACHINE\path]", DWORDs as
// "dword:", every other value as hex bytes of its type, names escaped.
#include "regdump.h"
#include <io.h>
#include <wchar.h>

RegDump::RegDump(const char* path) : file(fopen(path, "wb")), failed(false)
{
    if (file)
        fputs("Windows Registry Editor Version 5.00\r\n", file);
}

RegDump::~RegDump()
{
    Close();
}

bool RegDump::Close()
{
    if (!file)
        return false;
    if (fflush(file) != 0 || !FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))))
        failed = true;
    if (fclose(file) != 0)
        failed = true;
    file = NULL;
    return !failed;
}

// Names are ASCII here; anything else is written as '?' and would not merge.
void RegDump::WriteText(const wchar_t* text)
{
    for (; *text; text++) {
        if (*text == L'"' || *text == L'\\')
            fputc('\\', file);
        fputc(*text < 128 ? static_cast<char>(*text) : '?', file);
    }
}

void RegDump::WriteKeyLine(const wchar_t* path)
{
    fputs("\r\n[HKEY_LOCAL_MACHINE\\", file);
    for (; *path; path++)
        fputc(*path < 128 ? static_cast<char>(*path) : '?', file);
    fputs("]\r\n", file);
}

void RegDump::WriteValue(const wchar_t* name, DWORD type, const BYTE* data, DWORD size)
{
    if (*name) {
        fputc('"', file);
        WriteText(name);
        fputs("\"=", file);
    } else {
        fputs("@=", file);
    }
    if (type == REG_DWORD && size == 4) {
        fprintf(file, "dword:%08lx\r\n", *reinterpret_cast<const DWORD*>(data));
        return;
    }
    if (type == REG_BINARY)
        fputs("hex:", file);
    else
        fprintf(file, "hex(%lx):", type);
    for (DWORD i = 0; i < size; i++)
        fprintf(file, i + 1 < size ? "%02x," : "%02x", data[i]);
    fputs("\r\n", file);
}

void RegDump::AddKey(HKEY key, const wchar_t* path)
{
    WriteKeyLine(path);
    wchar_t name[256];
    static BYTE data[64 * 1024];
    for (DWORD i = 0;; i++) {
        DWORD nameLength = 256, size = sizeof data, type = 0;
        LONG result = RegEnumValueW(key, i, name, &nameLength, NULL, &type, data, &size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS) {
            failed = true;
            break;
        }
        WriteValue(name, type, data, size);
    }
    for (DWORD i = 0;; i++) {
        DWORD nameLength = 256;
        LONG result = RegEnumKeyExW(key, i, name, &nameLength, NULL, NULL, NULL, NULL);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS) {
            failed = true;
            break;
        }
        if (_wcsicmp(name, L"Enum") == 0)
            continue;
        wchar_t child[1024];
        _snwprintf(child, 1024, L"%ls\\%ls", path, name);
        child[1023] = 0;
        HKEY sub;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS) {
            failed = true;
            continue;
        }
        AddKey(sub, child);
        RegCloseKey(sub);
    }
}

bool RegDump::AddTree(const wchar_t* path)
{
    HKEY key;
    if (!file || RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    AddKey(key, path);
    RegCloseKey(key);
    return true;
}

bool RegDump::AddValue(const wchar_t* path, const wchar_t* name)
{
    HKEY key;
    if (!file || RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    static BYTE data[64 * 1024];
    DWORD size = sizeof data, type = 0;
    bool found = RegQueryValueExW(key, name, NULL, &type, data, &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (!found)
        return false;
    WriteKeyLine(path);
    WriteValue(name, type, data, size);
    return true;
}
