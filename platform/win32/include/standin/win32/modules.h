#pragma once
// The stand-in's view of the modules loaded into the process.
//
// Every shared object in the process is a module, however it came in: through LoadLibraryA,
// linked at build time, or opened with plain dlopen. The stand-in does not keep a registration
// for them: GetModuleHandleA, GetModuleFileNameA and GetProcAddress look at the process's list
// of loaded objects (dl_iterate_phdr) at each call. LoadLibraryA and FreeLibrary keep their own
// reference counts for the modules they load, and run DllMain.

#include "win32/windows.h"

namespace standin::win32 {

// The module whose mapping contains `address`, or NULL.
HMODULE moduleFromAddress(const void* address);

}  // namespace standin::win32
