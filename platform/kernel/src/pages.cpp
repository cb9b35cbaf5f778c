// Page lists over memfd-backed pages, their kernel views (this process) and user views (the
// calling process, through its caller context).

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "standin/sync.h"
#include "internal.h"
#include "pool_internal.h"
#include "standin/kernel/memory.h"

namespace standin::kernel {
namespace {

struct View {
    void* address = nullptr;
    std::size_t size = 0;
    bool user = false;
    std::uint32_t processId = 0;
};

struct PageList {
    int fd = -1;
    std::size_t bytes = 0;    // what the list describes
    std::size_t mapSize = 0;  // whole pages
    bool pagesFreed = false;
    std::vector<View> views;
};

struct PagesState {
    standin::Mutex mu;
    std::unordered_map<PMDL, PageList> lists;
    std::vector<PageList> orphans;  // lists whose MDL was freed before their pages
    unsigned failAllocations = 0;
    unsigned shortAllocations = 0;
    unsigned failSystemMappings = 0;
};

PagesState& state() {
    static PagesState* s = new PagesState;
    return *s;
}

std::size_t roundToPages(std::size_t bytes) {
    return (bytes + PAGE_SIZE - 1) / PAGE_SIZE * PAGE_SIZE;
}

void releaseKernelViews(PageList& list) {
    for (auto& v : list.views)
        if (!v.user) munmap(v.address, v.size);
    list.views.erase(
        std::remove_if(list.views.begin(), list.views.end(), [](const View& v) { return !v.user; }),
        list.views.end());
}

}  // namespace

namespace detail {

void freeMdlBlock(PMDL mdl, const char* caller) {
    if (!requireIrqlAtMost(DISPATCH_LEVEL, caller)) return;
    auto& s = state();
    {
        std::lock_guard lk(s.mu);
        auto it = s.lists.find(mdl);
        if (it != s.lists.end()) {
            // Pages that were not freed first stay allocated: a leak that stays counted.
            if (!it->second.pagesFreed) s.orphans.push_back(std::move(it->second));
            s.lists.erase(it);
        }
    }
    poolFree(mdl, nullptr, caller);
}

void resetPages() {
    auto& s = state();
    std::lock_guard lk(s.mu);
    auto drop = [](PageList& list) {
        releaseKernelViews(list);
        if (list.fd >= 0) close(list.fd);
        list.fd = -1;
    };
    for (auto& [mdl, list] : s.lists) drop(list);
    for (auto& list : s.orphans) drop(list);
    s.lists.clear();
    s.orphans.clear();
    s.failAllocations = s.shortAllocations = s.failSystemMappings = 0;
}

}  // namespace detail

namespace pages {

PageUsage outstanding() {
    auto& s = state();
    std::lock_guard lk(s.mu);
    PageUsage u;
    auto count = [&u](const PageList& list) {
        if (!list.pagesFreed) {
            ++u.pageLists;
            u.bytes += list.bytes;
        }
        for (const auto& v : list.views) (v.user ? u.userViews : u.systemViews)++;
    };
    for (const auto& [mdl, list] : s.lists) count(list);
    for (const auto& list : s.orphans) count(list);
    return u;
}

void failNextAllocations(unsigned count) {
    auto& s = state();
    std::lock_guard lk(s.mu);
    s.failAllocations = count;
}

void shortenNextAllocations(unsigned count) {
    auto& s = state();
    std::lock_guard lk(s.mu);
    s.shortAllocations = count;
}

void failNextSystemMappings(unsigned count) {
    auto& s = state();
    std::lock_guard lk(s.mu);
    s.failSystemMappings = count;
}

void processGone(std::uint32_t processId) {
    auto& s = state();
    std::lock_guard lk(s.mu);
    auto drop = [processId](PageList& list) {
        list.views.erase(std::remove_if(list.views.begin(), list.views.end(),
                                        [processId](const View& v) {
                                            return v.user && v.processId == processId;
                                        }),
                         list.views.end());
    };
    for (auto& [mdl, list] : s.lists) drop(list);
    for (auto& list : s.orphans) drop(list);
}

}  // namespace pages
}  // namespace standin::kernel

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;

extern "C" PMDL NTAPI MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress,
                                            PHYSICAL_ADDRESS HighAddress,
                                            PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes) {
    (void)LowAddress;
    (void)HighAddress;
    (void)SkipBytes;
    if (!detail::requireIrqlAtMost(APC_LEVEL, "MmAllocatePagesForMdl")) return nullptr;
    if (TotalBytes == 0 || TotalBytes > 0xFFFFF000u) return nullptr;
    auto& s = state();
    std::size_t bytes = TotalBytes;
    {
        std::lock_guard lk(s.mu);
        if (s.failAllocations > 0) {
            --s.failAllocations;
            return nullptr;
        }
        if (s.shortAllocations > 0) {
            --s.shortAllocations;
            bytes = TotalBytes / 2 / PAGE_SIZE * PAGE_SIZE;
            if (bytes == 0) return nullptr;
        }
    }
    std::size_t mapSize = roundToPages(bytes);
    int fd = memfd_create("standin-pages", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (ftruncate(fd, static_cast<off_t>(mapSize)) != 0) {
        close(fd);
        return nullptr;
    }
    auto* mdl = static_cast<PMDL>(detail::poolAllocate(NonPagedPool, sizeof(MDL), detail::kMdlTag,
                                                       detail::PoolBlockKind::Mdl));
    if (!mdl) {
        close(fd);
        return nullptr;
    }
    std::memset(mdl, 0, sizeof(MDL));
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->MdlFlags = MDL_PAGES_LOCKED;
    mdl->ByteCount = static_cast<ULONG>(bytes);
    std::lock_guard lk(s.mu);
    PageList list;
    list.fd = fd;
    list.bytes = bytes;
    list.mapSize = mapSize;
    s.lists.emplace(mdl, std::move(list));
    return mdl;
}

extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                                    KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE CacheType,
                                                    PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                                    ULONG Priority) {
    (void)CacheType;
    (void)RequestedAddress;
    (void)Priority;
    PMDL mdl = MemoryDescriptorList;
    bool user = AccessMode == UserMode;
    if (!detail::requireIrqlAtMost(user ? APC_LEVEL : DISPATCH_LEVEL,
                                   user ? "a user-mode mapping" : "a system-space mapping"))
        return nullptr;
    auto& s = state();
    int fd;
    std::size_t mapSize;
    {
        std::lock_guard lk(s.mu);
        auto it = mdl ? s.lists.find(mdl) : s.lists.end();
        if (it == s.lists.end() || it->second.pagesFreed) {
            detail::bugCheck(kBugCheckMemoryManagement,
                             "MmMapLockedPagesSpecifyCache on a page list that does not exist "
                             "or whose pages were freed");
            return nullptr;
        }
        if (!user) {
            if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) return mdl->MappedSystemVa;
            if (s.failSystemMappings > 0) {
                --s.failSystemMappings;
                if (BugCheckOnFailure)
                    detail::bugCheck(kBugCheckMemoryManagement, "no system space for a mapping");
                return nullptr;
            }
            void* p = mmap(nullptr, it->second.mapSize, PROT_READ | PROT_WRITE, MAP_SHARED,
                           it->second.fd, 0);
            if (p == MAP_FAILED) return nullptr;
            it->second.views.push_back(View{p, it->second.mapSize, false, 0});
            mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
            mdl->MappedSystemVa = p;
            return p;
        }
        fd = it->second.fd;
        mapSize = it->second.mapSize;
    }
    CallerContext* caller = currentCaller();
    if (!caller) {
        detail::bugCheck(kBugCheckMemoryManagement,
                         "a user-mode mapping outside the context of any process");
        return nullptr;
    }
    void* p = caller->mapRegion(fd, mapSize);
    if (!p) return nullptr;
    std::lock_guard lk(s.mu);
    auto it = s.lists.find(mdl);
    if (it == s.lists.end() || it->second.pagesFreed) {
        caller->unmapRegion(p, mapSize);
        return nullptr;
    }
    it->second.views.push_back(View{p, mapSize, true, caller->processId()});
    return p;
}

extern "C" VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    auto& s = state();
    // A user view is one process's: processes have address spaces of their own, so two of them
    // may hold views at the same address. The view is the calling process's view at that
    // address; without one there, the kernel's own view there. (The platform tells the two
    // apart by the address range; here a process's addresses and the machine's may meet, so
    // the calling process's view comes first.)
    CallerContext* caller = currentCaller();
    const std::uint32_t callerId = caller ? caller->processId() : 0;
    View view;
    bool othersOnly = false;  // only another process has a view at the address
    {
        std::lock_guard lk(s.mu);
        auto it = mdl ? s.lists.find(mdl) : s.lists.end();
        const View* found = nullptr;
        if (it != s.lists.end()) {
            for (const auto& v : it->second.views) {
                if (v.address != BaseAddress) continue;
                if (v.user && caller && v.processId == callerId) {
                    found = &v;
                    break;
                }
                if (!v.user && found == nullptr) found = &v;
                if (v.user) othersOnly = true;
            }
        }
        if (found != nullptr) {
            view = *found;
            othersOnly = false;
        }
    }
    if (othersOnly) {
        detail::bugCheck(kBugCheckMemoryManagement,
                         "a user view unmapped outside the context of its process");
        return;
    }
    if (!view.address) {
        detail::bugCheck(kBugCheckMemoryManagement,
                         "MmUnmapLockedPages of an address that is not a view of this page list");
        return;
    }
    if (!detail::requireIrqlAtMost(view.user ? APC_LEVEL : DISPATCH_LEVEL, "MmUnmapLockedPages"))
        return;
    if (view.user) {
        caller->unmapRegion(view.address, view.size);
    } else {
        munmap(view.address, view.size);
    }
    std::lock_guard lk(s.mu);
    auto it = s.lists.find(mdl);
    if (it == s.lists.end()) return;
    auto& views = it->second.views;
    for (auto v = views.begin(); v != views.end(); ++v) {
        if (v->address == BaseAddress && v->user == view.user &&
            (!view.user || v->processId == view.processId)) {
            views.erase(v);
            break;
        }
    }
    if (!view.user && mdl->MappedSystemVa == BaseAddress) {
        mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
        mdl->MappedSystemVa = nullptr;
    }
}

extern "C" VOID NTAPI MmFreePagesFromMdl(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "MmFreePagesFromMdl")) return;
    auto& s = state();
    std::size_t mapped = 0;
    {
        std::lock_guard lk(s.mu);
        auto it = mdl ? s.lists.find(mdl) : s.lists.end();
        if (it == s.lists.end() || it->second.pagesFreed) {
            mapped = ~std::size_t{0};
        } else {
            auto& list = it->second;
            mapped = list.views.size();
            // Views left behind: the kernel's own go with the pages; a process keeps its view
            // of memory that no longer belongs to the list until it unmaps it or ends.
            releaseKernelViews(list);
            list.views.clear();
            close(list.fd);
            list.fd = -1;
            list.pagesFreed = true;
            mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
            mdl->MappedSystemVa = nullptr;
        }
    }
    if (mapped == ~std::size_t{0}) {
        detail::bugCheck(kBugCheckMemoryManagement,
                         "MmFreePagesFromMdl on a page list that does not exist or whose pages "
                         "were already freed");
    } else if (mapped > 0) {
        detail::bugCheck(kBugCheckMemoryManagement,
                         "MmFreePagesFromMdl while " + std::to_string(mapped) +
                             " view(s) of the pages are still mapped (unmap them first)");
    }
}

extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl) {
    if (!Mdl || detail::poolBlockKind(Mdl) != detail::PoolBlockKind::Mdl) {
        detail::bugCheck(kBugCheckBadPoolCaller, "IoFreeMdl of something that is not an MDL");
        return;
    }
    detail::freeMdlBlock(Mdl, "IoFreeMdl");
}
