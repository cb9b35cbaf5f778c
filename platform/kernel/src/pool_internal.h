#pragma once
// Pool blocks as the other parts of the stand-in allocate them.

#include <cstddef>

#include "knt/knt.h"

namespace standin::kernel::detail {

enum class PoolBlockKind { Unknown, Plain, Mdl };

// Allocates a pool block (counted under `tag`, subject to fault injection); null on failure.
// Plain blocks are filled with a non-zero byte, as pool is not zeroed.
void* poolAllocate(POOL_TYPE type, std::size_t size, ULONG tag, PoolBlockKind kind);
// Frees a block; `expectedTag` (optional) must match its tag. Bug-checks a bad free and
// returns false.
bool poolFree(void* p, const ULONG* expectedTag, const char* caller);
PoolBlockKind poolBlockKind(void* p);

// The tag MDL blocks are counted under.
inline constexpr ULONG kMdlTag = 0x206C644D;  // "Mdl "

// Frees an MDL block (its pages stay counted when they were not freed first).
void freeMdlBlock(PMDL mdl, const char* caller);

}  // namespace standin::kernel::detail
