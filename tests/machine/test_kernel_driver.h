#pragma once
// The I/O controls of the machine tests' own kernel driver (VqTestKernel.sys): a small driver
// that exercises everything the machine does for a driver, without the VQ36 driver's protocol.
// Codes are METHOD_BUFFERED on FILE_DEVICE_UNKNOWN; "caller" codes run in the caller's context,
// "queue" codes on the parallel default queue. It publishes the VQ36 interface class.

#include <cstdint>

namespace testdriver {

// queue; out 4: the handle's client id (0, 1, 2 ... per device object).
inline constexpr std::uint32_t kClientId = 0x222000;
// caller; out 8: the address of the device's record in the calling process (mapped once per
// handle).
inline constexpr std::uint32_t kMapRecord = 0x222004;
// caller; unmaps the handle's view of the record (success also when there is none).
inline constexpr std::uint32_t kUnmapRecord = 0x222008;
// caller; in 4: an event handle, referenced, set and let go at once.
inline constexpr std::uint32_t kSetEvent = 0x22200C;
// caller; in 4: an event handle the handle keeps; set (and let go) at the handle's cleanup.
inline constexpr std::uint32_t kKeepEvent = 0x222010;
// caller; out 16: u32 the calling thread's priority, u32 the scheduling policy the request runs
// at in the machine, u64 the thread object's address.
inline constexpr std::uint32_t kThread = 0x222014;
// caller; references the calling thread's object and keeps it (until the handle's cleanup).
inline constexpr std::uint32_t kHoldThread = 0x222018;
// queue; in 4: a priority written into the held thread object's priority byte (as the kernel
// raises a thread at a block boundary).
inline constexpr std::uint32_t kPokeHeldThread = 0x22201C;
// queue; in 4: milliseconds to wait in the driver before completing with success.
inline constexpr std::uint32_t kWait = 0x222020;
// queue; the output is the input (information: the smaller of the two lengths).
inline constexpr std::uint32_t kEcho = 0x222024;
// queue; in 8: u32 offset, u32 value: writes a 32-bit word of the device's record.
inline constexpr std::uint32_t kWriteRecord = 0x222028;
// queue; in 4: an NT status the request completes with (information 0).
inline constexpr std::uint32_t kComplete = 0x22202C;

// The record: as large as the VQ36 driver's shared record.
inline constexpr std::uint32_t kRecordBytes = 123255;

}  // namespace testdriver
