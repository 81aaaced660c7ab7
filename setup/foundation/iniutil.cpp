// Ini-file value written only when it changes.
#include "foundation/iniutil.h"

#include "classlib/exception.h"
#include "classlib/inifile.h"
#include "foundation/securityutil.h"

bool IniWriteStringIfChanged(const char* file, const char* section, const char* key, const char* value)
{
    if (!file || !section || !key || !value)
        return false;
    try {
        TIniFile ini(file);
        if (ini.ReadString(section, key, "") == value)
            return true;  // unchanged: neither written nor re-granted
        ini.WriteString(section, key, value);
    } catch (const Exception&) {
        return false;
    }
    GrantUsersAccess(file);  // a failed grant does not fail the write
    return true;
}
