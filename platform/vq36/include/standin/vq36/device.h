#pragma once
// The VQ36 device model: a usb::Function to plug into a usb::Bus.
//
// It presents the VQ36's configuration (or a variant), streams 12 channels of capture from a
// source per channel at its own sample clock, keeps what it plays in a recorder, answers every
// command, holds a flash with a section table and a boot loader, and has a control surface.
// A test (or a person, through the host) moves controls and injects faults. Every method is
// safe to call from any thread.

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "standin/sync.h"
#include "standin/usb/bus.h"
#include "standin/vq36/firmware.h"
#include "standin/vq36/protocol.h"
#include "standin/vq36/recorder.h"

namespace standin::vq36 {

enum class Variant {
    Normal,                   // interfaces 0-3, high speed
    FullSpeed,                // the same interfaces at full speed (no audio is streamed)
    SingleInterface,          // exactly one interface (0, settings 0 and 1, no endpoints)
    NoPlaybackInterface,      // interface 1 missing
    NoCaptureInterface,       // interface 2 missing
    MessageInterfaceOnePipe,  // interface 3 has only its IN pipe
};

struct CaptureSource {
    enum class Kind { Silence, Sine, Counting, Loopback };
    Kind kind = Kind::Counting;
    double frequency = 1000.0;     // Sine
    double amplitude = 0.5;        // Sine
    unsigned playbackChannel = 0;  // Loopback: which played channel comes back

    static CaptureSource silence() { return {Kind::Silence}; }
    static CaptureSource sine(double hz, double amp) { return {Kind::Sine, hz, amp}; }
    static CaptureSource counting() { return {Kind::Counting}; }
    static CaptureSource loopback(unsigned ch) { return {Kind::Loopback, 0, 0, ch}; }
};

struct DeviceConfig {
    Variant variant = Variant::Normal;
    FirmwareVersion firmware{1, 2, 345};  // of the firmware in flash at the start
    FirmwareVersion bootLoader{0, 9, 1};  // what command 0x01 reports in the boot loader
    bool startInBootLoader = false;
    // Sample clock against the bus's frame clock: +100 ppm gives 4.8 extra frames a second
    // (packets of 7 frames), -100 ppm 4.8 fewer (packets of 5). Kept within +-100000 ppm.
    double driftPpm = 0.0;
    // Played frames come back on loopback capture channels this many frames later (at most
    // kLoopbackCapacity / 2).
    std::uint32_t loopbackLatencyFrames = 96;
    std::uint16_t deviceWord = 0x0102;                       // command 0x45's answer
    std::vector<std::uint8_t> controls = defaultControls();  // control numbers (0..127)
    // (control, value) at the start; controls not listed start at 0.
    std::vector<std::pair<std::uint8_t, std::uint8_t>> startValues = defaultStartValues();
    std::size_t recorderFrames = 60 * 48000;

    // The surface's 32 controls (0-31) and the device settings: 33 the "USB-6 Record" source
    // (1 main mix, 2 mic 1, 3 mic 2), 34 and 35 headphone tone high and low (0 off to 127
    // +6 dB), 36 button backlight (0 off, 1 on).
    static std::vector<std::uint8_t> defaultControls();
    // The settings a device leaves the factory with: the main mix recorded, the backlight on.
    static std::vector<std::pair<std::uint8_t, std::uint8_t>> defaultStartValues();
};

struct ReceivedCommand {
    std::uint32_t frameNumber = 0;  // bus frame at which the device took the packet
    std::vector<std::uint8_t> bytes;
    bool valid() const;  // 64 bytes with the magic
    std::uint8_t command() const { return bytes.empty() ? 0 : bytes[0]; }
    std::uint8_t data(std::size_t i) const {
        return kDataOffset + i < bytes.size() ? bytes[kDataOffset + i] : 0;
    }
};

class Vq36Device final : public usb::Function {
  public:
    static constexpr std::size_t kLoopbackCapacity = 1 << 14;  // frames
    static constexpr std::size_t kMaxRecordedCommands = 1 << 16;

    explicit Vq36Device(DeviceConfig config = {});

    const DeviceConfig& config() const { return config_; }

    // ---- usb::Function ----
    usb::Speed speed() const override;
    std::vector<std::uint8_t> deviceDescriptor() const override;
    std::vector<std::uint8_t> configurationDescriptor() const override;
    void plugged(std::shared_ptr<usb::DeviceLink> link) override;
    usb::IsoInResult isoIn(std::uint8_t endpoint, const usb::IsoSlot& slot,
                           std::span<std::uint8_t> buffer) override;
    usb::UsbdStatus isoOut(std::uint8_t endpoint, const usb::IsoSlot& slot,
                           std::span<const std::uint8_t> data) override;
    usb::OutResponse messageOut(std::uint8_t endpoint,
                                std::span<const std::uint8_t> packet) override;

    // ---- audio ----
    void setCaptureSource(unsigned channel, CaptureSource source);
    void setAllCaptureSources(CaptureSource source);
    // First capture frame of the packet at a bus microframe (the sample clock's position).
    std::uint64_t captureFrameIndex(std::uint64_t busMicroframe) const;
    // Frames the device captures in one microframe.
    unsigned framesInMicroframe(std::uint64_t busMicroframe) const;
    // The sample clock's rate in frames a second of the bus's clock (48000 without drift): the
    // clock reaches capture frame n at n / captureFramesPerSecond() seconds after the start of
    // the bus's first microframe, the inverse of captureFrameIndex.
    double captureFramesPerSecond() const;
    // The capture sample of (frame, channel) as the device produces it from its sources, for
    // sources that do not depend on playback (silence, sine, counting).
    float expectedCaptureSample(std::uint64_t captureFrame, unsigned channel) const;
    PlaybackRecorder& recorder() { return recorder_; }

    // ---- state ----
    bool inBootLoader() const;
    FirmwareVersion runningVersion() const;  // what command 0x01 reports now
    std::vector<ReceivedCommand> commands() const;
    void clearCommands();
    std::vector<std::uint8_t> readFlash(std::uint32_t offset, std::uint32_t length) const;
    void writeFlash(std::uint32_t offset, std::span<const std::uint8_t> bytes);  // for set-up
    std::optional<std::uint8_t> controlValue(std::uint8_t control) const;
    std::uint8_t controlPoint() const;
    bool portState(unsigned index) const;
    std::uint8_t productIdSelection() const;  // 0 after 0x1A, 1 after 0x1B

    // ---- a test or a person at the device ----
    bool moveControl(std::uint8_t control, std::uint8_t value);  // 0x40: B0 control value
    bool pressButton(std::uint8_t note, std::uint8_t velocity);  // 0x40: 90 note velocity
    bool releaseButton(std::uint8_t note);                       // 0x40: 80 note 00
    bool setPortState(unsigned index, bool on);                  // 0x49 / 0x46, index in byte 4
    bool reportOtherPort();                                      // 0xFD
    bool sendAux(std::span<const std::uint8_t> bytes);           // 0x43, up to 59 bytes
    bool unplug();

    // ---- faults ----
    // The next capture packets report these lengths instead of their own (0 = empty packet;
    // data are written as far as the packet's region allows).
    void faultCapturePacketLengths(std::vector<std::uint32_t> lengths);
    void faultEmptyCapturePackets(unsigned count);
    void faultLongCapturePackets(unsigned count, std::uint32_t length = 400);
    void faultPartialCapturePackets(unsigned count, std::uint32_t length = 290);
    // The next `count` message IN packets (replies or unsolicited) are cut to `length` bytes.
    void faultShortMessagePackets(unsigned count, std::uint32_t length);
    // The next `count` command writes fail with this request status.
    void failCommandWrites(unsigned count, usb::NtStatus status);
    // Commands that are taken but never answered.
    void setUnanswered(std::uint8_t command, bool unanswered);
    void setAllUnanswered(bool unanswered);

  private:
    struct LoopFrame {
        std::uint64_t position = ~std::uint64_t{0};
        std::array<float, kPlaybackChannels> samples{};
    };

    float sourceSample(const CaptureSource& s, std::uint64_t frame, unsigned channel) const;
    // Control side; ctlMu_ held.
    void handleCommand(std::span<const std::uint8_t> packet);
    void applyControlPacket(std::span<const std::uint8_t> hidi);
    bool sendLocked(std::span<const std::uint8_t> packet);
    bool sendReplyLocked(std::uint8_t command, std::span<const std::uint8_t> data);
    bool sendControlLocked(std::initializer_list<std::uint8_t> messages);
    void rebootLocked(bool bootLoader);

    const DeviceConfig config_;
    const std::int64_t ppb_;  // drift in parts per billion

    // Audio side (taken inside the bus's isochronous calls).
    mutable standin::Mutex audioMu_;
    std::array<CaptureSource, kCaptureChannels> sources_;
    std::deque<std::uint32_t> captureFaults_;
    std::vector<LoopFrame> loop_;  // made at the first loopback use
    PlaybackRecorder recorder_;

    // Control side.
    mutable standin::Mutex ctlMu_;
    std::shared_ptr<usb::DeviceLink> link_;
    bool bootLoader_ = false;
    FirmwareVersion running_;
    std::vector<std::uint8_t> flash_;
    std::array<std::int16_t, 128> controls_;  // -1: no such control
    std::uint8_t controlPoint_ = 0;
    std::array<bool, 2> ports_{};
    std::uint8_t productIdSelection_ = 0;
    std::deque<ReceivedCommand> commands_;
    unsigned shortMessages_ = 0;
    std::uint32_t shortMessageLength_ = 64;
    unsigned failWrites_ = 0;
    usb::NtStatus failStatus_ = 0;
    std::set<std::uint8_t> unanswered_;
    bool allUnanswered_ = false;
};

}  // namespace standin::vq36
