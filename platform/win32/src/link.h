#pragma once
// The process's link to its machine: its identity, the thread-object block it shares with the
// kernel host, its session (named events), device interface enumeration, and the call-backs
// the machine makes while a device request of the process runs (map a region, unmap a view,
// resolve an event handle).
//
// A child made by fork is another process: at its first use of the link it gets a new key, a
// new thread-object block and a new session; the device connections it inherited belong to its
// parent (it can close its copies, nothing more).

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "standin/host/wire.h"
#include "win32/win_types.h"

namespace standin::win32::detail {

using ProcessKey = std::array<std::uint8_t, 16>;

// This process's key: tells the machine this process apart from an earlier one with its pid.
ProcessKey processKey();

// ---- thread objects -------------------------------------------------------------------------
struct ThreadBlock {
    std::uint8_t* base = nullptr;  // null when the block cannot be made
    int fd = -1;
    std::uint64_t generation = 0;  // a new block (after fork) has a new generation
};
// The process's block, made at the first use unless `create` is false (then: the block there is,
// or none).
ThreadBlock threadBlock(bool create = true);

// ---- named events ---------------------------------------------------------------------------
inline constexpr std::uint32_t kNoMachine = 0xFFFFFFFF;
// Asks the machine for a named event (flags: standin::host::protocol::kNamed...). Returns a
// Win32 error (0 made, ERROR_ALREADY_EXISTS opened, ERROR_FILE_NOT_FOUND ...) or kNoMachine; on
// 0 and ERROR_ALREADY_EXISTS *fd is the event's descriptor (owned by the caller) and *session
// the session that holds it.
std::uint32_t acquireNamedEvent(const std::string& name, std::uint32_t flags, int* fd, bool* manual,
                                std::uint64_t* session);
void releaseNamedEvent(const std::string& name, std::uint64_t session);

// ---- devices --------------------------------------------------------------------------------
// The present interfaces of a class; false when no machine answers.
bool enumerateInterfaces(const GUID& interfaceClass, std::vector<std::string>* paths);

// Serves one call-back of the machine on a device connection. False for a packet that is not
// a call-back (or one that cannot be answered): the connection is then of no further use.
bool serveCallback(int socket, host::wire::Message& message);

// The eventfd behind an event handle of this process, as a new descriptor the caller owns.
// Returns an NT status: 0, 0xC0000008 (not a handle) or 0xC0000024 (not an event).
std::int32_t eventDescriptor(std::uint32_t handleWord, int* fd);

// A device connection has ended. When it was lost (the machine went away, or the connection
// broke) rather than closed, every view it mapped with a loss mark becomes the process's own
// copy with the mark set, so that the process sees its device as removed.
void connectionEnded(int socket, bool lost);

// Views the machine has mapped into this process and not unmapped.
std::size_t kernelViews();

// The calling thread's slot (given at its first use); false when none is free.
bool currentThreadSlot(std::uint32_t* slot);

}  // namespace standin::win32::detail
