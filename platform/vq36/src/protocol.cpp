#include "standin/vq36/protocol.h"

#include <cmath>

namespace standin::vq36 {

std::optional<std::size_t> replyLength(std::uint8_t command, std::uint32_t flashOffset) {
    switch (command) {
        case kCmdFirmwareVersion:
            return 6;
        case kCmdBootFlag:
            return 1;
        case kCmdFlashWrite:
            if ((flashOffset & 0xFF) == 0xE0) return kDataSize;
            return std::nullopt;
        case kCmdFlashRead:
            return kDataSize;
        case kCmdProductIdNormal:
        case kCmdProductIdAlternate:
        case kCmdDirectControlPacket:
        case kCmdDeviceWord:
            return 2;
        default:
            return std::nullopt;
    }
}

namespace {
constexpr std::uint32_t kPatternSpan = 1u << 24;
constexpr float kPatternScale = 1.0f / static_cast<float>(kPatternSpan);
}  // namespace

float countingSample(std::uint64_t captureFrame, unsigned channel) {
    auto v = static_cast<std::uint32_t>((captureFrame * 16 + (channel & 15)) % kPatternSpan);
    return static_cast<float>(v) * kPatternScale;
}

std::optional<CountingPosition> decodeCountingSample(float value) {
    if (!(value >= 0.0f) || value >= 1.0f) return std::nullopt;
    float scaled = value * static_cast<float>(kPatternSpan);
    if (scaled != std::floor(scaled)) return std::nullopt;
    auto v = static_cast<std::uint32_t>(scaled);
    if ((v & 15) >= kCaptureChannels) return std::nullopt;
    return CountingPosition{v >> 4, v & 15};
}

}  // namespace standin::vq36
