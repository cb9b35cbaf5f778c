#include "standin/vq36/firmware.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace standin::vq36 {

namespace {

constexpr std::array<std::uint8_t, 8> kVersionMagic = {'V', 'Q', '3', '6', 'F', 'W', 'V', 'R'};
constexpr char kCopyright[] = "Copyright 2026 Vexa Corporation";  // 31 characters and the NUL
constexpr std::size_t kEntrySize = 12;

std::uint32_t reflectedRegister(std::span<const std::uint8_t> bytes) {
    std::uint32_t r = 0xFFFFFFFF;
    for (std::uint8_t b : bytes) {
        r ^= b;
        for (int k = 0; k < 8; ++k) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    }
    return r;
}

std::uint32_t reverse32(std::uint32_t v) {
    std::uint32_t out = 0;
    for (int k = 0; k < 32; ++k, v >>= 1) out = (out << 1) | (v & 1);
    return out;
}

std::uint32_t getLe32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint32_t getBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

void putLe32(std::uint8_t* p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}

void putBe32(std::uint8_t* p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
}

}  // namespace

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    return reflectedRegister(bytes) ^ 0xFFFFFFFFu;
}

std::uint32_t crcRegister(std::span<const std::uint8_t> bytes) {
    return reverse32(reflectedRegister(bytes));
}

std::vector<std::uint8_t> buildFirmwareImage(FirmwareVersion version,
                                             std::span<const FirmwareSection> sections) {
    std::vector<FirmwareSection> all;
    FirmwareSection vs;
    vs.flashOffset = kVersionSectionOffset;
    vs.bytes.assign(kVersionMagic.begin(), kVersionMagic.end());
    vs.bytes.insert(vs.bytes.end(), {version.major, version.minor, 0, 0, 0, 0, 0, 0});
    putBe32(&vs.bytes[12], version.build);
    all.push_back(std::move(vs));
    all.insert(all.end(), sections.begin(), sections.end());
    for (auto& s : all) s.bytes.resize((s.bytes.size() + 31) / 32 * 32, 0xFF);

    std::size_t entries = all.size() + 1;
    std::size_t tableLen = (entries * kEntrySize + 95) / 96 * 96;
    std::vector<std::uint8_t> table(tableLen, 0);
    for (std::size_t i = 0; i < all.size(); ++i) {
        std::uint8_t* e = &table[(i + 1) * kEntrySize];
        putLe32(e, all[i].flashOffset);
        putLe32(e + 4, static_cast<std::uint32_t>(all[i].bytes.size()));
        putLe32(e + 8, crcRegister(all[i].bytes));
    }
    putLe32(&table[0], kSectionTableOffset);
    putLe32(&table[4], static_cast<std::uint32_t>(tableLen));
    putLe32(&table[8], crcRegister(std::span(table).subspan(kEntrySize)));

    std::vector<std::uint8_t> payload = table;
    for (const auto& s : all) payload.insert(payload.end(), s.bytes.begin(), s.bytes.end());

    std::vector<std::uint8_t> image(kImageHeaderSize, 0);
    std::memcpy(image.data(), kCopyright, sizeof kCopyright);
    image[32] = 0x02;
    image[33] = 0x13;
    image[34] = 0xB7;
    image[35] = 0x00;
    image[36] = 0x2E;
    image[37] = 0x01;
    image[38] = 0x00;
    image[39] = version.major;
    image[40] = version.minor;
    putBe32(&image[56], static_cast<std::uint32_t>(payload.size()));
    putBe32(&image[60], crc32(payload));
    image.insert(image.end(), payload.begin(), payload.end());
    return image;
}

std::optional<std::vector<FirmwareSection>> imageSections(std::span<const std::uint8_t> image) {
    if (image.size() < kImageHeaderSize + kEntrySize) return std::nullopt;
    std::uint64_t payloadSize = getBe32(&image[56]);
    if (payloadSize + kImageHeaderSize != image.size()) return std::nullopt;
    auto payload = image.subspan(kImageHeaderSize);
    std::uint64_t tableLen = getLe32(&payload[4]);
    if (tableLen > payload.size()) return std::nullopt;
    std::vector<FirmwareSection> out;
    std::uint64_t pos = 0;
    for (std::uint64_t i = 0; i < tableLen / kEntrySize; ++i) {
        const std::uint8_t* e = &payload[i * kEntrySize];
        std::uint32_t offset = getLe32(e);
        std::uint64_t len = getLe32(e + 4);
        if (offset == 0) break;
        if (pos + len > payload.size()) return std::nullopt;
        FirmwareSection s;
        s.flashOffset = offset;
        s.bytes.assign(payload.begin() + static_cast<std::ptrdiff_t>(pos),
                       payload.begin() + static_cast<std::ptrdiff_t>(pos + len));
        out.push_back(std::move(s));
        pos += len;
    }
    return out;
}

std::optional<FirmwareVersion> findFirmwareVersion(std::span<const std::uint8_t> flash) {
    if (flash.size() < kSectionTableOffset + kEntrySize) return std::nullopt;
    const std::uint8_t* t = &flash[kSectionTableOffset];
    std::uint32_t tableLen = getLe32(t + 4);
    if (getLe32(t) != kSectionTableOffset || tableLen < kEntrySize || tableLen > kSectionTableMax ||
        std::uint64_t{kSectionTableOffset} + tableLen > flash.size())
        return std::nullopt;
    if (crcRegister(flash.subspan(kSectionTableOffset + kEntrySize, tableLen - kEntrySize)) !=
        getLe32(t + 8))
        return std::nullopt;
    std::optional<FirmwareVersion> version;
    for (std::uint32_t i = 1; i < tableLen / kEntrySize; ++i) {
        const std::uint8_t* e = t + i * kEntrySize;
        std::uint64_t offset = getLe32(e);
        std::uint64_t len = getLe32(e + 4);
        if (offset == 0) break;
        if (offset + len > flash.size()) return std::nullopt;
        auto bytes = flash.subspan(offset, len);
        if (crcRegister(bytes) != getLe32(e + 8)) return std::nullopt;
        if (!version && len >= 16 &&
            std::equal(kVersionMagic.begin(), kVersionMagic.end(), bytes.begin()))
            version = FirmwareVersion{bytes[8], bytes[9], getBe32(&bytes[12])};
    }
    return version;
}

}  // namespace standin::vq36
