#include "standin/vq36/recorder.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>

#include "standin/vq36/protocol.h"

namespace standin::vq36 {

PlaybackRecorder::PlaybackRecorder(std::size_t maxFrames, std::size_t maxPackets)
    : maxFrames_(maxFrames),
      maxPackets_(maxPackets),
      chunkLimit_((maxFrames * kPlaybackChannels + kChunkSamples - 1) / kChunkSamples + 2) {
    prepared_.reserve(kChunksAhead);
    spare_.reserve(1);
    preparer_ = std::thread([this] { prepareLoop(); });
}

PlaybackRecorder::~PlaybackRecorder() {
    {
        std::lock_guard lk(mu_);
        stop_ = true;
    }
    prepareCv_.notify_all();
    preparer_.join();
}

bool PlaybackRecorder::wantsChunkLocked() const {
    // A chunk that falls out of the capacity is refilled, so the recording needs new ones only
    // until it is full (or when a copy being made kept one that fell out).
    const std::size_t inUse = full_.size() + (tail_.capacity() ? 1 : 0) + spare_.size();
    return prepared_.size() < kChunksAhead && inUse + prepared_.size() < chunkLimit_;
}

void PlaybackRecorder::prepareLoop() {
    std::unique_lock lk(mu_);
    for (;;) {
        prepareCv_.wait(lk, [this] { return stop_ || wantsChunkLocked(); });
        if (stop_) return;
        lk.unlock();
        std::vector<float> chunk(kChunkSamples);  // written once, so its pages are in memory
        chunk.clear();
        lk.lock();
        if (stop_) return;
        prepared_.push_back(std::move(chunk));
    }
}

void PlaybackRecorder::takeChunkLocked() {
    // A chunk that fell out of the capacity is filled again: the device's playback neither
    // allocates nor touches fresh memory once the recording is full.
    if (!spare_.empty()) {
        tail_ = std::move(spare_.back());
        spare_.pop_back();
        tail_.clear();
    } else if (!prepared_.empty()) {
        tail_ = std::move(prepared_.back());
        prepared_.pop_back();
        prepareCv_.notify_one();
    } else {
        ++inPlayback_;
    }
    tail_.reserve(kChunkSamples);
}

void PlaybackRecorder::append(const usb::IsoSlot& slot, std::span<const std::uint8_t> data) {
    std::lock_guard lk(mu_);
    const std::size_t frames = data.size() / kPlaybackFrameBytes;
    partial_ += data.size() % kPlaybackFrameBytes;
    const std::uint8_t* next = data.data();
    for (std::size_t left = frames; left > 0;) {
        if (tail_.capacity() < kChunkSamples) takeChunkLocked();
        const std::size_t room = (kChunkSamples - tail_.size()) / kPlaybackChannels;
        const std::size_t n = std::min(left, room);
        const std::size_t at = tail_.size();
        tail_.resize(at + n * kPlaybackChannels);
        std::memcpy(tail_.data() + at, next, n * kPlaybackFrameBytes);
        next += n * kPlaybackFrameBytes;
        left -= n;
        if (tail_.size() == kChunkSamples) {
            full_.push_back(std::make_shared<std::vector<float>>(std::move(tail_)));
            tail_ = {};
        }
    }
    recorded_ += frames;
    held_ += frames;
    if (held_ > maxFrames_) discardLocked(held_ - maxFrames_);
    packets_.push_back({slot.frameNumber, slot.microframe, slot.busMicroframe,
                        static_cast<std::uint32_t>(data.size()),
                        static_cast<std::uint32_t>(frames)});
    if (packets_.size() > maxPackets_) packets_.pop_front();
}

void PlaybackRecorder::discardLocked(std::size_t frames) {
    held_ -= frames;
    discarded_ += frames;
    std::size_t samples = frames * kPlaybackChannels;
    while (samples > 0 && !full_.empty()) {
        const std::size_t n = std::min(samples, full_.front()->size() - frontSkip_);
        frontSkip_ += n;
        samples -= n;
        if (frontSkip_ == full_.front()->size()) {
            // Kept for the next chunk unless a copy being made may still read it. A copy drops
            // its references and then says so under the lock, so the chunk's memory is handed
            // over in order (a reference count read alone would not order the copy's reads
            // before the refill's writes).
            if (copying_ == 0 && spare_.empty())
                spare_.push_back(std::move(*full_.front()));
            else
                prepareCv_.notify_one();  // a new chunk takes its place
            full_.pop_front();
            frontSkip_ = 0;
        }
    }
    if (samples > 0)
        tail_.erase(tail_.begin(), tail_.begin() + static_cast<std::ptrdiff_t>(samples));
}

std::vector<float> PlaybackRecorder::samples() const {
    // The full chunks never change again: they are taken by reference under the lock and copied
    // after it, so the device's playback never waits for a copy of the whole recording.
    struct Copying {  // declared first, so it ends after `chunks` is gone
        const PlaybackRecorder* r = nullptr;
        ~Copying() {
            if (r == nullptr) return;
            std::lock_guard lk(r->mu_);
            --r->copying_;
        }
    } copying;
    std::vector<std::shared_ptr<const std::vector<float>>> chunks;
    std::vector<float> tail;
    std::size_t skip = 0;
    {
        std::lock_guard lk(mu_);
        chunks.assign(full_.begin(), full_.end());
        skip = frontSkip_;
        tail = tail_;
        ++copying_;
        copying.r = this;
    }
    std::size_t total = tail.size();
    for (const auto& c : chunks) total += c->size();
    std::vector<float> out;
    out.reserve(total - skip);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        out.insert(out.end(), chunks[i]->begin() + static_cast<std::ptrdiff_t>(i == 0 ? skip : 0),
                   chunks[i]->end());
    }
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
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
    full_.clear();
    tail_ = {};
    spare_.clear();
    frontSkip_ = 0;
    held_ = 0;
    packets_.clear();
    recorded_ = discarded_ = partial_ = 0;
    prepareCv_.notify_one();
}

std::size_t PlaybackRecorder::chunksReady() const {
    std::lock_guard lk(mu_);
    return prepared_.size();
}

std::uint64_t PlaybackRecorder::chunksAllocatedInPlayback() const {
    std::lock_guard lk(mu_);
    return inPlayback_;
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
