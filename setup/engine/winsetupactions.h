// The one-step setup actions (copy a file, write a file from a resource, create a shortcut,
// set the auto-start value) and the factories that add them and the stop-application action.
#pragma once

#include "engine/winsetuplist.h"

#include <stdint.h>
#include <string>

// The common step of the one-step actions: at step 1 nothing is left to do; otherwise the
// action's work runs once, and its success finishes the item while its error is returned
// with the step unchanged.
class clWinSetupOneStepItem : public clSetupItem {
public:
    int32_t ExecuteStep() override;

protected:
    clWinSetupOneStepItem(int32_t type);
    // The action's work: 0, a Win32 error code or an HRESULT.
    virtual int32_t DoWork() = 0;
};

// Copies a file; a missing source (or a folder) counts as done without a copy.
class clWinSetupCopyFile : public clWinSetupOneStepItem {
public:
    clWinSetupCopyFile();
    bool IsSame(const clSetupItem* other) const override;  // the destination

    std::string sourcePath;
    std::string destinationPath;

protected:
    int32_t DoWork() override;
};

// Writes a "BINRES" resource of Setup's own module to a file.
class clWinSetupCreateImage : public clWinSetupOneStepItem {
public:
    clWinSetupCreateImage();
    bool IsSame(const clSetupItem* other) const override;  // the file

    std::string filePath;
    int32_t resourceId = 0;

protected:
    int32_t DoWork() override;
};

// Creates "<folder>\<linkName>.LNK" pointing to the target.
class clWinSetupCreateShortcut : public clWinSetupOneStepItem {
public:
    clWinSetupCreateShortcut();
    bool IsSame(const clSetupItem* other) const override;  // the folder and the link name

    std::string folder;
    std::string linkName;
    std::string targetPath;

protected:
    int32_t DoWork() override;
};

// Sets the program, in double quotes, as an auto-start value of the Run key (of the machine,
// else of the user). A value that cannot be written does not fail the installation.
class clWinSetupRegStartRun : public clWinSetupOneStepItem {
public:
    clWinSetupRegStartRun();
    bool IsSame(const clSetupItem* other) const override;  // the value name

    std::string valueName;
    std::string programPath;

protected:
    int32_t DoWork() override;
};

// The Run value's command: the path between double quotes, also without blanks in it.
std::string QuotedCommand(const std::string& path);

// The folder of Setup's own executable with its closing backslash; empty when unknown.
std::string SetupExeDir();

// Factories. Each returns 0 (also when the new item was a duplicate and was dropped),
// SETUP_ERR_NO_MEMORY when the item cannot be allocated, or ERROR_PATH_NOT_FOUND when a
// folder that the item needs cannot be found. Where noted, an empty text adds nothing.
int32_t AddStopApp(clWinSetupList* list, const std::string& caption);                       // empty caption
int32_t AddCreateImage(clWinSetupList* list, const std::string& path, int32_t resourceId);  // empty path
int32_t AddCopyFile(clWinSetupList* list, const std::string& destination, const std::string& source);
// Copies a file from beside Setup.exe into the list's install folder; an empty name adds nothing.
int32_t AddCopyFromSetupDir(clWinSetupList* list, const std::string& fileName);
int32_t AddShortcut(clWinSetupList* list, const std::string& folder, const std::string& linkName,
                    const std::string& target);
// A shortcut in "<programs>\<subfolder>", or "<programs>\<group>\<subfolder>" for a group.
int32_t AddProgramsShortcut(clWinSetupList* list, const std::string& group, const std::string& subfolder,
                            const std::string& linkName, const std::string& target);
int32_t AddDesktopShortcut(clWinSetupList* list, const std::string& linkName, const std::string& target);
int32_t AddRegStartRun(clWinSetupList* list, const std::string& valueName, const std::string& programPath);

// The factories' folders; a test may put its own lookups in place (null: no such folder).
struct SetupFolderLookups {
    const char* (*programsDir)();
    const char* (*desktopDir)();
    std::string (*setupExeDir)();
};
extern SetupFolderLookups SetupFolders;
