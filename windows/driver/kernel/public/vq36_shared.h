#pragma once
// The contract between Vq36Kernel and its client processes: the shared information record
// AsioInfo, the layout of the shared regions, the I/O-control codes and their buffers, the
// device message request and the 64-byte command packet. Every offset here is binding on both
// sides.
//
// AsioInfo is a packed byte layout with fields at odd offsets, written by the kernel and by
// several client processes without a common lock. Fields are declared with alignment-1 types,
// and every access goes through the accessors below: relaxed atomics where the field is
// aligned, else single plain moves (volatile, so the compiler neither splits nor merges them),
// 64-bit values as two 32-bit stores, low word first. A reader in another process can see a
// torn 64-bit value between the two stores.

#include <cstddef>
#include <cstdint>

namespace vq36 {

using UnalignedU16 = std::uint16_t __attribute__((aligned(1), may_alias));
using UnalignedU32 = std::uint32_t __attribute__((aligned(1), may_alias));
using UnalignedI32 = std::int32_t __attribute__((aligned(1), may_alias));

// A 64-bit field of the record: two 32-bit words, low first.
struct UnalignedU64 {
    UnalignedU32 low;
    UnalignedU32 high;
} __attribute__((packed));
static_assert(sizeof(UnalignedU64) == 8);

// ---------------------------------------------------------------------------------------------
// Accessors. A byte, and a 32-bit word at an offset that is a multiple of 4, is read and written
// as a relaxed atomic. A word at an odd offset cannot be an atomic of the language: it is one
// plain move, which this processor family makes whole, and a thread-sanitizer build is told to
// leave that one move out of its race checks (the lock-free protocol between the kernel and its
// clients is what keeps it sound).

#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#define VQ36_UNCHECKED_READ_BEGIN() ::vq36::AnnotateIgnoreReadsBegin(__FILE__, __LINE__)
#define VQ36_UNCHECKED_READ_END() ::vq36::AnnotateIgnoreReadsEnd(__FILE__, __LINE__)
#define VQ36_UNCHECKED_WRITE_BEGIN() ::vq36::AnnotateIgnoreWritesBegin(__FILE__, __LINE__)
#define VQ36_UNCHECKED_WRITE_END() ::vq36::AnnotateIgnoreWritesEnd(__FILE__, __LINE__)
#else
#define VQ36_UNCHECKED_READ_BEGIN() ((void)0)
#define VQ36_UNCHECKED_READ_END() ((void)0)
#define VQ36_UNCHECKED_WRITE_BEGIN() ((void)0)
#define VQ36_UNCHECKED_WRITE_END() ((void)0)
#endif

inline bool IsWordAligned(const volatile void* p) {
    return (reinterpret_cast<std::uintptr_t>(p) & 3) == 0;
}
inline std::uint8_t Load8(const volatile std::uint8_t* p) {
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
inline void Store8(volatile std::uint8_t* p, std::uint8_t v) {
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}
inline std::uint32_t Load32(const volatile UnalignedU32* p) {
    if (IsWordAligned(p)) {
        return __atomic_load_n(reinterpret_cast<const volatile std::uint32_t*>(p),
                               __ATOMIC_RELAXED);
    }
    VQ36_UNCHECKED_READ_BEGIN();
    const std::uint32_t v = *p;
    VQ36_UNCHECKED_READ_END();
    return v;
}
inline void Store32(volatile UnalignedU32* p, std::uint32_t v) {
    if (IsWordAligned(p)) {
        __atomic_store_n(reinterpret_cast<volatile std::uint32_t*>(p), v, __ATOMIC_RELAXED);
        return;
    }
    VQ36_UNCHECKED_WRITE_BEGIN();
    *p = v;
    VQ36_UNCHECKED_WRITE_END();
}
inline std::int32_t Load32(const volatile UnalignedI32* p) {
    return static_cast<std::int32_t>(Load32(reinterpret_cast<const volatile UnalignedU32*>(p)));
}
inline void Store32(volatile UnalignedI32* p, std::int32_t v) {
    Store32(reinterpret_cast<volatile UnalignedU32*>(p), static_cast<std::uint32_t>(v));
}
inline std::uint64_t Load64(const volatile UnalignedU64* p) {
    std::uint32_t lo = Load32(&p->low);
    std::uint32_t hi = Load32(&p->high);
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}
inline void Store64(volatile UnalignedU64* p, std::uint64_t v) {
    Store32(&p->low, static_cast<std::uint32_t>(v));
    Store32(&p->high, static_cast<std::uint32_t>(v >> 32));
}
// Atomic add on a record word shared between processes (the word may sit at an odd offset,
// which a locked add handles on this processor family). Returns the value before the add.
inline std::uint32_t AtomicAdd32(volatile UnalignedU32* p, std::uint32_t v) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ __volatile__("lock xaddl %0, %1" : "+r"(v), "+m"(*p) : : "memory");
    return v;
#else
#error "AtomicAdd32 needs a locked add for unaligned words on this processor"
#endif
}
// Atomic exchange on a record word shared between processes. Returns the previous value.
inline std::uint32_t AtomicExchange32(volatile UnalignedU32* p, std::uint32_t v) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ __volatile__("xchgl %0, %1" : "+r"(v), "+m"(*p) : : "memory");
    return v;
#else
#error "AtomicExchange32 needs a locked exchange for unaligned words on this processor"
#endif
}
// Atomic or on a record word shared between processes.
inline void AtomicOr32(volatile UnalignedU32* p, std::uint32_t v) {
#if defined(__x86_64__) || defined(__i386__)
    __asm__ __volatile__("lock orl %1, %0" : "+m"(*p) : "r"(v) : "memory");
#else
#error "AtomicOr32 needs a locked or for unaligned words on this processor"
#endif
}

// ---------------------------------------------------------------------------------------------
// Sizes and capacities.
inline constexpr std::uint32_t kSampleRate = 48000;
inline constexpr std::uint32_t kCaptureChannels = 12;
inline constexpr std::uint32_t kPlaybackChannels = 10;
inline constexpr std::uint32_t kCaptureFrameBytes = kCaptureChannels * 4;    // 48
inline constexpr std::uint32_t kPlaybackFrameBytes = kPlaybackChannels * 4;  // 40
inline constexpr std::uint32_t kMaxClients = 100;
inline constexpr std::uint32_t kMaxMidiEvents = 100;
inline constexpr std::uint32_t kMaxRingBlocks = 15;
inline constexpr std::uint32_t kHidiInRingEntries = 1000;
inline constexpr std::uint32_t kAuxInRingEntries = 1000;
inline constexpr std::uint32_t kPacketDataBytes = 59;
inline constexpr std::uint32_t kMaxBlockFrames = 3000;  // largest block region A holds

inline constexpr std::size_t kAsioInfoBytes = 123255;
inline constexpr std::size_t kCapturePlanesBytes = 288004;  // 12 x 2 x 3000 x 4 + 4
inline constexpr std::size_t kPlaybackRegionBytes = 1432004;
inline constexpr std::uint32_t kMaxRingBytes = 1432000;
inline constexpr std::size_t kCapturePoolBytes = 2016004;
inline constexpr std::size_t kCapturePoolZeroedBytes = 2016000;
inline constexpr std::uint32_t kCaptureSlotBytes = 134400;  // 400 packets of 336 bytes
inline constexpr std::uint32_t kMaxCapturePacketBytes = 336;
inline constexpr std::uint32_t kNominalCapturePacketBytes = 288;

// ---------------------------------------------------------------------------------------------
// The record.

// One received control packet: the 59 data bytes and the receive time in milliseconds.
struct HidiInEntry {
    std::uint8_t data[kPacketDataBytes];
    UnalignedU32 receiveTimeMs;
} __attribute__((packed));
static_assert(sizeof(HidiInEntry) == 63);

// Word 0: index of the next slot (0 to 9); words 1 to 10: the values.
struct StatisticsRing {
    UnalignedU32 next;
    UnalignedU32 values[10];
} __attribute__((packed));
static_assert(sizeof(StatisticsRing) == 44);

struct AsioInfoStatistics {
    UnalignedU32 readsOk;                // 0
    UnalignedU32 readsFailed;            // 1
    UnalignedU32 readZeroLengthPackets;  // 2
    UnalignedU32 writesOk;               // 3
    UnalignedU32 writesFailed;           // 4
    UnalignedU32 writePacketErrors;      // 5
    UnalignedU32 userSlips;              // 6
    UnalignedU32 kernUnder;              // 7
    UnalignedU32 kernOver;               // 8
    UnalignedU32 rdReqError;             // 9
    UnalignedU32 rdUrbError;             // 10
    UnalignedU32 rdUframeError;          // 11
    UnalignedU32 rdUframeErrorIdxs;      // 12
    UnalignedU32 wrReqError;             // 13
    UnalignedU32 wrUrbError;             // 14
    UnalignedU32 wrUframeError;          // 15
    UnalignedU32 unusedUsbRdBuf;         // 16
    UnalignedU32 pendingRdFrames;        // 17
    UnalignedU32 estSampleRate;          // 18
    UnalignedU32 hidiPackets;            // 19
    UnalignedU32 patternMismatches;      // 20
    UnalignedU32 genericFlags;           // 21
    StatisticsRing uframeSamples;        // 22 to 32
    StatisticsRing usbRdFrames;          // 33 to 43
    StatisticsRing usbLeftoverRdBuf;     // 44 to 54
    StatisticsRing readReqSamples;       // 55 to 65
} __attribute__((packed));
static_assert(sizeof(AsioInfoStatistics) == 66 * 4);

// genericFlags bits.
inline constexpr std::uint32_t kFlagSecondBoundaryInCompletion = 0x4;
inline constexpr std::uint32_t kFlagTailBytesOverwritten = 0x8;
inline constexpr std::uint32_t kFlagPacketNotWholeFrames = 0x10;
inline constexpr std::uint32_t kFlagRingTooLarge = 0x20;
inline constexpr std::uint32_t kFlagLeadHalfRing = 0x40;
inline constexpr std::uint32_t kFlagPacketTooLong = 0x80;
inline constexpr std::uint32_t kFlagSlotBelowPrevious = 0x100;
inline constexpr std::uint32_t kFlagEmptyPacket = 0x200;

struct AsioInfo {
    std::uint8_t priorityOffsetKnown;
    UnalignedU64 lastBlockTime;
    UnalignedU64 clientDeadline[kMaxClients];
    UnalignedU32 pendingUserSlips;
    UnalignedU32 joinedClientCount;
    UnalignedU32 isStreamingEnabled;
    UnalignedU64 asioBlockCount;
    UnalignedU32 blockDeliveryCount[kMaxRingBlocks];
    UnalignedI32 tailBytes;
    UnalignedU32 carryActive;
    UnalignedU32 carryOffset;
    UnalignedU32 carryBytes;
    UnalignedU32 hidiInCount;
    HidiInEntry hidiInRing[kHidiInRingEntries];
    UnalignedU32 auxInCount;
    std::uint8_t auxInRing[kAuxInRingEntries][kPacketDataBytes];
    UnalignedU32 portStatusChangeCount;
    std::uint8_t portStatusFlags[2];
    UnalignedI32 midiInChannel;
    UnalignedI32 midiOutChannel;
    std::uint8_t deviceGone;
    std::uint8_t isBootDevice;
    std::uint8_t bootFlagValid;
    std::uint8_t settingsInitialized;
    std::uint8_t kernelLoopback;
    std::uint8_t asioNotifyTiming;
    std::uint8_t eraseBuffers;
    std::uint8_t disablePriorityBoost;
    UnalignedU32 sampleRate;
    UnalignedU32 blockFrames;
    UnalignedU32 ringBlocks;
    // The three override words are one 12-byte block, filled in one copy.
    UnalignedU32 overrideMaxReadsInFlight;
    UnalignedU32 overrideLeadMillisecs;
    UnalignedU32 overrideLeadFrames;
    UnalignedU32 lastOtherPortControlStatus;
    UnalignedU32 lastFwUp;
    std::uint8_t reserved[24];
    AsioInfoStatistics statistics;
} __attribute__((packed));

#define VQ36_CHECK_OFFSET(field, off) \
    static_assert(offsetof(::vq36::AsioInfo, field) == (off), "AsioInfo." #field)
VQ36_CHECK_OFFSET(priorityOffsetKnown, 0x0);
VQ36_CHECK_OFFSET(lastBlockTime, 0x1);
VQ36_CHECK_OFFSET(clientDeadline, 0x9);
VQ36_CHECK_OFFSET(pendingUserSlips, 0x329);
VQ36_CHECK_OFFSET(joinedClientCount, 0x32D);
VQ36_CHECK_OFFSET(isStreamingEnabled, 0x331);
VQ36_CHECK_OFFSET(asioBlockCount, 0x335);
VQ36_CHECK_OFFSET(blockDeliveryCount, 0x33D);
VQ36_CHECK_OFFSET(tailBytes, 0x379);
VQ36_CHECK_OFFSET(carryActive, 0x37D);
VQ36_CHECK_OFFSET(carryOffset, 0x381);
VQ36_CHECK_OFFSET(carryBytes, 0x385);
VQ36_CHECK_OFFSET(hidiInCount, 0x389);
VQ36_CHECK_OFFSET(hidiInRing, 0x38D);
VQ36_CHECK_OFFSET(auxInCount, 0xF9A5);
VQ36_CHECK_OFFSET(auxInRing, 0xF9A9);
VQ36_CHECK_OFFSET(portStatusChangeCount, 0x1E021);
VQ36_CHECK_OFFSET(portStatusFlags, 0x1E025);
VQ36_CHECK_OFFSET(midiInChannel, 0x1E027);
VQ36_CHECK_OFFSET(midiOutChannel, 0x1E02B);
VQ36_CHECK_OFFSET(deviceGone, 0x1E02F);
VQ36_CHECK_OFFSET(isBootDevice, 0x1E030);
VQ36_CHECK_OFFSET(bootFlagValid, 0x1E031);
VQ36_CHECK_OFFSET(settingsInitialized, 0x1E032);
VQ36_CHECK_OFFSET(kernelLoopback, 0x1E033);
VQ36_CHECK_OFFSET(asioNotifyTiming, 0x1E034);
VQ36_CHECK_OFFSET(eraseBuffers, 0x1E035);
VQ36_CHECK_OFFSET(disablePriorityBoost, 0x1E036);
VQ36_CHECK_OFFSET(sampleRate, 0x1E037);
VQ36_CHECK_OFFSET(blockFrames, 0x1E03B);
VQ36_CHECK_OFFSET(ringBlocks, 0x1E03F);
VQ36_CHECK_OFFSET(overrideMaxReadsInFlight, 0x1E043);
VQ36_CHECK_OFFSET(overrideLeadMillisecs, 0x1E047);
VQ36_CHECK_OFFSET(overrideLeadFrames, 0x1E04B);
VQ36_CHECK_OFFSET(lastOtherPortControlStatus, 0x1E04F);
VQ36_CHECK_OFFSET(lastFwUp, 0x1E053);
VQ36_CHECK_OFFSET(reserved, 0x1E057);
VQ36_CHECK_OFFSET(statistics, 0x1E06F);
#undef VQ36_CHECK_OFFSET
static_assert(sizeof(AsioInfo) == kAsioInfoBytes, "AsioInfo is 123,255 bytes");
static_assert(offsetof(AsioInfo, statistics) + sizeof(AsioInfoStatistics) == kAsioInfoBytes,
              "statistics end at the record's last byte");
static_assert(offsetof(AsioInfo, hidiInRing) + 63 * 1000 == offsetof(AsioInfo, auxInCount));
static_assert(offsetof(AsioInfoStatistics, genericFlags) == 21 * 4);
static_assert(offsetof(AsioInfoStatistics, uframeSamples) == 22 * 4);
static_assert(offsetof(AsioInfoStatistics, usbRdFrames) == 33 * 4);
static_assert(offsetof(AsioInfoStatistics, usbLeftoverRdBuf) == 44 * 4);
static_assert(offsetof(AsioInfoStatistics, readReqSamples) == 55 * 4);

// Stores a value into a statistics ring and moves its index on.
inline void StatisticsRingPush(volatile StatisticsRing* ring, std::uint32_t value) {
    std::uint32_t i = Load32(&ring->next);
    if (i >= 10) i = 0;  // a reader may have written anything here; never index outside
    Store32(&ring->values[i], value);
    Store32(&ring->next, (i + 1) % 10);
}

// ---------------------------------------------------------------------------------------------
// Shared regions.
//
// Region A (capture planes): plane c at c x 8 s bytes, half h of plane c at + h x 4 s.
inline constexpr std::size_t CapturePlaneOffset(std::uint32_t channel, std::uint32_t half,
                                                std::uint32_t blockFrames) {
    return (2u * channel + half) * 4u * blockFrames;
}
// Region B (playback ring) and C (accumulator): block b at b x 40 s, frame f at + 40 f,
// channel ch at + 4 ch. Region B continues past the ring with the overhang area.
inline constexpr std::size_t PlaybackSampleOffset(std::uint32_t block, std::uint32_t frame,
                                                  std::uint32_t channel,
                                                  std::uint32_t blockFrames) {
    return static_cast<std::size_t>(block) * kPlaybackFrameBytes * blockFrames +
           static_cast<std::size_t>(frame) * kPlaybackFrameBytes + 4u * channel;
}

// The mixing laps of the accumulator's blocks (n ring blocks). Block k's ring block, (k + 3) mod
// n, takes the joined clients' sums while the kernel's count is k to k + 2. The boundary that
// makes the count k + 3 closes the lap: one interlocked or sets this bit in the block's delivery
// count, so a client whose own interlocked add returns it set knows that it came after the close.
// The boundary that makes the count k + n opens the block for its next lap: it clears a sum that
// a lap closed without completing left behind, and zeroes the count.
inline constexpr std::uint32_t kDeliveryLapClosed = 0x80000000u;

// ---------------------------------------------------------------------------------------------
// The device interface and its I/O controls (device type FILE_DEVICE_UNKNOWN, METHOD_BUFFERED,
// FILE_ANY_ACCESS: 0x220000 + 4 x function).

// {5B1D8E42-93A7-4C6F-B2E1-7D0A6C39F814}
inline constexpr std::uint32_t kInterfaceGuidData1 = 0x5B1D8E42;
inline constexpr std::uint16_t kInterfaceGuidData2 = 0x93A7;
inline constexpr std::uint16_t kInterfaceGuidData3 = 0x4C6F;
inline constexpr std::uint8_t kInterfaceGuidData4[8] = {0xB2, 0xE1, 0x7D, 0x0A,
                                                        0x6C, 0x39, 0xF8, 0x14};

inline constexpr std::uint32_t kIoCtlNegotiatePriority = 0x220000;
inline constexpr std::uint32_t kIoCtlGetClientId = 0x220004;
inline constexpr std::uint32_t kIoCtlInitBuffers = 0x220008;
inline constexpr std::uint32_t kIoCtlSavePriorityOffset = 0x22000C;
inline constexpr std::uint32_t kIoCtlSendMessage = 0x220010;
inline constexpr std::uint32_t kIoCtlGetAsioInfo = 0x220014;
inline constexpr std::uint32_t kIoCtlDisposeOfBuffers = 0x22001C;
inline constexpr std::uint32_t kIoCtlSetupMidiEvent = 0x220020;

// Reply of kIoCtlInitBuffers. Each address field carries the address in the calling process
// (the whole 64-bit address on a 64-bit machine).
struct InitBuffersResult {
    std::uint64_t captureBuffers;
    std::uint64_t fSharedJoinedPlaybackBuffersClipped;
    std::uint64_t fSharedJoinedPlaybackBuffersUnclipped;
    std::uint64_t asioInfo;
    std::uint32_t clientSlot;
} __attribute__((packed));
static_assert(sizeof(InitBuffersResult) == 36);

// Request of kIoCtlSendMessage; the reply is 64 bytes in the same buffer.
struct DeviceMessage {
    std::uint32_t message;
    std::uint32_t op;  // 0 get, 1 set
    std::uint8_t payload[64];
} __attribute__((packed));
static_assert(sizeof(DeviceMessage) == 72);
inline constexpr std::uint32_t kDeviceMessageReplyBytes = 64;

inline constexpr std::uint32_t kDeviceMsgGet = 0;
inline constexpr std::uint32_t kDeviceMsgSet = 1;
inline constexpr std::uint32_t kDeviceMsgStreaming = 8;
inline constexpr std::uint32_t kDeviceMsgHidiPacket = 32;
inline constexpr std::uint32_t kDeviceMsgDirectHidiPacket = 33;
inline constexpr std::uint32_t kDeviceMsgDeviceWord = 34;
inline constexpr std::uint32_t kDeviceMsgBootDevice = 35;
inline constexpr std::uint32_t kDeviceMsgFlash = 36;
inline constexpr std::uint32_t kDeviceMsgFirmwareUpdateDone = 37;
inline constexpr std::uint32_t kDeviceMsgProductId = 64;
inline constexpr std::uint32_t kDeviceMsgVendorId = 65;
inline constexpr std::uint32_t kDeviceMsgDriverVersion = 66;
inline constexpr std::uint32_t kDeviceMsgUsbSpeed = 67;
inline constexpr std::uint32_t kDeviceMsgFirmwareVersion = 69;
inline constexpr std::uint32_t kDeviceMsgAltProductId = 71;
inline constexpr std::uint32_t kDeviceMsgBufferSamples = 72;
inline constexpr std::uint32_t kDeviceMsgBufferRemainder = 73;

inline constexpr std::uint32_t kDriverVersion = 0x01020000;

// ---------------------------------------------------------------------------------------------
// The 64-byte packet on the device's message pipes.
inline constexpr std::uint32_t kDevicePacketMagic = 0x2E00B713;
struct DeviceCommandPacket {
    std::uint8_t command;  // command byte, or the type of an unsolicited packet
    std::uint8_t magic[4];  // 13 B7 00 2E
    std::uint8_t data[kPacketDataBytes];
} __attribute__((packed));
static_assert(sizeof(DeviceCommandPacket) == 64);

inline constexpr std::uint8_t kDevicePacketHidi = 0x40;
inline constexpr std::uint8_t kDevicePacketAux = 0x43;
inline constexpr std::uint8_t kDevicePacketPortClear = 0x46;
inline constexpr std::uint8_t kDevicePacketPortSet = 0x49;
inline constexpr std::uint8_t kDevicePacketOtherPortControl = 0xFD;

inline constexpr std::uint8_t kDeviceCmdFirmwareVersion = 0x01;
inline constexpr std::uint8_t kDeviceCmdBootFlag = 0x13;
inline constexpr std::uint8_t kDeviceCmdFlashWrite = 0x14;
inline constexpr std::uint8_t kDeviceCmdFlashRead = 0x15;
inline constexpr std::uint8_t kDeviceCmdUpdateFinished = 0x16;
inline constexpr std::uint8_t kDeviceCmdEnterBootLoader = 0x17;
inline constexpr std::uint8_t kDeviceCmdProductIdA = 0x1A;
inline constexpr std::uint8_t kDeviceCmdProductIdB = 0x1B;
inline constexpr std::uint8_t kDeviceCmdPowerUp = 0x36;
inline constexpr std::uint8_t kDeviceCmdHidiPacket = 0x41;
inline constexpr std::uint8_t kDeviceCmdDirectHidiPacket = 0x42;
inline constexpr std::uint8_t kDeviceCmdDeviceWord = 0x45;

}  // namespace vq36
