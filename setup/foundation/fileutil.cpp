// System folders, file operations that create folders and grant access, own "BINRES" resources, error texts.
#include "foundation/fileutil.h"

#include "foundation/langutil.h"
#include "foundation/osinfo.h"
#include "foundation/securityutil.h"
#include "foundation/strutil.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int ShellFolderBufferSize = 2048;
const int WindowsDirBufferSize = 1024;
const UINT WindowsDirRequestSize = 512;
const UINT Wow64DirRequestSize = 512;
const char BinResType[] = "BINRES";
const DWORD SystemMessageFlags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;  // 0x1300
const uint16_t UserDefaultLangId = 0x400;
const uint16_t EnglishUsLangId = 1033;

// Appends suffix to a folder text in a scratch block of at least 1024 bytes.
char* AppendToFolder(char* folder, const char* suffix)
{
    if (!folder)
        return nullptr;
    size_t length = strlen(folder);
    size_t extra = strlen(suffix);
    if (length + extra >= static_cast<size_t>(WindowsDirBufferSize))
        return nullptr;
    memcpy(folder + length, suffix, extra + 1);
    return folder;
}

std::string FolderOf(const char* path)
{
    const char* last = strrchr(path, '\\');
    return last ? std::string(path, last) : std::string();
}

// Some failing calls leave no error code behind; fallback keeps the failure visible.
int LastErrorOr(int fallback)
{
    DWORD error = GetLastError();
    return error ? static_cast<int>(error) : fallback;
}

int FolderOrFileExists(DWORD attributes)
{
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : ERROR_FILE_EXISTS;
}

class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool IsValid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    void Close()
    {
        if (IsValid())
            CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

HRSRC FindBinRes(HMODULE module, uint16_t id)
{
    return FindResourceA(module, MAKEINTRESOURCEA(id), BinResType);
}

}  // namespace

// ---- Folders

// Each folder text lands in the 8-bit scratch block, which is writable and has
// room for the suffixes appended here.
static char* ShellFolderInScratch(int csidl)
{
    char* buffer = GetScratchBuffer(ShellFolderBufferSize);
    if (!buffer)
        return nullptr;
    if (DynSHGetFolderPathA(nullptr, csidl, nullptr, 0, buffer) != 0)
        return nullptr;
    return buffer;
}

static char* WindowsDirInScratch()
{
    char* buffer = GetScratchBuffer(WindowsDirBufferSize);
    if (!buffer)
        return nullptr;
    UINT length = GetWindowsDirectoryA(buffer, WindowsDirRequestSize);
    if (length == 0 || length >= WindowsDirRequestSize)
        return nullptr;
    return buffer;
}

static char* Wow64DirInScratch()
{
    char* buffer = GetScratchBuffer(ShellFolderBufferSize);
    if (!buffer)
        return nullptr;
    UINT length = DynGetSystemWow64DirectoryA(buffer, Wow64DirRequestSize);
    if (length == 0 || length >= Wow64DirRequestSize)
        return nullptr;
    return buffer;
}

NativeSystemDirSource ChooseNativeSystemDir(bool ntFamily, int32_t arch, bool vistaOrLater)
{
    if (!ntFamily)
        return NativeSystemDirSource::WindowsSystem32;
    if (arch == OS_ARCH_X86)
        return NativeSystemDirSource::SystemFolder;
    if (arch == OS_ARCH_X64)
        return vistaOrLater ? NativeSystemDirSource::WindowsSysnative : NativeSystemDirSource::Wow64Folder;
    return NativeSystemDirSource::None;
}

static char* NativeSystemDirInScratch()
{
    switch (ChooseNativeSystemDir(IsNtFamily(), GetOsArch(), IsVistaOrLater())) {
    case NativeSystemDirSource::WindowsSystem32: return AppendToFolder(WindowsDirInScratch(), "\\system32");
    case NativeSystemDirSource::SystemFolder: return ShellFolderInScratch(CsidlSystem);
    case NativeSystemDirSource::WindowsSysnative: return AppendToFolder(WindowsDirInScratch(), "\\Sysnative");
    case NativeSystemDirSource::Wow64Folder: return Wow64DirInScratch();
    case NativeSystemDirSource::None: break;
    }
    return nullptr;
}

const char* GetShellFolder(int csidl)
{
    return ShellFolderInScratch(csidl);
}

const char* GetWindowsDir()
{
    return WindowsDirInScratch();
}

const char* GetSystemDir()
{
    return ShellFolderInScratch(CsidlSystem);
}

const char* GetSystemWow64Dir()
{
    return Wow64DirInScratch();
}

const char* GetNativeSystemDir()
{
    return NativeSystemDirInScratch();
}

const char* GetNativeDriversDir()
{
    return AppendToFolder(NativeSystemDirInScratch(), "\\drivers");
}

const char* CommonOrOwnFolder(bool ntFamily, int commonCsidl, int ownCsidl, ShellFolderLookup lookup)
{
    if (ntFamily) {
        const char* common = lookup(commonCsidl);
        if (common)
            return common;
    }
    return lookup(ownCsidl);
}

const char* GetDesktopDir()
{
    return CommonOrOwnFolder(IsNtFamily(), CsidlCommonDesktopDirectory, CsidlDesktop, GetShellFolder);
}

const char* GetProgramsDir()
{
    return CommonOrOwnFolder(IsNtFamily(), CsidlCommonPrograms, CsidlPrograms, GetShellFolder);
}

const char* GetProgramFilesDir()
{
    return GetShellFolder(CsidlProgramFiles);
}

// ---- Error texts

wchar_t* FormatSystemMessage(uint16_t langId, uint32_t error)
{
    wchar_t* systemText = nullptr;
    DWORD count = DynFormatMessageW(SystemMessageFlags, nullptr, error, langId,
                                    reinterpret_cast<LPWSTR>(&systemText), 0, nullptr);
    if (!systemText)
        return nullptr;
    wchar_t* text = nullptr;
    if (count > 0) {
        text = static_cast<wchar_t*>(malloc((static_cast<size_t>(count) + 1) * sizeof(wchar_t)));
        if (text) {
            memcpy(text, systemText, count * sizeof(wchar_t));
            text[count] = 0;
        }
    }
    LocalFree(systemText);
    return text;
}

wchar_t* SelectSystemErrorText(uint16_t langId, uint32_t error, uint8_t* outCharset, uint16_t systemLangId,
                               ErrorTextAttempt attempt, CharsetOfLanguage charsetOf)
{
    if (langId == 0) {
        if (outCharset)
            *outCharset = charsetOf(systemLangId);
        return attempt(UserDefaultLangId, error);
    }
    const uint16_t order[] = {langId, EnglishUsLangId, systemLangId};
    for (uint16_t language : order) {
        wchar_t* text = attempt(language, error);
        if (text) {
            if (outCharset)
                *outCharset = charsetOf(language);
            return text;
        }
    }
    return nullptr;
}

wchar_t* GetSystemErrorText(uint16_t langId, uint32_t error, uint8_t* outCharset)
{
    return SelectSystemErrorText(langId, error, outCharset, GetSystemLangId(), FormatSystemMessage,
                                 LangIdToCharset);
}

// ---- Files

int64_t GetFileSizeByName(const char* path)
{
    if (!path)
        return -1;
    FileHandle file(DynCreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.IsValid())
        return -1;
    DWORD high = 0;
    SetLastError(0);
    DWORD low = GetFileSize(file.get(), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != 0)
        return -1;
    return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

bool IsExistingFile(const char* path)
{
    if (!path)
        return false;
    DWORD attributes = DynGetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int MakeDirPath(const char* path)
{
    if (!path)
        return ERROR_PATH_NOT_FOUND;
    DWORD attributes = DynGetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return FolderOrFileExists(attributes);
    if (!strchr(path, '\\'))
        return ERROR_PATH_NOT_FOUND;
    int result = MakeDirPath(FolderOf(path).c_str());
    if (result != 0)
        return result;
    if (DynCreateDirectoryA(path, nullptr))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_ALREADY_EXISTS ? 0 : LastErrorOr(ERROR_PATH_NOT_FOUND);
}

int ForceDirectory(const char* path)
{
    if (!path)
        return ERROR_PATH_NOT_FOUND;
    DWORD attributes = DynGetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return FolderOrFileExists(attributes);
    int result = DynSHCreateDirectoryExA(nullptr, path, nullptr);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_EXISTS || result == ERROR_ALREADY_EXISTS)
        return 0;
    return MakeDirPath(path);
}

int DeleteFileForced(const char* path)
{
    if (!path)
        return ERROR_PATH_NOT_FOUND;
    if (!DynSetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL)) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return 0;  // nothing there to delete
        // Otherwise the delete itself tells whether the file can go.
    }
    if (DynDeleteFileA(path))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? 0 : LastErrorOr(ERROR_ACCESS_DENIED);
}

int PrepareFileTarget(const char* path)
{
    if (!path)
        return ERROR_PATH_NOT_FOUND;
    if (strchr(path, '\\')) {
        int result = ForceDirectory(FolderOf(path).c_str());
        if (result != 0)
            return result;
    }
    DynSetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);  // the file need not exist
    return 0;
}

int CopyFileForced(const char* source, const char* destination)
{
    if (!source || !destination)
        return ERROR_PATH_NOT_FOUND;
    int result = PrepareFileTarget(destination);
    if (result != 0)
        return result;
    if (!CopyFileA(source, destination, FALSE))
        return LastErrorOr(ERROR_ACCESS_DENIED);
    return 0;
}

int WriteWholeFile(const char* path, const void* data, uint32_t size)
{
    if (!path)
        return ERROR_PATH_NOT_FOUND;
    if (size > 0 && !data)
        return ERROR_INVALID_PARAMETER;
    int result = PrepareFileTarget(path);
    if (result != 0)
        return result;
    FileHandle file(
        DynCreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_ARCHIVE, nullptr));
    if (!file.IsValid())
        return LastErrorOr(ERROR_ACCESS_DENIED);
    result = WriteAllBytes(file.get(), data, size);
    file.Close();
    if (result != 0)
        return result;
    GrantUsersAccess(path);  // a failed grant does not fail the write
    return 0;
}

int WriteAllBytes(HANDLE file, const void* data, uint32_t size)
{
    const BYTE* next = static_cast<const BYTE*>(data);
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(file, next, size, &written, nullptr))
            return LastErrorOr(ERROR_WRITE_FAULT);
        if (written == 0 || written > size)
            return ERROR_WRITE_FAULT;
        next += written;
        size -= written;
    }
    return 0;
}

// ---- Resources

const void* LockBinRes(uint16_t id, uint32_t* outSize)
{
    if (outSize)
        *outSize = 0;
    HRSRC resource = FindBinRes(nullptr, id);
    if (!resource)
        return nullptr;
    HGLOBAL loaded = LoadResource(nullptr, resource);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (data && outSize)
        *outSize = SizeofResource(nullptr, resource);
    return data;
}

uint32_t GetBinResSize(uint16_t id)
{
    HRSRC resource = FindBinRes(nullptr, id);
    return resource ? SizeofResource(nullptr, resource) : 0;
}

int ExtractBinRes(const char* moduleFile, const char* path, uint16_t id)
{
    HMODULE loadedModule = nullptr;
    if (moduleFile)
        loadedModule =
            LoadLibraryExA(moduleFile, nullptr, LOAD_LIBRARY_AS_DATAFILE | DONT_RESOLVE_DLL_REFERENCES);
    int result = 0;
    HRSRC resource = FindBinRes(loadedModule, id);
    if (!resource) {
        result = LastErrorOr(ERROR_RESOURCE_NAME_NOT_FOUND);
    } else {
        HGLOBAL loaded = LoadResource(loadedModule, resource);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (!data)
            result = LastErrorOr(ERROR_RESOURCE_DATA_NOT_FOUND);
        else
            result = WriteWholeFile(path, data, SizeofResource(loadedModule, resource));
    }
    if (loadedModule)
        FreeLibrary(loadedModule);
    return result;
}

// ---- Allocation

void* AllocZeroed(int size)
{
    if (size < 0)
        return nullptr;
    return calloc(size > 0 ? static_cast<size_t>(size) : 1, 1);
}

void FreeIfSet(void* block)
{
    if (block)
        free(block);
}
