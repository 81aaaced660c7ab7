// Path helpers.
#include "classlib/sysutils.h"

#include <windows.h>

namespace {

bool IsPathDelimiter(char c)
{
    return c == '\\' || c == ':';
}

}  // namespace

std::string ExtractFileDir(const std::string& path)
{
    // Walk by characters, so that a backslash byte inside a double-byte
    // character is never taken for a delimiter.
    size_t last = std::string::npos, startBeforeLast = std::string::npos, previous = std::string::npos;
    for (size_t i = 0; i < path.size();) {
        if (IsPathDelimiter(path[i])) {
            startBeforeLast = previous;
            last = i;
        }
        previous = i;
        i += IsDBCSLeadByte(static_cast<BYTE>(path[i])) && i + 1 < path.size() ? 2 : 1;
    }
    if (last == std::string::npos)
        return std::string();
    size_t end = last + 1;  // keep the delimiter of a root ("C:\", "\")
    bool afterDelimiter = last > 0 && startBeforeLast == last - 1 && IsPathDelimiter(path[last - 1]);
    if (path[last] == '\\' && last > 0 && !afterDelimiter)
        end = last;
    return path.substr(0, end);
}
