#include "standin/vq36/recorder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "standin/vq36/protocol.h"

namespace standin::vq36 {

PlaybackRecorder::PlaybackRecorder(std::size_t maxFrames, std::size_t maxPackets)
    : maxFrames_(maxFrames), maxPackets_(maxPackets) {}

void PlaybackRecorder::append(const usb::IsoSlot& slot, std::span<const std::uint8_t> data) {
    std::lock_guard lk(mu_);
    std::size_t frames = data.size() / kPlaybackFrameBytes;
    partial_ += data.size() % kPlaybackFrameBytes;
    for (std::size_t i = 0; i < frames * kPlaybackChannels; ++i) {
        float v;
        std::memcpy(&v, &data[i * 4], 4);
        samples_.push_back(v);
    }
    recorded_ += frames;
    while (samples_.size() > maxFrames_ * kPlaybackChannels) {
        samples_.erase(samples_.begin(), samples_.begin() + kPlaybackChannels);
        ++discarded_;
    }
    packets_.push_back({slot.frameNumber, slot.microframe, slot.busMicroframe,
                        static_cast<std::uint32_t>(data.size()),
                        static_cast<std::uint32_t>(frames)});
    if (packets_.size() > maxPackets_) packets_.pop_front();
}

std::vector<float> PlaybackRecorder::samples() const {
    std::lock_guard lk(mu_);
    return {samples_.begin(), samples_.end()};
}

std::vector<PlaybackPacketRecord> PlaybackRecorder::packets() const {
    std::lock_guard lk(mu_);
    return {packets_.begin(), packets_.end()};
}

std::uint64_t PlaybackRecorder::framesRecorded() const {
    std::lock_guard lk(mu_);
    return recorded_;
}

std::uint64_t PlaybackRecorder::framesDiscarded() const {
    std::lock_guard lk(mu_);
    return discarded_;
}

std::uint64_t PlaybackRecorder::partialFrameBytes() const {
    std::lock_guard lk(mu_);
    return partial_;
}

void PlaybackRecorder::clear() {
    std::lock_guard lk(mu_);
    samples_.clear();
    packets_.clear();
    recorded_ = discarded_ = partial_ = 0;
}

namespace {
// The 58-byte header of a float WAV file, written field by field in little-endian order.
class WavHeader {
public:
    void put16(std::uint16_t v) {
        bytes_[n_++] = static_cast<std::uint8_t>(v);
        bytes_[n_++] = static_cast<std::uint8_t>(v >> 8);
    }
    void put32(std::uint32_t v) {
        for (int k = 0; k < 4; ++k) bytes_[n_++] = static_cast<std::uint8_t>(v >> (8 * k));
    }
    void tag(const char* t) {
        for (int k = 0; k < 4; ++k) bytes_[n_++] = static_cast<std::uint8_t>(t[k]);
    }
    const std::uint8_t* data() const { return bytes_.data(); }
    std::size_t size() const { return n_; }

private:
    std::array<std::uint8_t, 58> bytes_{};
    std::size_t n_ = 0;
};
}  // namespace

bool PlaybackRecorder::writeWav(const std::string& path) const {
    std::vector<float> s = samples();
    std::uint64_t dataBytes = std::uint64_t{s.size()} * 4;
    if (dataBytes > 0xFFFFFF00u) return false;
    auto frames = static_cast<std::uint32_t>(s.size() / kPlaybackChannels);
    WavHeader h;
    h.tag("RIFF");
    h.put32(static_cast<std::uint32_t>(4 + (8 + 18) + (8 + 4) + 8 + dataBytes));
    h.tag("WAVE");
    h.tag("fmt ");
    h.put32(18);
    h.put16(3);  // IEEE float
    h.put16(kPlaybackChannels);
    h.put32(kSampleRate);
    h.put32(kSampleRate * kPlaybackFrameBytes);
    h.put16(kPlaybackFrameBytes);
    h.put16(32);
    h.put16(0);
    h.tag("fact");
    h.put32(4);
    h.put32(frames);
    h.tag("data");
    h.put32(static_cast<std::uint32_t>(dataBytes));

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!f) return false;
    if (std::fwrite(h.data(), 1, h.size(), f.get()) != h.size()) return false;
    // Samples are little-endian floats on this machine, as the file wants them.
    std::size_t done = 0;
    while (done < s.size()) {
        std::size_t n = std::min<std::size_t>(s.size() - done, 16384);
        if (std::fwrite(s.data() + done, 4, n, f.get()) != n) return false;
        done += n;
    }
    return std::fclose(f.release()) == 0;
}

}  // namespace standin::vq36
