#pragma once
// Starting programs: CreateProcessA and the shell's ShellExecuteA.

#include "win32/win_types.h"

extern "C" {

typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *PPROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Starts a program. The program is an executable file of this machine (an ELF program or a
// script with its interpreter line) found at the mapped path. The command line is split into
// the program's arguments by the platform's rules. Creation flags and the start-up record are
// accepted and not interpreted.
BOOL WINAPI CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCSTR lpCurrentDirectory,
                           LPSTARTUPINFOA lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation);

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOW 5

// Opens a file with the default verb ("open", or NULL). A batch file (.bat, .cmd) is a shell
// script on this machine and runs through /bin/sh with the parameters as its arguments; an
// executable file runs directly. The result is greater than 32 on success, else an error
// value of 32 or less (2 file not found, 3 path not found, 5 access denied, 31 no
// association).
HINSTANCE WINAPI ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                               LPCSTR lpDirectory, INT nShowCmd);

// Reads a variable of the process's environment into lpBuffer with its terminator. The result is
// the length without the terminator; when the buffer is too small, the size it needs with the
// terminator (the buffer is not written); 0 with ERROR_ENVVAR_NOT_FOUND when there is no such
// variable.
DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize);

}  // extern "C"
