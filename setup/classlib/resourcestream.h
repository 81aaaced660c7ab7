// Read-only access to a resource of a module.
#pragma once

#include <windows.h>

#include <cstddef>

class TResourceStream {
public:
    // Raises EResNotFound when module holds no resource id of type.
    TResourceStream(HINSTANCE module, int id, const wchar_t* type);
    TResourceStream(const TResourceStream&) = delete;
    TResourceStream& operator=(const TResourceStream&) = delete;

    const void* Memory() const { return data_; }
    size_t Size() const { return size_; }

private:
    const void* data_ = nullptr;
    size_t size_ = 0;
};

// The resource type of Setup's binary resources (payload and PNG pictures).
extern const wchar_t ResourceTypeBinRes[];
