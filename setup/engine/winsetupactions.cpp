// The one-step setup actions (copy a file, write a file from a resource, create a shortcut,
// set the auto-start value) and the factories that add them and the stop-application action.
#include "engine/winsetupactions.h"

#include "engine/stopapp.h"
#include "foundation/appregutil.h"
#include "foundation/fileutil.h"
#include "foundation/shortcututil.h"

#include <windows.h>

#include <new>

namespace {

// The folder of Setup's own executable, with its closing backslash.
std::string OwnExeDir()
{
    char path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::string();
    std::string text(path, length);
    size_t slash = text.rfind('\\');
    return slash == std::string::npos ? std::string() : text.substr(0, slash + 1);
}

template <class Item>
const Item* SameKind(const clSetupItem* self, const clSetupItem* other)
{
    if (!other || other->typeCode != self->typeCode)
        return nullptr;
    return static_cast<const Item*>(other);
}

}  // namespace

SetupFolderLookups SetupFolders = {GetProgramsDir, GetDesktopDir, OwnExeDir};

std::string SetupExeDir()
{
    return SetupFolders.setupExeDir();
}

std::string QuotedCommand(const std::string& path)
{
    return "\"" + path + "\"";
}

// ---- The one-step actions

clWinSetupOneStepItem::clWinSetupOneStepItem(int32_t type)
{
    typeCode = type;
    targetStep = 1;
}

int32_t clWinSetupOneStepItem::ExecuteStep()
{
    if (currentStep == 1)
        return 0;
    int32_t result = DoWork();
    if (result == 0)
        MarkDone();
    return result;
}

clWinSetupCopyFile::clWinSetupCopyFile() : clWinSetupOneStepItem(SETUP_TYPE_COPY_FILE) {}

bool clWinSetupCopyFile::IsSame(const clSetupItem* other) const
{
    const clWinSetupCopyFile* same = SameKind<clWinSetupCopyFile>(this, other);
    return same && same->destinationPath == destinationPath;
}

int32_t clWinSetupCopyFile::DoWork()
{
    // Optional files (help files beside Setup) are simply left out when they are not there.
    if (!IsExistingFile(sourcePath.c_str()))
        return 0;
    return CopyFileForced(sourcePath.c_str(), destinationPath.c_str());
}

clWinSetupCreateImage::clWinSetupCreateImage() : clWinSetupOneStepItem(SETUP_TYPE_IMAGE) {}

bool clWinSetupCreateImage::IsSame(const clSetupItem* other) const
{
    const clWinSetupCreateImage* same = SameKind<clWinSetupCreateImage>(this, other);
    return same && same->filePath == filePath;
}

int32_t clWinSetupCreateImage::DoWork()
{
    return ExtractBinRes(nullptr, filePath.c_str(), static_cast<uint16_t>(resourceId));
}

clWinSetupCreateShortcut::clWinSetupCreateShortcut() : clWinSetupOneStepItem(SETUP_TYPE_SHORTCUT) {}

bool clWinSetupCreateShortcut::IsSame(const clSetupItem* other) const
{
    const clWinSetupCreateShortcut* same = SameKind<clWinSetupCreateShortcut>(this, other);
    return same && same->folder == folder && same->linkName == linkName;
}

int32_t clWinSetupCreateShortcut::DoWork()
{
    return CreateShortcutFile(targetPath.c_str(), linkName.c_str(), folder.c_str());
}

clWinSetupRegStartRun::clWinSetupRegStartRun() : clWinSetupOneStepItem(SETUP_TYPE_REG_START_RUN) {}

bool clWinSetupRegStartRun::IsSame(const clSetupItem* other) const
{
    const clWinSetupRegStartRun* same = SameKind<clWinSetupRegStartRun>(this, other);
    return same && same->valueName == valueName;
}

int32_t clWinSetupRegStartRun::DoWork()
{
    // The auto-start is a convenience: an installation does not fail for want of it.
    RegisterStartRun(valueName.c_str(), QuotedCommand(programPath).c_str());
    return 0;
}

// ---- Factories

int32_t AddStopApp(clWinSetupList* list, const std::string& caption)
{
    if (caption.empty())
        return 0;
    clWinSetupStopApp* item = new (std::nothrow) clWinSetupStopApp;
    if (item)
        item->caption = caption;
    return AddNewSetupItem(list, item);
}

int32_t AddCreateImage(clWinSetupList* list, const std::string& path, int32_t resourceId)
{
    if (path.empty())
        return 0;
    clWinSetupCreateImage* item = new (std::nothrow) clWinSetupCreateImage;
    if (item) {
        item->filePath = path;
        item->resourceId = resourceId;
    }
    return AddNewSetupItem(list, item);
}

int32_t AddCopyFile(clWinSetupList* list, const std::string& destination, const std::string& source)
{
    clWinSetupCopyFile* item = new (std::nothrow) clWinSetupCopyFile;
    if (item) {
        item->sourcePath = source;
        item->destinationPath = destination;
    }
    return AddNewSetupItem(list, item);
}

int32_t AddCopyFromSetupDir(clWinSetupList* list, const std::string& fileName)
{
    if (fileName.empty())
        return 0;
    std::string setupDir = SetupExeDir();
    if (setupDir.empty())
        return ERROR_PATH_NOT_FOUND;
    std::string installDir = list ? list->installDir : std::string();
    return AddCopyFile(list, installDir + "\\" + fileName, setupDir + fileName);
}

int32_t AddShortcut(clWinSetupList* list, const std::string& folder, const std::string& linkName,
                    const std::string& target)
{
    clWinSetupCreateShortcut* item = new (std::nothrow) clWinSetupCreateShortcut;
    if (item) {
        item->folder = folder;
        item->linkName = linkName;
        item->targetPath = target;
    }
    return AddNewSetupItem(list, item);
}

int32_t AddProgramsShortcut(clWinSetupList* list, const std::string& group, const std::string& subfolder,
                            const std::string& linkName, const std::string& target)
{
    const char* programs = SetupFolders.programsDir();
    if (!programs)
        return ERROR_PATH_NOT_FOUND;
    std::string folder = programs;
    if (!group.empty())
        folder += "\\" + group;
    folder += "\\" + subfolder;
    return AddShortcut(list, folder, linkName, target);
}

int32_t AddDesktopShortcut(clWinSetupList* list, const std::string& linkName, const std::string& target)
{
    const char* desktop = SetupFolders.desktopDir();
    if (!desktop)
        return ERROR_PATH_NOT_FOUND;
    return AddShortcut(list, desktop, linkName, target);
}

int32_t AddRegStartRun(clWinSetupList* list, const std::string& valueName, const std::string& programPath)
{
    clWinSetupRegStartRun* item = new (std::nothrow) clWinSetupRegStartRun;
    if (item) {
        item->valueName = valueName;
        item->programPath = programPath;
    }
    return AddNewSetupItem(list, item);
}
