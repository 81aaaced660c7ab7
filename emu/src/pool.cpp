// Nonpaged pool: tag-checked blocks with guard bytes, per-tag accounting,
// poisoning on free and failure injection.
#include "core.h"

#include <stdlib.h>

#include <map>
#include <unordered_map>

namespace emu {
namespace {

constexpr uint64_t kPoolMagic = 0x504f4f4c454d5521ull;
constexpr size_t kGuardBytes = 16;
constexpr uint8_t kGuardFill = 0xFD;
constexpr uint8_t kFreedFill = 0xDD;
constexpr uint8_t kFreshFill = 0xCD;  // new blocks are not zeroed, as in Windows

struct alignas(16) BlockHeader {
    uint64_t magic;
    ULONG tag;
    POOL_TYPE type;
    size_t bytes;
    uint64_t serial;
};

struct Pool {
    std::mutex lock;
    std::map<const uint8_t*, size_t> live;  // body -> bytes, ordered for address lookups
    std::unordered_map<ULONG, PoolStats> byTag;
    PoolStats total;
    uint64_t allocations = 0;
};

Pool& ThePool()
{
    static Pool* pool = new Pool;
    return *pool;
}

std::string TagText(ULONG tag)
{
    char text[5];
    for (int i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)(tag >> (8 * i));
        c &= 0x7F;
        text[i] = (c >= 0x20 && c < 0x7F) ? (char)c : '.';
    }
    text[4] = 0;
    char out[32];
    snprintf(out, sizeof out, "'%s' (0x%08x)", text, tag);
    return out;
}

bool GuardIntact(const BlockHeader* h)
{
    const uint8_t* guard = (const uint8_t*)(h + 1) + h->bytes;
    for (size_t i = 0; i < kGuardBytes; ++i)
        if (guard[i] != kGuardFill)
            return false;
    return true;
}

}  // namespace

PoolStats PoolUsage()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.total;
}

PoolStats PoolUsage(ULONG tag)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    auto it = pool.byTag.find(tag);
    return it == pool.byTag.end() ? PoolStats() : it->second;
}

uint64_t PoolAllocationCount()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    return pool.allocations;
}

void ReportPoolLeaks()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    for (auto& [tag, stats] : pool.byTag) {
        if (stats.blocks == 0)
            continue;
        Report(Fault::PoolLeak, "%llu block(s), %llu byte(s) of tag %s still allocated",
               (unsigned long long)stats.blocks, (unsigned long long)stats.bytes, TagText(tag).c_str());
    }
}

// Frees every live block (after a leak has been reported, so that the next
// machine starts from an empty pool).
void ResetPoolForTest()
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    for (auto& [body, bytes] : pool.live)
        free((BlockHeader*)body - 1);
    pool.live.clear();
    pool.byTag.clear();
    pool.total = PoolStats();
}

bool IsNonPagedPoolRange(const void* address, size_t bytes)
{
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    const uint8_t* start = (const uint8_t*)address;
    auto it = pool.live.upper_bound(start);
    if (it == pool.live.begin())
        return false;
    --it;
    const BlockHeader* h = (const BlockHeader*)it->first - 1;
    if (start + bytes > it->first + it->second)
        return false;
    return h->type != PagedPool && h->type != PagedPoolCacheAligned;
}

}  // namespace emu

using namespace emu;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    bool paged = type == PagedPool || type == PagedPoolCacheAligned;
    RequireIrqlAtMost(paged ? APC_LEVEL : DISPATCH_LEVEL, Fault::IrqlMismatch, "ExAllocatePoolWithTag");
    if (ShouldFail(Resource::Pool))
        return NULL;
    if (bytes > (SIZE_T(1) << 40))
        return NULL;
    BlockHeader* h =
        (BlockHeader*)aligned_alloc(16, (sizeof(BlockHeader) + bytes + kGuardBytes + 15) & ~size_t(15));
    if (h == NULL)
        return NULL;
    h->magic = kPoolMagic;
    h->tag = tag;
    h->type = type;
    h->bytes = bytes;
    void* body = h + 1;
    memset(body, kFreshFill, bytes);
    memset((uint8_t*)body + bytes, kGuardFill, kGuardBytes);
    Pool& pool = ThePool();
    std::lock_guard<std::mutex> guard(pool.lock);
    h->serial = ++pool.allocations;
    pool.live[(const uint8_t*)body] = bytes;
    PoolStats& stats = pool.byTag[tag];
    stats.bytes += bytes;
    stats.blocks += 1;
    pool.total.bytes += bytes;
    pool.total.blocks += 1;
    return body;
}

extern "C" PVOID NTAPI ExAllocatePool(POOL_TYPE type, SIZE_T bytes)
{
    return ExAllocatePoolWithTag(type, bytes, 0x20656e6f /* "one " */);
}

// A protected block (its tag's top bit set) must be freed with its tag
// without that bit: Windows compares both tags without it, ReactOS keeps the
// tag without it and stops at a free that passes it set. Any other block
// takes its own tag, or none.
static bool FreeTagAccepted(ULONG allocated, ULONG passed)
{
    if (allocated & PROTECTED_POOL)
        return passed == (allocated & ~PROTECTED_POOL);
    return passed == allocated || passed == 0;
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID block, ULONG tag)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, Fault::IrqlMismatch, "ExFreePoolWithTag");
    Pool& pool = ThePool();
    BlockHeader* h;
    {
        std::lock_guard<std::mutex> guard(pool.lock);
        if (block == NULL || pool.live.count((const uint8_t*)block) == 0) {
            Report(Fault::BadPoolFree, "ExFreePoolWithTag(%p): not a live pool block (freed twice?)", block);
            return;
        }
        h = (BlockHeader*)block - 1;
        if (!FreeTagAccepted(h->tag, tag)) {
            Report(Fault::WrongPoolTag, "block %p allocated with tag %s freed with tag %s", block,
                   TagText(h->tag).c_str(), TagText(tag).c_str());
            return;  // a bug check in Windows: the block stays allocated
        }
        if (!GuardIntact(h))
            Report(Fault::PoolOverrun, "block %p of %zu bytes, tag %s: written past its end", block, h->bytes,
                   TagText(h->tag).c_str());
        pool.live.erase((const uint8_t*)block);
        PoolStats& stats = pool.byTag[h->tag];
        stats.bytes -= h->bytes;
        stats.blocks -= 1;
        pool.total.bytes -= h->bytes;
        pool.total.blocks -= 1;
    }
    memset(block, kFreedFill, h->bytes);
    h->magic = 0;
    free(h);
}

extern "C" VOID NTAPI ExFreePool(PVOID block)
{
    ExFreePoolWithTag(block, 0);
}
