// Test helper: "BINRES" resources held by the test and served through a BinResSource, each
// right before an inaccessible page so that a read past its end faults.
#pragma once

#include "guardedbytes.h"

#include <stdint.h>

#include <map>
#include <memory>
#include <string>

// The bytes of a UTF-16LE text, after the byte-order mark FF FE unless mark is false.
inline std::string Utf16Bytes(const std::wstring& text, bool mark = true)
{
    std::string bytes = mark ? std::string("\xFF\xFE", 2) : std::string();
    for (wchar_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    return bytes;
}

class FakeBinRes {
public:
    static void Clear() { Table().clear(); }
    static void Set(uint16_t id, const std::string& bytes)
    {
        Table()[id] = Resource{std::make_unique<GuardedBytes>(bytes), static_cast<uint32_t>(bytes.size())};
    }
    // A BinResSource.
    static const void* Source(uint16_t id, uint32_t* outSize)
    {
        *outSize = 0;
        auto found = Table().find(id);
        if (found == Table().end())
            return nullptr;
        *outSize = found->second.size;
        return found->second.bytes->data();
    }

private:
    struct Resource {
        std::unique_ptr<GuardedBytes> bytes;
        uint32_t size;
    };
    static std::map<uint16_t, Resource>& Table()
    {
        static std::map<uint16_t, Resource> table;
        return table;
    }
};
