// System folders, file operations that create folders and grant access, own "BINRES" resources, error texts.
#pragma once

#include <windows.h>
#include <cstdint>

// Shell folder ids used by Setup.
enum : int {
    CsidlDesktop = 0,                  // CSIDL_DESKTOP
    CsidlPrograms = 2,                 // CSIDL_PROGRAMS
    CsidlCommonPrograms = 23,          // CSIDL_COMMON_PROGRAMS
    CsidlCommonDesktopDirectory = 25,  // CSIDL_COMMON_DESKTOPDIRECTORY
    CsidlAppData = 26,                 // CSIDL_APPDATA
    CsidlCommonAppData = 35,           // CSIDL_COMMON_APPDATA
    CsidlSystem = 37,                  // CSIDL_SYSTEM
    CsidlProgramFiles = 38,            // CSIDL_PROGRAM_FILES
};

// Folders. Each returns its text in the shared 8-bit scratch buffer (valid
// until the next user of that buffer; copy it at once), or null when there is
// no such folder.
const char* GetShellFolder(int csidl);
const char* GetWindowsDir();
const char* GetSystemDir();
const char* GetSystemWow64Dir();
// The system folder where a kernel driver for the running system goes, as this
// 32-bit program must name it ("...\Sysnative" on 64-bit Vista and later).
const char* GetNativeSystemDir();
const char* GetNativeDriversDir();
const char* GetDesktopDir();   // all users' desktop on the NT family, else the user's own
const char* GetProgramsDir();  // all users' Start-menu programs on the NT family, else the user's own
const char* GetProgramFilesDir();

// Where GetNativeSystemDir takes its folder from.
enum class NativeSystemDirSource {
    WindowsSystem32,   // the Windows folder + "\system32"
    SystemFolder,      // CSIDL_SYSTEM
    WindowsSysnative,  // the Windows folder + "\Sysnative"
    Wow64Folder,       // GetSystemWow64DirectoryA
    None,
};
NativeSystemDirSource ChooseNativeSystemDir(bool ntFamily, int32_t arch, bool vistaOrLater);

// The common folder on the NT family when lookup finds it, else the user's own.
typedef const char* (*ShellFolderLookup)(int csidl);
const char* CommonOrOwnFolder(bool ntFamily, int commonCsidl, int ownCsidl, ShellFolderLookup lookup);

// The text of a system error code as a new UTF-16 string (freed with
// FreeIfSet or free), or null when the system has none. langId 0 asks the
// user's default language and sets *outCharset from the system language even
// when no text is found; any other langId tries langId, 1033 and the system
// language, and *outCharset follows the one that answered. outCharset may be null.
wchar_t* GetSystemErrorText(uint16_t langId, uint32_t error, uint8_t* outCharset);

// System error texts. One attempt gives a new UTF-16 text (malloc'ed) or null.
typedef wchar_t* (*ErrorTextAttempt)(uint16_t langId, uint32_t error);
typedef uint8_t (*CharsetOfLanguage)(uint16_t langId);
// FormatMessageW from the system for one language; the text keeps its closing CR LF.
wchar_t* FormatSystemMessage(uint16_t langId, uint32_t error);
// The language order of the error text: langId 0 sets *outCharset from the
// system language and asks the user default language (0x400); any other langId
// tries langId, 1033 and the system language, and *outCharset follows the one
// that answered (untouched when none did). outCharset may be null.
wchar_t* SelectSystemErrorText(uint16_t langId, uint32_t error, uint8_t* outCharset, uint16_t systemLangId,
                               ErrorTextAttempt attempt, CharsetOfLanguage charsetOf);

// Files. Results are Win32 error codes (0 success; 3 for a null path).
int64_t GetFileSizeByName(const char* path);  // -1 when it cannot be opened or sized
bool IsExistingFile(const char* path);        // exists and is not a folder
int MakeDirPath(const char* path);            // the folder and its missing parents; 80 over a file
int ForceDirectory(const char* path);         // makes sure the folder exists; 80 over a file
int DeleteFileForced(const char* path);       // clears the attributes, deletes; 0 when nothing is there
int PrepareFileTarget(const char* path);      // the file's folder exists, the file's attributes cleared
int CopyFileForced(const char* source, const char* destination);
// Replaces path with size bytes of data, creating its folder, and gives the
// users group access. A short write fails (29); a partly written file stays.
int WriteWholeFile(const char* path, const void* data, uint32_t size);
// Writes all size bytes to an open handle, going on after partial writes; a
// write that makes no progress fails with ERROR_WRITE_FAULT (29).
int WriteAllBytes(HANDLE file, const void* data, uint32_t size);

// The program's own resources of type "BINRES" (read-only, valid for the process's life).
const void* LockBinRes(uint16_t id, uint32_t* outSize);  // null and size 0 when missing
uint32_t GetBinResSize(uint16_t id);                     // 0 when missing
// A source of "BINRES" data: LockBinRes, or a test's own table.
typedef const void* (*BinResSource)(uint16_t id, uint32_t* outSize);
// Writes resource id of moduleFile (null: the own module) to path.
int ExtractBinRes(const char* moduleFile, const char* path, uint16_t id);

// Blocks handed across: zero-filled, freed with FreeIfSet (or free).
void* AllocZeroed(int size);
void FreeIfSet(void* block);
