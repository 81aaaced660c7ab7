// The Windows uninstall entry of the product (the list of installed programs).
#include "engine/reguninstall.h"

#include "classlib/exception.h"
#include "classlib/registry.h"
#include "foundation/strutil.h"

namespace {

const char UninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char Publisher[] = "DORQ";
const char Comments[] = "JYX";  // the product family's short name
const char DisplayVersionValue[] = "DisplayVersion";

class RegistryUninstallKey : public UninstallEntryKey {
public:
    bool Open(const std::string& path) override
    {
        registry_.SetRootKey(HKEY_LOCAL_MACHINE);
        return registry_.OpenKey(path, true);
    }
    std::string ReadString(const std::string& name) override { return registry_.ReadString(name); }
    void WriteString(const std::string& name, const std::string& value) override
    {
        registry_.WriteString(name, value);
    }
    void WriteInteger(const std::string& name, int32_t value) override
    {
        registry_.WriteInteger(name, value);
    }

private:
    TRegistry registry_;
};

// Writes text as name unless it is empty or already stored; true when it was written.
bool WriteChangedText(UninstallEntryKey& key, const char* name, const std::string& text)
{
    if (text.empty() || key.ReadString(name) == text)
        return false;
    key.WriteString(name, text);
    return true;
}

// "2.04.02" for 20402.
std::string VersionString(int32_t code)
{
    char text[VERSION_TEXT_BUFFER] = {};
    int length = FormatVersion(text, static_cast<uint32_t>(code));
    return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

}  // namespace

std::string UninstallEntryPath(const std::string& productKey)
{
    return std::string(UninstallKey) + "\\" + productKey;
}

clWinSetupRegUninstall::clWinSetupRegUninstall()
{
    typeCode = SETUP_TYPE_REG_UNINSTALL;
    targetStep = 1;
}

bool clWinSetupRegUninstall::IsSame(const clSetupItem* other) const
{
    return other && other->typeCode == typeCode &&
           static_cast<const clWinSetupRegUninstall*>(other)->productKey == productKey;
}

int32_t clWinSetupRegUninstall::ExecuteStep()
{
    if (currentStep == 1)
        return 0;
    WriteUninstallEntry();
    MarkDone();
    return 0;
}

void clWinSetupRegUninstall::WriteUninstallEntry()
{
    RegistryUninstallKey key;
    WriteUninstallEntryTo(key);
}

void clWinSetupRegUninstall::WriteUninstallEntryTo(UninstallEntryKey& key)
{
    // The entry is a convenience of Windows' program list: a refused read or write ends it
    // where it is, and the installation goes on.
    try {
        if (!key.Open(UninstallEntryPath(productKey)))
            return;
        // The texts that this product leaves empty (help telephone, contact, readme, help
        // link, about and update addresses) are never touched.
        WriteChangedText(key, "DisplayName", productKey);
        WriteChangedText(key, "UninstallString", uninstallCommand);
        WriteChangedText(key, "DisplayIcon", iconPath);
        WriteChangedText(key, "Publisher", Publisher);
        WriteChangedText(key, "Comments", Comments);
        if (WriteChangedText(key, DisplayVersionValue, VersionString(UninstallEntryVersionCode))) {
            key.WriteInteger("VersionMajor", UninstallEntryVersionCode / 10000);
            key.WriteInteger("VersionMinor", UninstallEntryVersionCode / 100 % 100);
        }
        if (estimatedSize != 0)
            key.WriteInteger("EstimatedSize", estimatedSize);
        key.WriteInteger("NoModify", 1);
        key.WriteInteger("NoRepair", 1);
    } catch (const Exception&) {
    }
}
