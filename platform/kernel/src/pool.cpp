// Non-paged and paged pool with per-tag accounting and fault injection.

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "standin/sync.h"
#include "internal.h"
#include "pool_internal.h"
#include "standin/kernel/memory.h"

namespace standin::kernel {
namespace {

// The pool fills fresh blocks with this byte: pool memory is not zeroed.
constexpr unsigned char kFreshFill = 0xCD;
// The largest block the pool hands out.
constexpr std::size_t kLargestBlock = std::size_t{512} << 20;

struct Block {
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
    std::size_t size = 0;
    detail::PoolBlockKind kind = detail::PoolBlockKind::Plain;
};

struct PoolState {
    standin::Mutex mu;
    std::unordered_map<void*, Block> blocks;
    std::map<ULONG, pool::TagUsage> usage;
    unsigned failCount = 0;
    ULONG failTag = 0;
};

PoolState& state() {
    static PoolState* s = new PoolState;
    return *s;
}

std::string tagText(ULONG tag) {
    std::string s(4, '?');
    std::memcpy(s.data(), &tag, 4);
    for (auto& ch : s)
        if (ch < 0x20 || ch > 0x7e) ch = '?';
    return s;
}

}  // namespace

namespace detail {

void* poolAllocate(POOL_TYPE type, std::size_t size, ULONG tag, PoolBlockKind kind) {
    if (type != NonPagedPool && type != PagedPool) return nullptr;
    if (type == PagedPool && !requireIrqlAtMost(APC_LEVEL, "a paged-pool allocation"))
        return nullptr;
    if (!requireIrqlAtMost(DISPATCH_LEVEL, "a pool allocation")) return nullptr;
    if (size > kLargestBlock) return nullptr;
    auto& s = state();
    {
        std::lock_guard lk(s.mu);
        if (s.failCount > 0 && (s.failTag == 0 || s.failTag == tag)) {
            --s.failCount;
            return nullptr;
        }
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (!p) return nullptr;
    if (kind == PoolBlockKind::Plain) std::memset(p, kFreshFill, size);
    std::lock_guard lk(s.mu);
    s.blocks.emplace(p, Block{tag, type, size, kind});
    auto& u = s.usage[tag];
    ++u.allocations;
    u.bytes += size;
    return p;
}

bool poolFree(void* p, const ULONG* expectedTag, const char* caller) {
    if (!p) {
        bugCheck(kBugCheckBadPoolCaller, std::string(caller) + " of a null pointer");
        return false;
    }
    auto& s = state();
    Block block;
    {
        std::lock_guard lk(s.mu);
        auto it = s.blocks.find(p);
        if (it == s.blocks.end()) {
            // Reported below, outside the lock.
            block.size = ~std::size_t{0};
        } else {
            block = it->second;
        }
    }
    if (block.size == ~std::size_t{0}) {
        bugCheck(kBugCheckBadPoolCaller, std::string(caller) +
                                             " of memory that is not an allocated pool block "
                                             "(freed twice, or never allocated)");
        return false;
    }
    if (expectedTag && *expectedTag != block.tag) {
        bugCheck(kBugCheckBadPoolCaller, std::string(caller) + " with tag '" +
                                             tagText(*expectedTag) + "' of a block tagged '" +
                                             tagText(block.tag) + "'");
        return false;
    }
    if (block.type == PagedPool && !requireIrqlAtMost(APC_LEVEL, "freeing paged pool"))
        return false;
    if (!requireIrqlAtMost(DISPATCH_LEVEL, caller)) return false;
    checkNoActiveTimersIn(p, block.size);
    {
        std::lock_guard lk(s.mu);
        auto it = s.blocks.find(p);
        if (it == s.blocks.end()) return false;  // lost a race with another free
        auto u = s.usage.find(block.tag);
        if (u != s.usage.end()) {
            --u->second.allocations;
            u->second.bytes -= block.size;
            if (u->second.allocations == 0) s.usage.erase(u);
        }
        s.blocks.erase(it);
    }
    std::free(p);
    return true;
}

PoolBlockKind poolBlockKind(void* p) {
    auto& s = state();
    std::lock_guard lk(s.mu);
    auto it = s.blocks.find(p);
    return it == s.blocks.end() ? PoolBlockKind::Unknown : it->second.kind;
}

void resetPool() {
    auto& s = state();
    std::lock_guard lk(s.mu);
    for (auto& [p, b] : s.blocks) std::free(p);
    s.blocks.clear();
    s.usage.clear();
    s.failCount = 0;
    s.failTag = 0;
}

}  // namespace detail

namespace pool {

TagUsage outstanding(ULONG tag) {
    auto& s = state();
    std::lock_guard lk(s.mu);
    auto it = s.usage.find(tag);
    return it == s.usage.end() ? TagUsage{} : it->second;
}

std::map<ULONG, TagUsage> outstandingByTag() {
    auto& s = state();
    std::lock_guard lk(s.mu);
    return s.usage;
}

ULONG tagFromText(const char* text) {
    ULONG tag = 0;
    char bytes[4] = {' ', ' ', ' ', ' '};
    for (int i = 0; i < 4 && text && text[i]; ++i) bytes[i] = text[i];
    std::memcpy(&tag, bytes, 4);
    return tag;
}

void failNextAllocations(unsigned count, ULONG tag) {
    auto& s = state();
    std::lock_guard lk(s.mu);
    s.failCount = count;
    s.failTag = tag;
}

}  // namespace pool
}  // namespace standin::kernel

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return detail::poolAllocate(PoolType, NumberOfBytes, Tag, detail::PoolBlockKind::Plain);
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    if (detail::poolBlockKind(P) == detail::PoolBlockKind::Mdl) {
        detail::freeMdlBlock(static_cast<PMDL>(P), "ExFreePoolWithTag");
        return;
    }
    detail::poolFree(P, &Tag, "ExFreePoolWithTag");
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
    if (detail::poolBlockKind(P) == detail::PoolBlockKind::Mdl) {
        detail::freeMdlBlock(static_cast<PMDL>(P), "ExFreePool");
        return;
    }
    detail::poolFree(P, nullptr, "ExFreePool");
}
