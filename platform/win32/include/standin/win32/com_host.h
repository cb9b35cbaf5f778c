#pragma once
// The client side of in-process servers as hosts and tests use it, beyond the platform's calls.

#include <cstddef>

#include "win32/windows.h"

namespace standin::win32 {

// Releases an object that came from an in-process server, then asks the server modules whether
// they can unload and unloads those that answer S_OK (CoFreeUnusedLibraries). The result is
// the object's Release result. A null object: 0, and nothing else happens.
ULONG releaseInprocObject(IUnknown* object);

// Server modules that the client side holds loaded in this process.
std::size_t loadedInprocServers();

// Blocks of task memory (CoTaskMemAlloc) not yet freed in this process.
long liveTaskMemoryBlocks();

}  // namespace standin::win32
