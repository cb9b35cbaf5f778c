// The checks a firmware image passes before an update sends anything to the device.

#include <cstdint>

#include "firmware_image.h"
#include "library.h"

namespace {

// The header's text; the two '?' (offsets 12 and 13, the year's last two digits) match any
// byte. Compared over its 31 characters and the NUL.
constexpr char kCopyrightPattern[] = "Copyright 20?? Vexa Corporation";
static_assert(sizeof(kCopyrightPattern) == 32);
// File type, vendor and product id, device id.
constexpr std::uint8_t kFileTypeAndIds[] = {0x02, 0x13, 0xB7, 0x00, 0x2E, 0x01, 0x00};

std::uint32_t getBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

std::uint32_t getLe32(const std::uint8_t* p) {
    return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

// Entries of a table of `tableLength` bytes: the length divided by 12 as a signed number (a
// length below 12, or one that reads negative, gives none).
std::int32_t entryCount(std::uint32_t tableLength) {
    const std::int32_t count = static_cast<std::int32_t>(tableLength) / 12;
    return count < 0 ? 0 : count;
}

}  // namespace

std::uint8_t uVerifyFirmwareImage(const std::uint8_t* image, std::uint32_t imageSize,
                                  std::uint32_t* payloadOffset, std::uint32_t* payloadLength) {
    // A null image is the caller's mistake like a null output: checked first, so that nothing
    // is read from it.
    if (payloadOffset == nullptr || payloadLength == nullptr || image == nullptr) {
        DebugLog(1, "Firmware load failed -- programmer error, pointer(s) not properly provided");
        return 0;
    }
    if (imageSize < kFirmwareHeaderSize + kFirmwareEntrySize) {
        DebugLog(
            1,
            "Firmware load failed -- obvious error, firmare image smaller than or eq to header "
            "size plus table section size");
        return 0;
    }
    for (std::uint32_t i = 0; i < sizeof(kCopyrightPattern); ++i) {
        if (kCopyrightPattern[i] == '?') continue;
        if (image[kFirmwareHeaderCopyright + i] !=
            static_cast<std::uint8_t>(kCopyrightPattern[i])) {
            DebugLog(1, "Firmware load failed -- mismatch on copyright string");
            return 0;
        }
    }
    for (std::uint32_t i = 0; i < sizeof(kFileTypeAndIds); ++i) {
        if (image[kFirmwareHeaderFileType + i] != kFileTypeAndIds[i]) {
            DebugLog(1, "Firmware load failed -- mismatch on file type or USB VID/PID/DID");
            return 0;
        }
    }
    DebugLog(1, "Firmware to be loaded major.minor version: %d.%d", image[kFirmwareHeaderMajor],
             image[kFirmwareHeaderMinor]);

    const std::uint32_t declared = getBe32(image + kFirmwareHeaderPayloadSize);
    const std::uint32_t found = imageSize - kFirmwareHeaderSize;
    if (declared != found) {
        DebugLog(1,
                 "Firmware load failed -- data payload declared size of %d mismatches to "
                 "discovered size of %d",
                 static_cast<int>(declared), static_cast<int>(found));
        return 0;
    }
    const std::uint8_t* payload = image + kFirmwareHeaderSize;
    if (uFirmwareCrc32(payload, declared, 1) != getBe32(image + kFirmwareHeaderPayloadCrc)) {
        DebugLog(1, "Firmware load failed -- mismatch on checksum");
        return 0;
    }

    // Sizes are added in 64 bits: a length that would carry an end past 4 GiB exceeds the image.
    const std::uint32_t tableLength = getLe32(payload + 4);
    if (std::uint64_t{tableLength} + kFirmwareHeaderSize > imageSize) {
        DebugLog(1, "Firmware load failed -- not enough space for table");
        return 0;
    }
    std::uint64_t walked = 0;
    const std::int32_t entries = entryCount(tableLength);
    for (std::int32_t i = 0; i < entries; ++i) {
        const std::uint8_t* entry = payload + static_cast<std::uint32_t>(i) * kFirmwareEntrySize;
        if (getLe32(entry) == 0) break;
        const std::uint32_t length = getLe32(entry + 4);
        if (kFirmwareHeaderSize + walked + length > imageSize) {
            DebugLog(1, "Firmware load failed -- length exceeds available");
            return 0;
        }
        // Section 0 is the table: its CRC leaves out the table's own entry.
        const std::uint32_t skip = i == 0 ? kFirmwareEntrySize : 0;
        const std::uint32_t stored = getLe32(entry + 8);
        const std::uint32_t computed = uFirmwareCrc32(payload + walked + skip, length - skip, 0);
        if (computed != stored) {
            DebugLog(1,
                     "Firmware load failed -- sub-section checksum mismatch on section index: %d, "
                     "static CRC %08x, calc CRC %08x",
                     i, stored, computed);
            return 0;
        }
        walked += length;
    }
    *payloadOffset = kFirmwareHeaderSize;
    *payloadLength = declared;
    return 1;
}

std::uint8_t uCheckFirmwareSectionLengths(const std::uint8_t* image, std::uint32_t imageSize) {
    if (image == nullptr || imageSize < kFirmwareHeaderSize + kFirmwareEntrySize) return 0;
    const std::uint8_t* payload = image + kFirmwareHeaderSize;
    const std::int32_t entries = entryCount(getLe32(payload + 4));
    for (std::int32_t i = 0; i < entries; ++i) {
        const std::uint64_t end = (static_cast<std::uint64_t>(i) + 1) * kFirmwareEntrySize;
        if (end > imageSize - kFirmwareHeaderSize) break;  // never read past the image
        const std::uint8_t* entry = payload + static_cast<std::uint32_t>(i) * kFirmwareEntrySize;
        if (getLe32(entry) == 0) break;
        if (getLe32(entry + 4) % kFirmwareWriteChunk != 0) {
            DebugLog(1,
                     "Firmware load failed -- section length not a multiple of 32 at section "
                     "index: %d",
                     i);
            return 0;
        }
    }
    return 1;
}
