// Ini files.
#include "classlib/inifile.h"

#include "classlib/exception.h"

#include <windows.h>

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue)
{
    char buffer[2048];
    DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), buffer,
                                            sizeof buffer, fileName_.c_str());
    return std::string(buffer, length);
}

void TIniFile::WriteString(const std::string& section, const std::string& key, const std::string& value)
{
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), fileName_.c_str()))
        throw EIniFileException("Unable to write to " + fileName_);
}
