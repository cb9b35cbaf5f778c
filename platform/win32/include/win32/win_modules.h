#pragma once
// Modules (DLLs). The modules of this machine are ELF shared objects that keep their platform
// file names ("VexaAsioVq36.dll"). An HMODULE is the base address of the module's mapping, as
// on the platform. See the stand-in's modules.cpp for the search order and the entry point.

#include "win32/win_types.h"

extern "C" {

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// The platform's FARPROC returns INT_PTR. Here it returns nothing: callers always cast it to the
// real type of the export, and the compiler accepts that cast from this type only.
typedef void(WINAPI* FARPROC)();

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
DWORD WINAPI GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
// Thread notifications are never delivered here; TRUE for a loaded module.
BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);

}  // extern "C"
