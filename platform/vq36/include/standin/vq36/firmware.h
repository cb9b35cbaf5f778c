#pragma once
// Firmware images and the flash layout of the VQ36.
//
// An image is a 64-byte header and a payload that opens with the section table; each table
// entry is {flash offset, length, raw CRC register} (12 bytes, little-endian), entry 0 being
// the table itself (its CRC covers the table without entry 0). The flash keeps a copy of the
// table at 0x4000. The firmware's version lives in a version section: "VQ36FWVR", major,
// minor, two zero bytes, build (32-bit big-endian), padded.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace standin::vq36 {

inline constexpr std::uint32_t kFlashSize = 0x100000;
inline constexpr std::uint32_t kSectionTableOffset = 0x4000;
inline constexpr std::uint32_t kSectionTableMax = 1200;
inline constexpr std::uint32_t kVersionSectionOffset = 0x4400;
inline constexpr std::size_t kImageHeaderSize = 64;

struct FirmwareVersion {
    std::uint8_t major = 0;
    std::uint8_t minor = 0;
    std::uint32_t build = 0;
    bool operator==(const FirmwareVersion&) const = default;
};

struct FirmwareSection {
    std::uint32_t flashOffset = 0;
    std::vector<std::uint8_t> bytes;
};

// Standard CRC-32 (reflected, initial and final 0xFFFFFFFF).
std::uint32_t crc32(std::span<const std::uint8_t> bytes);
// The CRC register after the last byte, before output reflection and final XOR.
std::uint32_t crcRegister(std::span<const std::uint8_t> bytes);

// Builds an image: the section table (placed at 0x4000, padded with null entries to a multiple
// of 96 bytes so that it is written whole in 32-byte chunks), the version section, then
// `sections` (each padded with 0xFF to a multiple of 32 bytes). The header carries major and
// minor at bytes 39/40, the payload size and its CRC-32.
std::vector<std::uint8_t> buildFirmwareImage(FirmwareVersion version,
                                             std::span<const FirmwareSection> sections);

// The sections of an image as (flash offset, bytes) in table order, table first; nothing when
// the image is malformed.
std::optional<std::vector<FirmwareSection>> imageSections(std::span<const std::uint8_t> image);

// Looks at flash as the boot loader does before it starts the firmware: the table at 0x4000
// must be sound, every section's CRC must match, and one section must be a version section.
std::optional<FirmwareVersion> findFirmwareVersion(std::span<const std::uint8_t> flash);

}  // namespace standin::vq36
