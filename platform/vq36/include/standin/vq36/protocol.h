#pragma once
// What crosses USB between the VQ36 and its host: ids, endpoints, packet layouts, command and
// packet type bytes, audio packet formats, and the counting pattern of the capture test signal.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace standin::vq36 {

inline constexpr std::uint16_t kVendorId = 0xB713;
inline constexpr std::uint16_t kProductId = 0x2E00;
// Bytes 1-4 of every command packet and every reply: 13 B7 00 2E.
inline constexpr std::uint32_t kMagic = 0x2E00B713;

// Endpoints of the normal configuration.
inline constexpr std::uint8_t kEpPlayback = 0x01;    // interface 1, setting 1: isochronous OUT
inline constexpr std::uint8_t kEpCapture = 0x82;     // interface 2, setting 1: isochronous IN
inline constexpr std::uint8_t kEpMessageIn = 0x83;   // interface 3, pipe 0: interrupt IN
inline constexpr std::uint8_t kEpMessageOut = 0x04;  // interface 3, pipe 1: interrupt OUT

// Message packets: command or type byte, magic (replies and commands), 59 data bytes.
inline constexpr std::size_t kPacketSize = 64;
inline constexpr std::size_t kDataOffset = 5;
inline constexpr std::size_t kDataSize = 59;

// Commands (host to device).
inline constexpr std::uint8_t kCmdFirmwareVersion = 0x01;
inline constexpr std::uint8_t kCmdBootFlag = 0x13;
inline constexpr std::uint8_t kCmdFlashWrite = 0x14;
inline constexpr std::uint8_t kCmdFlashRead = 0x15;
inline constexpr std::uint8_t kCmdUpdateDone = 0x16;
inline constexpr std::uint8_t kCmdEnterBootLoader = 0x17;
inline constexpr std::uint8_t kCmdProductIdNormal = 0x1A;
inline constexpr std::uint8_t kCmdProductIdAlternate = 0x1B;
inline constexpr std::uint8_t kCmdPowerUp = 0x36;
inline constexpr std::uint8_t kCmdControlPacket = 0x41;
inline constexpr std::uint8_t kCmdDirectControlPacket = 0x42;
inline constexpr std::uint8_t kCmdDeviceWord = 0x45;

// Unsolicited packet types (device to host).
inline constexpr std::uint8_t kPacketControl = 0x40;
inline constexpr std::uint8_t kPacketAux = 0x43;
inline constexpr std::uint8_t kPacketPortClear = 0x46;
inline constexpr std::uint8_t kPacketPortSet = 0x49;
inline constexpr std::uint8_t kPacketOtherPort = 0xFD;

// Reply data length of a command; nothing when the command is not answered. A flash write
// (0x14) is answered only for the offset whose low byte is 0xE0 (the last chunk of a page).
std::optional<std::size_t> replyLength(std::uint8_t command, std::uint32_t flashOffset = 0);

inline constexpr std::size_t kFlashReadMax = 54;
inline constexpr std::size_t kFlashWriteChunk = 32;

// Control packets (in 0x40 packets and commands 0x41/0x42): length byte, up to 58 bytes of
// MIDI-style messages.
inline constexpr std::size_t kControlPacketMax = 58;
inline constexpr std::uint8_t kSysExDevice = 0x17;
inline constexpr std::uint8_t kSysExAllControls = 0x04;
inline constexpr std::uint8_t kSysExControlPoint = 0x52;

// Audio.
inline constexpr unsigned kSampleRate = 48000;
inline constexpr unsigned kCaptureChannels = 12;
inline constexpr unsigned kPlaybackChannels = 10;
inline constexpr std::size_t kCaptureFrameBytes = kCaptureChannels * 4;    // 48
inline constexpr std::size_t kPlaybackFrameBytes = kPlaybackChannels * 4;  // 40
inline constexpr unsigned kNominalFramesPerPacket = 6;
inline constexpr std::size_t kMaxCapturePacket = 7 * kCaptureFrameBytes;    // 336
inline constexpr std::size_t kMaxPlaybackPacket = 7 * kPlaybackFrameBytes;  // 280

// The counting pattern: sample (frame, channel) = ((frame * 16 + channel) mod 2^24) / 2^24,
// exact in float32, so every sample tells its frame (modulo 2^20) and channel.
float countingSample(std::uint64_t captureFrame, unsigned channel);
struct CountingPosition {
    std::uint32_t frameModulo;  // frame mod 2^20
    unsigned channel;
};
// Nothing when the value is not a counting-pattern sample.
std::optional<CountingPosition> decodeCountingSample(float value);

}  // namespace standin::vq36
