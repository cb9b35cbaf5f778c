#pragma once
// Events, waits and threads.
//
// Events are eventfd objects, so that the kernel host can set an event of a process: manual
// reset stays signalled until ResetEvent; automatic reset is consumed by the wait it satisfies.
// Named events are shared by every process of the machine (through the machine; without a
// machine running, by the threads of this process only). Names are case-sensitive; the prefixes
// "Global\" and "Local\" name the one namespace there is. Security attributes and descriptors
// are accepted and not enforced: every process of the machine may use every event.
//
// Threads: each thread has a thread object in memory the process shares with the kernel host;
// its current priority byte is what the kernel sees and writes. In the normal priority class a
// thread's priority is 8 + its relative priority (1 for idle, 15 for time-critical);
// GetThreadPriority reads the byte back, so a priority the kernel raised to 31 reads as
// THREAD_PRIORITY_TIME_CRITICAL. Relative priorities are also applied to the thread's nice
// value as far as the system allows without special rights (a thread whose nice value the
// system does not let go down keeps its nice value; its priority byte changes all the same).

#include "win32/win_types.h"

extern "C" {

// ---- Security descriptors ---------------------------------------------------------------------
typedef PVOID PSID;
typedef struct _ACL* PACL;
typedef PVOID PSECURITY_DESCRIPTOR;

typedef struct _SECURITY_DESCRIPTOR {
    BYTE Revision;
    BYTE Sbz1;
    WORD Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR;

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         DWORD dwRevision);
BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                                      PACL pDacl, BOOL bDaclDefaulted);

// ---- Events -----------------------------------------------------------------------------------
#define SYNCHRONIZE 0x00100000L
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x001F0003

// A named event that exists already is opened (its reset mode and state stay as they are) and
// the last error is ERROR_ALREADY_EXISTS; otherwise the last error is ERROR_SUCCESS.
HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName);
// NULL and ERROR_FILE_NOT_FOUND when no event has the name.
HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);

// ---- Waits ------------------------------------------------------------------------------------
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED 0xFFFFFFFF

// Waits for an event or a thread (signalled once it has ended). Time-outs in milliseconds of
// real time; INFINITE waits for ever. A handle of another kind: WAIT_FAILED and
// ERROR_INVALID_HANDLE.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);

// ---- Threads ----------------------------------------------------------------------------------
typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define CREATE_SUSPENDED 0x00000004
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0x00010000
#define STILL_ACTIVE 259L

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

// The thread runs at once (CREATE_SUSPENDED is not offered: ERROR_NOT_SUPPORTED). A stack size
// of 0 is the default size.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId);
// The pseudo handle of the calling thread ((HANDLE)-2); valid in the thread calls below.
HANDLE WINAPI GetCurrentThread();
DWORD WINAPI GetCurrentThreadId();
BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority);
int WINAPI GetThreadPriority(HANDLE hThread);
// STILL_ACTIVE while the thread runs, then the value its start routine returned.
BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);

}  // extern "C"
