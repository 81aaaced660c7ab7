// Ini-file value written only when it changes.
#pragma once

// Writes value under section/key of file when the stored text differs (exact
// comparison), then gives the users group access to the file. True when the
// value is (now) stored; false when the file cannot be written.
bool IniWriteStringIfChanged(const char* file, const char* section, const char* key, const char* value);
