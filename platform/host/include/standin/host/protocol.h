#pragma once
// The machine's protocol: what user processes and the kernel host say to each other over the
// machine socket (see wire.h for the packets), and the layout of a process's thread-object
// block.
//
// A connection starts with one of four first messages:
//
//   kOpenDevice   one open handle of a device interface, i.e. one file object. The connection
//                 lives as long as the handle: I/O controls go over it, and while one runs in
//                 the caller's context the machine calls back over it (map a region, unmap a
//                 view, resolve an event handle). kClose (or the connection dropping, when the
//                 process dies) runs the file object's cleanup and close.
//   kEnumerate    the present device interfaces of a class; one reply, then the machine closes.
//   kSession      the process's session: named events it holds. When the session drops, the
//                 process's holds are released.
//   kManage       a management command (plug, unplug, controls, sleep, status ...); one reply.
//   kJoinDevice   one more connection of a handle opened with kOpenDevice: the open's token
//                 names the file object. A process uses several connections of one handle to
//                 have several of its requests in flight at once, and a child process that
//                 inherited the handle joins it so. The file object is cleaned up once every
//                 process holding it has closed it (kClose) or lost all its connections to it.
//
// Instead of any first reply the machine may answer kRefused and close the connection (too
// many connections of the user, or of the machine).
//
// Payloads (Writer/Reader fields in order):
//   kOpenDevice      key[16], u32 thread slot, string path; fd: the process's thread block
//   kOpenReply       i32 status; on success token[16]
//   kJoinDevice      key[16], u32 thread slot, token[16]; fd: the process's thread block
//                    -> kOpenReply
//   kRefused         i32 status, string text
//   kIoControl       u32 code, u32 output length, u32 thread slot, u32 thread id (the calling
//                    thread's, whose scheduling class the request runs at), bytes input (the rest)
//   kIoReply         i32 status, u64 information, bytes output (the rest: the information's
//                    bytes for a status that is not an error, else none)
//   kClose           u32 thread slot
//   kClosed          (nothing)
//   kMapView         u64 size, u64 loss mark; fd: the region -> kMapReply u64 address (0:
//                    failed). The loss mark is the offset in the view of a byte that the
//                    process sets to 1 in its own copy of the view when this connection ends
//                    without a close (the machine went away): the driver's gone mark, so that
//                    the process sees its device as removed. kNoLossMark: none.
//   kUnmapView       u64 address, u64 size                -> kUnmapReply u32 1 done / 0 no view
//   kLookupEvent     u32 handle                           -> kLookupReply i32 status; fd
//   kEnumerate       guid[16]                             -> kEnumerateReply u32 n, n strings
//   kSession         (nothing)                            -> kSessionReply (nothing)
//   kNamedEvent      u32 flags (kNamedCreate ...), string -> kNamedEventReply u32 error,
//                                                           u32 manual reset; fd on success
//   kReleaseNamed    string name                          -> kReleaseReply (nothing)
//   kManage          u32 n, n strings                     -> kManageReply i32 exit code,
//                                                           string text

#include <cstddef>
#include <cstdint>

namespace standin::host::protocol {

enum Type : std::uint32_t {
    kOpenDevice = 1,
    kEnumerate = 2,
    kSession = 3,
    kManage = 4,
    kJoinDevice = 5,

    kIoControl = 10,
    kClose = 11,

    kOpenReply = 20,
    kIoReply = 21,
    kClosed = 22,
    kMapView = 23,
    kUnmapView = 24,
    kLookupEvent = 25,

    kMapReply = 30,
    kUnmapReply = 31,
    kLookupReply = 32,

    kNamedEvent = 40,
    kReleaseNamed = 41,
    kNamedEventReply = 42,
    kReleaseReply = 43,

    kEnumerateReply = 50,
    kManageReply = 51,
    kSessionReply = 52,
    kRefused = 53,
};

inline constexpr std::uint64_t kNoLossMark = ~std::uint64_t{0};

inline constexpr std::uint32_t kNamedCreate = 1;   // create when missing (else: open only)
inline constexpr std::uint32_t kNamedManual = 2;   // manual reset (when created)
inline constexpr std::uint32_t kNamedInitial = 4;  // initially signalled (when created)

inline constexpr std::size_t kProcessKeyBytes = 16;
inline constexpr std::size_t kFileTokenBytes = 16;
inline constexpr std::size_t kMaxPathBytes = 1024;
inline constexpr std::size_t kMaxEventNameBytes = 260;
inline constexpr std::size_t kMaxManageArgs = 64;

// ---------------------------------------------------------------------------------------------
// The thread-object block: a memfd a process shares with the machine. kThreadSlots thread
// objects of kThreadObjectBytes each, and two words per slot:
//   alive[slot]       written by the process: 1 while a thread of the process owns the slot
//   kernelRefs[slot]  written by the machine: how many kernel objects stand for the slot (the
//                     machine keeps the slot's thread object referenced while it is
//                     non-zero); the process gives a slot to a new thread only when both are 0.
inline constexpr std::uint32_t kThreadSlots = 4096;
inline constexpr std::size_t kThreadObjectBytes = 1024;
inline constexpr std::size_t kPageBytes = 4096;
inline constexpr std::size_t kAliveWordsOffset = 0;
inline constexpr std::size_t kKernelRefWordsOffset = 4 * kThreadSlots;
inline constexpr std::size_t kThreadObjectsOffset =
    (8 * kThreadSlots + kPageBytes - 1) / kPageBytes * kPageBytes;
inline constexpr std::size_t kThreadBlockBytes =
    kThreadObjectsOffset + kThreadSlots * kThreadObjectBytes;

inline constexpr std::size_t aliveWordOffset(std::uint32_t slot) {
    return kAliveWordsOffset + 4 * static_cast<std::size_t>(slot);
}
inline constexpr std::size_t kernelRefWordOffset(std::uint32_t slot) {
    return kKernelRefWordsOffset + 4 * static_cast<std::size_t>(slot);
}
inline constexpr std::size_t threadObjectOffset(std::uint32_t slot) {
    return kThreadObjectsOffset + kThreadObjectBytes * static_cast<std::size_t>(slot);
}

}  // namespace standin::host::protocol
