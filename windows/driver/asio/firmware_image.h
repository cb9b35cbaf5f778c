#pragma once
// Firmware images of the VQ36: the format, its CRC, the checks made before an update, and the
// image built into the library.
//
// An image is a 64-byte header followed by a payload. The header holds the copyright text
// "Copyright 20?? Vexa Corporation" with its NUL (bytes 0-31, the year's last two digits
// free), the file type 0x02 (32), the device's vendor and product id 13 B7 00 2E (33-36), the
// device id 01 00 (37-38), the firmware's major and minor version (39, 40), the payload size
// (56, big-endian) and the payload's CRC-32 (60, big-endian). The payload opens with the
// section table: 12-byte entries {flash offset, length, raw CRC register}, little-endian, a
// flash offset of 0 ending the table. Entry 0 is the table itself (its CRC leaves out its own
// 12 bytes); the sections follow back to back in table order.
//
// This header uses only fixed-size integer types: the build's image generator includes it too.

#include <cstdint>

inline constexpr std::uint32_t kFirmwareHeaderSize = 64;
inline constexpr std::uint32_t kFirmwareEntrySize = 12;
inline constexpr std::uint32_t kFirmwareHeaderCopyright = 0;  // 32 bytes with the NUL
inline constexpr std::uint32_t kFirmwareHeaderFileType = 32;  // 02, then VID/PID/DID
inline constexpr std::uint32_t kFirmwareHeaderMajor = 39;
inline constexpr std::uint32_t kFirmwareHeaderMinor = 40;
inline constexpr std::uint32_t kFirmwareHeaderPayloadSize = 56;  // big-endian
inline constexpr std::uint32_t kFirmwareHeaderPayloadCrc = 60;   // big-endian
// The flash writes of an update carry 32 section bytes each.
inline constexpr std::uint32_t kFirmwareWriteChunk = 32;

// The image built into the library: its size and version.
inline constexpr std::uint32_t kEmbeddedFirmwareSize = 206400;
inline constexpr std::uint8_t kEmbeddedFirmwareMajor = 1;
inline constexpr std::uint8_t kEmbeddedFirmwareMinor = 4;

// A bit-wise CRC, parameterised; the firmware uses the standard CRC-32 parameters (width 32,
// polynomial 0x04C11DB7, initial register and final XOR 0xFFFFFFFF, input and output
// reflected).
struct CrcModel {
    std::int32_t width;
    std::uint32_t polynomial;
    std::uint32_t initialRegister;
    std::uint32_t reflectInput;
    std::uint32_t reflectOutput;
    std::uint32_t finalXor;
    std::uint32_t reg;  // the working register
};

// The CRC of `length` bytes: the CRC-32 when `finalise` is nonzero, else the raw register after
// the last byte (before output reflection and final XOR; 0xFFFFFFFF for no bytes).
std::uint32_t uFirmwareCrc32(const std::uint8_t* bytes, std::uint32_t length,
                             std::uint8_t finalise);

// True when the image passes every check; then *payloadOffset = 64 and *payloadLength = the
// declared payload size. Otherwise one log line tells the first failed check, and the outputs
// are left untouched. The image is only read, never past `imageSize` bytes.
std::uint8_t uVerifyFirmwareImage(const std::uint8_t* image, std::uint32_t imageSize,
                                  std::uint32_t* payloadOffset, std::uint32_t* payloadLength);

// The update writes sections in whole 32-byte chunks. True when every section that the update
// would write (the table's entries up to the first null one) has a length that is a multiple of
// 32; otherwise one log line names the first section that is not, and the result is false. For
// an image that uVerifyFirmwareImage accepted.
std::uint8_t uCheckFirmwareSectionLengths(const std::uint8_t* image, std::uint32_t imageSize);

// The built-in image, scrambled (made by the build's image generator). It lives in the library's
// writable data: an update from it descrambles it in place and scrambles it again.
extern std::uint8_t gEmbeddedFirmwareImage[kEmbeddedFirmwareSize];

// XORs byte i of the buffer with byte (i mod 256) of the library's 256-byte key; running it
// twice restores the buffer. The built-in image is kept scrambled with it.
void uDescrambleFirmwareImage(std::uint8_t* bytes, std::uint32_t length);
