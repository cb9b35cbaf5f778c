#pragma once
// Handles, synchronisation, time and process identity.

#include <pthread.h>

#include "win32/win_types.h"

extern "C" {

// Closes a handle of any kind of kernel object. A value that is not an open handle of the
// process: FALSE, last error ERROR_INVALID_HANDLE.
BOOL WINAPI CloseHandle(HANDLE hObject);

// Critical sections: re-entrant locks owned by a thread. The layout is the stand-in's own; the
// product never looks inside. Using a section that was never initialised or has been deleted,
// leaving one that the thread does not own, or deleting one that is held are programming
// faults: the stand-in reports them on standard error and aborts the process.
typedef struct _RTL_CRITICAL_SECTION {
    pthread_mutex_t mutex;
    DWORD state;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// Interlocked operations: full barriers, results as the platform defines them (the new value
// for increment and decrement, the previous value for the exchanges).
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}

#define INFINITE 0xFFFFFFFF

void WINAPI Sleep(DWORD dwMilliseconds);

// Milliseconds from the system's monotonic clock, wrapping at 2^32, so every process of the
// machine agrees on them.
DWORD WINAPI GetTickCount();
DWORD WINAPI timeGetTime();

// The version a program without a compatibility manifest sees: 6.2, build 9200.
DWORD WINAPI GetVersion();

// The system's process id.
DWORD WINAPI GetCurrentProcessId();

}  // extern "C"
