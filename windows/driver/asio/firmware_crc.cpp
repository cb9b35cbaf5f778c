// The firmware CRC (bit by bit, no table) and the scrambling of the built-in image. Nothing here
// logs or touches the platform: the build's image generator compiles this file as well.

#include <cstdint>

#include "firmware_image.h"

namespace {

std::uint32_t reflect(std::uint32_t value, int bits) {
    std::uint32_t out = 0;
    for (int k = 0; k < bits; ++k, value >>= 1) out = (out << 1) | (value & 1);
    return out;
}

std::uint32_t lowBits(std::uint32_t value, int width) {
    return width >= 32 ? value : value & ((std::uint32_t{1} << width) - 1);
}

void crcStart(CrcModel* m) {
    m->reg = m->initialRegister;
}

void crcAdd(CrcModel* m, std::uint8_t byte) {
    std::uint32_t b = m->reflectInput ? reflect(byte, 8) : byte;
    m->reg ^= b << (m->width - 8);
    const std::uint32_t top = std::uint32_t{1} << (m->width - 1);
    for (int k = 0; k < 8; ++k)
        m->reg = (m->reg & top) ? (m->reg << 1) ^ m->polynomial : m->reg << 1;
    m->reg = lowBits(m->reg, m->width);
}

std::uint32_t crcResult(const CrcModel* m) {
    std::uint32_t r = m->reflectOutput ? reflect(m->reg, m->width) : m->reg;
    return r ^ m->finalXor;
}

}  // namespace

std::uint32_t uFirmwareCrc32(const std::uint8_t* bytes, std::uint32_t length,
                             std::uint8_t finalise) {
    CrcModel model = {32, 0x04C11DB7u, 0xFFFFFFFFu, 1, 1, 0xFFFFFFFFu, 0};
    crcStart(&model);
    for (std::uint32_t i = 0; i < length; ++i) crcAdd(&model, bytes[i]);
    return finalise ? crcResult(&model) : model.reg;
}

void uDescrambleFirmwareImage(std::uint8_t* bytes, std::uint32_t length) {
    // The key is made here, at each call, from two seeds: a multiplicative walk whose bytes are
    // stirred with a rotating mask.
    std::uint8_t key[256];
    std::uint32_t x = 0x5B1D8E42u;
    std::uint32_t mask = 0x93A74C6Fu;
    for (int i = 0; i < 256; ++i) {
        x = x * 1103515245u + 12345u;
        mask = (mask << 7) | (mask >> 25);
        key[i] = static_cast<std::uint8_t>((x >> 16) ^ mask ^ static_cast<std::uint32_t>(i));
    }
    for (std::uint32_t i = 0; i < length; ++i) bytes[i] ^= key[i & 0xFF];
}
