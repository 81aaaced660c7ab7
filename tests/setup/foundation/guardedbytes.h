// Test helper: bytes placed right before an inaccessible page, so any read past their end faults.
#pragma once

#include <windows.h>
#include <cstring>
#include <string>

class GuardedBytes {
public:
    explicit GuardedBytes(const std::string& bytes)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        page_ = info.dwPageSize;
        const size_t dataBytes = (bytes.size() + page_ - 1) / page_ * page_;
        base_ = static_cast<char*>(
            VirtualAlloc(nullptr, dataBytes + page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_ + dataBytes, page_, PAGE_NOACCESS, &old);
        data_ = base_ + dataBytes - bytes.size();
        memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    const char* data() const { return data_; }

private:
    DWORD page_ = 0;
    char* base_ = nullptr;
    char* data_ = nullptr;
};
