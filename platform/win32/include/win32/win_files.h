#pragma once
// Files and folders. Paths are Windows paths ("c:\temp\x.log", forward slashes accepted); the
// stand-in maps them below the machine's root folder (see standin/win32/machine.h).

#include <cstdio>

#include "win32/win_types.h"

extern "C" {

#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFF
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_NORMAL 0x00000080

DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName);
BOOL WINAPI DeleteFileA(LPCSTR lpFileName);
BOOL WINAPI CreateDirectoryA(LPCSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes);

// The C runtime's shared-mode open. Only _SH_DENYNO (others may read and write) is offered:
// that is what this system's files are shared as on any host. The mode letters are those of
// fopen; "t" (text) is accepted and lines are written as the host writes them. A missing
// folder makes the open fail (errno ENOENT); folders are never created.
#define _SH_DENYNO 0x40
FILE* _fsopen(const char* filename, const char* mode, int shflag);

}  // extern "C"
