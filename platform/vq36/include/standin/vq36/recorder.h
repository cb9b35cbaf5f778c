#pragma once
// Keeps what the device played: 10-channel float frames in the order they arrived, and one
// record per playback packet. Holds at most a given number of frames (the oldest go first).
// The memory the recording grows into is prepared ahead by a thread of the recorder's own, so
// the device's playback (the bus thread) neither allocates nor touches fresh pages for it.

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "standin/sync.h"
#include "standin/usb/bus.h"

namespace standin::vq36 {

struct PlaybackPacketRecord {
    std::uint32_t frameNumber = 0;
    std::uint8_t microframe = 0;
    std::uint64_t busMicroframe = 0;
    std::uint32_t bytes = 0;   // as received
    std::uint32_t frames = 0;  // whole frames kept
};

class PlaybackRecorder {
  public:
    explicit PlaybackRecorder(std::size_t maxFrames = 60 * 48000, std::size_t maxPackets = 1 << 16);
    ~PlaybackRecorder();
    PlaybackRecorder(const PlaybackRecorder&) = delete;
    PlaybackRecorder& operator=(const PlaybackRecorder&) = delete;

    // One playback packet; bytes beyond whole 40-byte frames are counted and dropped.
    void append(const usb::IsoSlot& slot, std::span<const std::uint8_t> data);

    // Interleaved samples (10 per frame), oldest first.
    std::vector<float> samples() const;
    std::vector<PlaybackPacketRecord> packets() const;
    std::uint64_t framesRecorded() const;     // since the start or the last clear()
    std::uint64_t framesDiscarded() const;    // fell out of the capacity
    std::uint64_t partialFrameBytes() const;  // bytes that were not a whole frame
    void clear();

    // Chunks of the recording prepared and waiting; chunks playback had to allocate itself
    // because none was ready (the preparing thread fell behind).
    std::size_t chunksReady() const;
    std::uint64_t chunksAllocatedInPlayback() const;

    // Writes what is kept as a WAV file: IEEE float, 32-bit, 10 channels, 48 kHz.
    bool writeWav(const std::string& path) const;

  private:
    // Samples are kept in chunks of this many; a chunk once full never changes again.
    static constexpr std::size_t kChunkSamples = 2400 * 10;  // 50 ms

    // How many chunks are prepared ahead of playback.
    static constexpr std::size_t kChunksAhead = 2;

    // Drops the oldest `frames` frames.
    void discardLocked(std::size_t frames);
    // Gives the chunk being filled room: a spare, a prepared or (late) a new chunk.
    void takeChunkLocked();
    bool wantsChunkLocked() const;
    void prepareLoop();

    mutable standin::Mutex mu_;
    std::size_t maxFrames_;
    std::size_t maxPackets_;
    std::deque<std::shared_ptr<std::vector<float>>> full_;  // oldest first; never changed
    std::vector<std::vector<float>> spare_;     // a chunk that fell out, to be filled again
    mutable std::size_t copying_ = 0;           // copies of the recording still reading chunks
    std::size_t frontSkip_ = 0;                 // samples of the first full chunk already dropped
    std::vector<float> tail_;                   // the chunk being filled (after the full ones)
    std::size_t held_ = 0;                      // frames kept
    std::vector<std::vector<float>> prepared_;  // empty chunks, their pages already touched
    std::size_t chunkLimit_ = 0;  // chunks a full recording (and the one being filled) uses
    std::uint64_t inPlayback_ = 0;
    bool stop_ = false;
    standin::CondVar prepareCv_;
    std::deque<PlaybackPacketRecord> packets_;
    std::uint64_t recorded_ = 0;
    std::uint64_t discarded_ = 0;
    std::uint64_t partial_ = 0;
    std::thread preparer_;  // started by the constructor once the rest is set up
};

}  // namespace standin::vq36
