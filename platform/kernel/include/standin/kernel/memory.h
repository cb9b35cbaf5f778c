#pragma once
// Accounting and fault injection for pool and page lists.

#include <cstddef>
#include <cstdint>
#include <map>

#include "knt/knt.h"

namespace standin::kernel::pool {

struct TagUsage {
    std::size_t allocations = 0;  // blocks allocated and not freed
    std::size_t bytes = 0;        // their total size
};

// Outstanding pool under `tag`, the ULONG a driver passes (a multi-character literal such as
// 'kdvq', whose bytes in memory read "qvdk").
TagUsage outstanding(ULONG tag);
std::map<ULONG, TagUsage> outstandingByTag();

// The tag whose four bytes in memory are `text` ("qvdk" gives 'kdvq').
ULONG tagFromText(const char* text);

// Makes the next `count` pool allocations fail (return null); with a tag, only allocations
// under that tag count and fail. Framework objects and memory objects allocate from pool too.
void failNextAllocations(unsigned count, ULONG tag = 0);

}  // namespace standin::kernel::pool

namespace standin::kernel::pages {

struct PageUsage {
    std::size_t pageLists = 0;    // page lists whose pages are not freed
    std::size_t bytes = 0;        // bytes of those pages
    std::size_t systemViews = 0;  // kernel views still mapped
    std::size_t userViews = 0;    // views in processes still mapped
};
PageUsage outstanding();

// The next `count` page allocations return no list.
void failNextAllocations(unsigned count);
// The next `count` page allocations return a list shorter than asked (about half).
void shortenNextAllocations(unsigned count);
// The next `count` mappings into system space fail.
void failNextSystemMappings(unsigned count);

// A process has ended: its views are gone with it.
void processGone(std::uint32_t processId);

}  // namespace standin::kernel::pages
