// make_embedded_firmware OUTPUT.cpp: writes the source of the firmware image built into
// VexaAsioVq36.dll, scrambled as the library keeps it.
//
// The image is firmware 1.4 build 0 in the update format, made with the device model's image
// builder so that the model starts it as a sound firmware: the section table, the version
// section and four code sections at 0x10000, 0x20000, 0x30000 and 0x40000, every section a
// whole number of 32-byte chunks. The code sections hold stable pseudo-random bytes; their
// lengths are chosen so that the image is exactly 206,400 bytes.

#include <cstdint>
#include <cstdio>
#include <vector>

#include "firmware_image.h"
#include "standin/vq36/firmware.h"

namespace {

std::vector<std::uint8_t> codeBytes(std::size_t length, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(length);
    std::uint32_t x = seed;
    for (auto& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_embedded_firmware OUTPUT.cpp\n");
        return 2;
    }
    // 64 header bytes, a 96-byte table (six entries: the table, the version section and the
    // four code sections, padded with null entries), a 32-byte version section, then code.
    const std::uint32_t kCodeOffsets[] = {0x10000, 0x20000, 0x30000, 0x40000};
    const std::size_t kCodeLengths[] = {0x10000, 0x10000, 0x10000, 9600};
    std::vector<standin::vq36::FirmwareSection> sections;
    for (std::size_t i = 0; i < 4; ++i) {
        standin::vq36::FirmwareSection s;
        s.flashOffset = kCodeOffsets[i];
        s.bytes = codeBytes(kCodeLengths[i], 0x1400u + static_cast<std::uint32_t>(i));
        sections.push_back(std::move(s));
    }
    std::vector<std::uint8_t> image = standin::vq36::buildFirmwareImage(
        {kEmbeddedFirmwareMajor, kEmbeddedFirmwareMinor, 0}, sections);
    if (image.size() != kEmbeddedFirmwareSize) {
        std::fprintf(stderr, "make_embedded_firmware: the image has %zu bytes, not %u\n",
                     image.size(), kEmbeddedFirmwareSize);
        return 1;
    }
    uDescrambleFirmwareImage(image.data(), static_cast<std::uint32_t>(image.size()));

    std::FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out,
                 "// Made by make_embedded_firmware at build time: the built-in firmware image "
                 "%u.%u, scrambled.\n"
                 "#include \"firmware_image.h\"\n\n"
                 "std::uint8_t gEmbeddedFirmwareImage[kEmbeddedFirmwareSize] = {\n",
                 kEmbeddedFirmwareMajor, kEmbeddedFirmwareMinor);
    for (std::size_t i = 0; i < image.size(); ++i)
        std::fprintf(out, "%u,%s", image[i], i % 32 == 31 ? "\n" : "");
    std::fprintf(out, "};\n");
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
