// An ini file read and written through the system's profile functions.
#pragma once

#include <string>

class TIniFile {
public:
    explicit TIniFile(const std::string& fileName) : fileName_(fileName) {}

    const std::string& FileName() const { return fileName_; }
    // The value, or defaultValue when the key is missing.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue);
    // Raises EIniFileException when the file cannot be written.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

private:
    std::string fileName_;
};
