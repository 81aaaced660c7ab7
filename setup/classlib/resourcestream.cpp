// Resource streams.
#include "classlib/resourcestream.h"

#include "classlib/exception.h"

#include <string>

const wchar_t ResourceTypeBinRes[] = L"BINRES";

TResourceStream::TResourceStream(HINSTANCE module, int id, const wchar_t* type)
{
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type);
    HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    data_ = loaded ? LockResource(loaded) : nullptr;
    if (!data_)
        throw EResNotFound("Resource " + std::to_string(id) + " not found");
    size_ = SizeofResource(module, found);
}
