#pragma once
// Kernel services: execution levels, pool, page lists and their mappings, dispatcher objects
// (events and timers), object references by handle, time and threads.

#include <cstring>

#include "knt/nt_types.h"

// ---------------------------------------------------------------------------------------------
// Execution levels. Each thread has its own; spin locks raise it to DISPATCH_LEVEL.
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

extern "C" KIRQL NTAPI KeGetCurrentIrql(void);

// Catches code that may only run where pages can be faulted in (at most APC_LEVEL).
extern "C" VOID NTAPI StandinCheckPagedCode(const char* where);
#define PAGED_CODE() StandinCheckPagedCode(__func__)

// ---------------------------------------------------------------------------------------------
// Pool.
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
extern "C" VOID NTAPI ExFreePool(PVOID P);

// ---------------------------------------------------------------------------------------------
// Page lists (memory descriptor lists) and their mappings.
struct _EPROCESS;

typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority = 0,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

extern "C" PMDL NTAPI MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress,
                                            PHYSICAL_ADDRESS HighAddress,
                                            PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes);
extern "C" VOID NTAPI MmFreePagesFromMdl(PMDL MemoryDescriptorList);
extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl);
extern "C" PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                                    KPROCESSOR_MODE AccessMode,
                                                    MEMORY_CACHING_TYPE CacheType,
                                                    PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                                    ULONG Priority);
extern "C" VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);

FORCEINLINE ULONG MmGetMdlByteCount(PMDL Mdl) {
    return Mdl->ByteCount;
}

// The system-space view of a page list: the existing one, or a new cached mapping.
FORCEINLINE PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return Mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE, Priority);
}

FORCEINLINE VOID RtlZeroMemory(PVOID Destination, SIZE_T Length) {
    std::memset(Destination, 0, Length);
}
FORCEINLINE VOID RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    std::memcpy(Destination, Source, Length);
}

// ---------------------------------------------------------------------------------------------
// Dispatcher objects: events and timers live in storage that the caller owns.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    ULONG Initialized;  // set by the initialising call
    ULONG Reserved;
    PVOID Binding;  // the user-mode event behind a referenced handle
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTIMER {
    DISPATCHER_HEADER Header;
    ULARGE_INTEGER DueTime;
} KTIMER, *PKTIMER;

struct _KDPC;
typedef struct _KDPC* PKDPC;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Priority increment of a wait that is satisfied without a boost.
#define IO_NO_INCREMENT 0

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event);
extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event);
extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event);
extern "C" VOID NTAPI KeInitializeTimer(PKTIMER Timer);
extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
// Timeout: null waits for ever; negative is relative, positive absolute system time, in 100 ns
// units. Returns STATUS_SUCCESS or STATUS_TIMEOUT.
extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout);

// ---------------------------------------------------------------------------------------------
// Object references by handle.
struct _OBJECT_TYPE;
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern "C" POBJECT_TYPE* ExEventObjectType;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation);
extern "C" VOID NTAPI ObReferenceObject(PVOID Object);
extern "C" VOID NTAPI ObDereferenceObject(PVOID Object);

// ---------------------------------------------------------------------------------------------
// Time.
extern "C" ULONGLONG NTAPI KeQueryInterruptTime(void);
extern "C" VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount);
extern "C" ULONG NTAPI KeQueryTimeIncrement(void);
extern "C" ULONG NTAPI ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution);

// ---------------------------------------------------------------------------------------------
// Threads.
struct _KTHREAD;
struct _ETHREAD;
typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _ETHREAD* PETHREAD;

extern "C" PKTHREAD NTAPI KeGetCurrentThread(void);
extern "C" PETHREAD NTAPI PsGetCurrentThread(void);
extern "C" KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread);

// Processes: the id of the process whose context the calling thread runs in.
extern "C" HANDLE NTAPI PsGetCurrentProcessId(void);

// Process objects. PsGetCurrentProcess takes no reference; ObReferenceObject keeps one valid
// after its process has ended. PsGetProcessExitStatus is STATUS_PENDING while it runs.
typedef struct _EPROCESS* PEPROCESS;
struct _KPROCESS;
typedef struct _KPROCESS* PRKPROCESS;
typedef struct _KAPC_STATE {
    PVOID Reserved[6];
} KAPC_STATE, *PKAPC_STATE, *PRKAPC_STATE;

extern "C" PEPROCESS NTAPI PsGetCurrentProcess(void);
extern "C" HANDLE NTAPI PsGetProcessId(PEPROCESS Process);
extern "C" NTSTATUS NTAPI PsGetProcessExitStatus(PEPROCESS Process);
// The calling thread runs in the address space of another process until it detaches (passive
// level; the process cannot finish ending meanwhile).
extern "C" VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState);
extern "C" VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState);

FORCEINLINE ULONG HandleToULong(const void* h) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(h));
}
FORCEINLINE HANDLE ULongToHandle(ULONG h) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(h));
}

// ---------------------------------------------------------------------------------------------
// Driver objects.
typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    UNICODE_STRING DriverName;
    PVOID DriverExtension;
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
