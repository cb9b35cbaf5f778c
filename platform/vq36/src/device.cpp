#include "standin/vq36/device.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace standin::vq36 {

namespace {

constexpr double kMaxDriftPpm = 100000.0;

std::uint32_t getBe32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

void putBe32(std::uint8_t* p, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
}

std::int64_t toPpb(double ppm) {
    if (!(ppm == ppm)) return 0;  // NaN
    ppm = std::clamp(ppm, -kMaxDriftPpm, kMaxDriftPpm);
    return std::llround(ppm * 1000.0);
}

// The code section of the model's own firmware: bytes that only have to be stable.
std::vector<std::uint8_t> codeSection() {
    std::vector<std::uint8_t> b(4096);
    std::uint32_t x = 0x2E00B713;
    for (auto& v : b) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<std::uint8_t>(x >> 24);
    }
    return b;
}

}  // namespace

std::vector<std::uint8_t> DeviceConfig::defaultControls() {
    std::vector<std::uint8_t> c;
    for (std::uint8_t i = 0; i < 32; ++i) c.push_back(i);
    for (std::uint8_t i = 33; i <= 36; ++i) c.push_back(i);
    return c;
}

std::vector<std::pair<std::uint8_t, std::uint8_t>> DeviceConfig::defaultStartValues() {
    return {{33, 1}, {36, 1}};
}

bool ReceivedCommand::valid() const {
    return bytes.size() == kPacketSize && bytes[1] == 0x13 && bytes[2] == 0xB7 &&
           bytes[3] == 0x00 && bytes[4] == 0x2E;
}

Vq36Device::Vq36Device(DeviceConfig config)
    : config_(std::move(config)),
      ppb_(toPpb(config_.driftPpm)),
      loop_(kLoopbackCapacity),
      recorder_(config_.recorderFrames),
      flash_(kFlashSize, 0xFF) {
    sources_.fill(CaptureSource::counting());
    FirmwareSection code;
    code.flashOffset = 0x10000;
    code.bytes = codeSection();
    auto image = buildFirmwareImage(config_.firmware, std::span(&code, 1));
    auto sections = imageSections(image);
    for (const auto& s : sections.value())
        std::copy(s.bytes.begin(), s.bytes.end(), flash_.begin() + s.flashOffset);
    running_ = findFirmwareVersion(flash_).value_or(config_.firmware);
    bootLoader_ = config_.startInBootLoader;
    controls_.fill(-1);
    for (std::uint8_t c : config_.controls)
        if (c < 128) controls_[c] = 0;
    for (auto [c, v] : config_.startValues)
        if (c < 128 && controls_[c] >= 0) controls_[c] = v & 0x7F;
}

// ---- descriptors ------------------------------------------------------------------------------
usb::Speed Vq36Device::speed() const {
    return config_.variant == Variant::FullSpeed ? usb::Speed::Full : usb::Speed::High;
}

std::vector<std::uint8_t> Vq36Device::deviceDescriptor() const {
    usb::DeviceDescriptor d;
    d.idVendor = kVendorId;
    d.idProduct = kProductId;
    d.bcdDevice = 0x0100;
    auto b = d.bytes();
    return {b.begin(), b.end()};
}

std::vector<std::uint8_t> Vq36Device::configurationDescriptor() const {
    auto iface = [](std::uint8_t number, std::uint8_t alt, std::uint8_t sub) {
        usb::InterfaceDescriptor d;
        d.bInterfaceNumber = number;
        d.bAlternateSetting = alt;
        d.bInterfaceClass = 0xFF;
        d.bInterfaceSubClass = sub;
        return d;
    };
    auto ep = [](std::uint8_t addr, std::uint8_t attributes, std::uint16_t size) {
        usb::EndpointDescriptor e;
        e.bEndpointAddress = addr;
        e.bmAttributes = attributes;
        e.wMaxPacketSize = size;
        e.bInterval = 1;
        return e;
    };
    constexpr std::uint8_t kIsoAsync = 0x05;
    constexpr std::uint8_t kInterrupt = 0x03;
    usb::ConfigurationBuilder b;
    if (config_.variant == Variant::SingleInterface) {
        b.addInterface(iface(0, 0, 0x01)).addInterface(iface(0, 1, 0x01));
        return b.bytes();
    }
    b.addInterface(iface(0, 0, 0x01));
    if (config_.variant != Variant::NoPlaybackInterface) {
        b.addInterface(iface(1, 0, 0x02)).addInterface(iface(1, 1, 0x02));
        b.addEndpoint(ep(kEpPlayback, kIsoAsync, kMaxPlaybackPacket));
    }
    if (config_.variant != Variant::NoCaptureInterface) {
        b.addInterface(iface(2, 0, 0x02)).addInterface(iface(2, 1, 0x02));
        b.addEndpoint(ep(kEpCapture, kIsoAsync, kMaxCapturePacket));
    }
    b.addInterface(iface(3, 0, 0x03));
    b.addEndpoint(ep(kEpMessageIn, kInterrupt, kPacketSize));
    if (config_.variant != Variant::MessageInterfaceOnePipe)
        b.addEndpoint(ep(kEpMessageOut, kInterrupt, kPacketSize));
    return b.bytes();
}

void Vq36Device::plugged(std::shared_ptr<usb::DeviceLink> link) {
    std::lock_guard lk(ctlMu_);
    link_ = std::move(link);
}

// ---- audio ------------------------------------------------------------------------------------
std::uint64_t Vq36Device::captureFrameIndex(std::uint64_t uf) const {
    using u128 = unsigned __int128;
    u128 num = u128{uf} * kNominalFramesPerPacket * static_cast<u128>(1000000000 + ppb_);
    return static_cast<std::uint64_t>(num / 1000000000u);
}

unsigned Vq36Device::framesInMicroframe(std::uint64_t uf) const {
    return static_cast<unsigned>(captureFrameIndex(uf + 1) - captureFrameIndex(uf));
}

double Vq36Device::captureFramesPerSecond() const {
    return 8000.0 * kNominalFramesPerPacket * (1e9 + static_cast<double>(ppb_)) / 1e9;
}

float Vq36Device::sourceSample(const CaptureSource& s, std::uint64_t frame, unsigned ch) const {
    switch (s.kind) {
        case CaptureSource::Kind::Silence:
            return 0.0f;
        case CaptureSource::Kind::Sine: {
            // Reduce the phase in whole periods of the sample clock first, so that long runs
            // keep their precision.
            double cycles =
                s.frequency * static_cast<double>(frame % (kSampleRate * 1000ull)) / kSampleRate;
            return static_cast<float>(
                s.amplitude * std::sin(2.0 * std::numbers::pi * (cycles - std::floor(cycles))));
        }
        case CaptureSource::Kind::Counting:
            return countingSample(frame, ch);
        case CaptureSource::Kind::Loopback: {
            if (frame < config_.loopbackLatencyFrames) return 0.0f;
            std::uint64_t pos = frame - config_.loopbackLatencyFrames;
            const LoopFrame& f = loop_[pos % kLoopbackCapacity];
            return f.position == pos ? f.samples[s.playbackChannel % kPlaybackChannels] : 0.0f;
        }
    }
    return 0.0f;
}

float Vq36Device::expectedCaptureSample(std::uint64_t frame, unsigned channel) const {
    std::lock_guard lk(audioMu_);
    if (channel >= kCaptureChannels) return 0.0f;
    return sourceSample(sources_[channel], frame, channel);
}

void Vq36Device::setCaptureSource(unsigned channel, CaptureSource source) {
    std::lock_guard lk(audioMu_);
    if (channel < kCaptureChannels) sources_[channel] = source;
}

void Vq36Device::setAllCaptureSources(CaptureSource source) {
    std::lock_guard lk(audioMu_);
    sources_.fill(source);
}

usb::IsoInResult Vq36Device::isoIn(std::uint8_t endpoint, const usb::IsoSlot& slot,
                                   std::span<std::uint8_t> buffer) {
    if (endpoint != kEpCapture || speed() != usb::Speed::High) return {0, usb::kUsbdSuccess};
    std::lock_guard lk(audioMu_);
    std::uint64_t first = captureFrameIndex(slot.busMicroframe);
    std::uint32_t length = framesInMicroframe(slot.busMicroframe) * kCaptureFrameBytes;
    if (!captureFaults_.empty()) {
        length = captureFaults_.front();
        captureFaults_.pop_front();
    }
    std::size_t bytes = std::min<std::size_t>(length, buffer.size());
    std::size_t frames = (bytes + kCaptureFrameBytes - 1) / kCaptureFrameBytes;
    for (std::size_t j = 0; j < frames; ++j) {
        for (unsigned c = 0; c < kCaptureChannels; ++c) {
            std::size_t pos = j * kCaptureFrameBytes + c * 4;
            if (pos >= bytes) break;
            float v = sourceSample(sources_[c], first + j, c);
            std::memcpy(&buffer[pos], &v, std::min<std::size_t>(4, bytes - pos));
        }
    }
    return {length, usb::kUsbdSuccess};
}

usb::UsbdStatus Vq36Device::isoOut(std::uint8_t endpoint, const usb::IsoSlot& slot,
                                   std::span<const std::uint8_t> data) {
    if (endpoint != kEpPlayback) return usb::kUsbdSuccess;
    recorder_.append(slot, data);
    std::lock_guard lk(audioMu_);
    std::uint64_t first = captureFrameIndex(slot.busMicroframe);
    std::size_t frames = data.size() / kPlaybackFrameBytes;
    for (std::size_t j = 0; j < frames; ++j) {
        LoopFrame& f = loop_[(first + j) % kLoopbackCapacity];
        f.position = first + j;
        std::memcpy(f.samples.data(), &data[j * kPlaybackFrameBytes], kPlaybackFrameBytes);
    }
    return usb::kUsbdSuccess;
}

// ---- commands ---------------------------------------------------------------------------------
usb::OutResponse Vq36Device::messageOut(std::uint8_t endpoint,
                                        std::span<const std::uint8_t> packet) {
    std::lock_guard lk(ctlMu_);
    if (endpoint != kEpMessageOut) return usb::OutResponse::ack();
    if (failWrites_ > 0) {
        --failWrites_;
        return usb::OutResponse::fail(failStatus_, failStatus_ == usb::kStatusNoSuchDevice
                                                       ? usb::kUsbdDeviceGone
                                                       : usb::kUsbdStallPid);
    }
    ReceivedCommand rc;
    rc.frameNumber = link_ ? link_->currentFrame() : 0;
    rc.bytes.assign(packet.begin(), packet.end());
    bool valid = rc.valid();
    commands_.push_back(std::move(rc));
    if (commands_.size() > kMaxRecordedCommands) commands_.pop_front();
    if (valid) handleCommand(packet);
    return usb::OutResponse::ack();
}

void Vq36Device::handleCommand(std::span<const std::uint8_t> p) {
    const std::uint8_t cmd = p[0];
    const std::uint8_t* d = &p[kDataOffset];
    switch (cmd) {
        case kCmdFirmwareVersion: {
            FirmwareVersion v = bootLoader_ ? config_.bootLoader : running_;
            std::uint8_t r[6] = {v.major, v.minor};
            putBe32(&r[2], v.build);
            sendReplyLocked(cmd, r);
            break;
        }
        case kCmdBootFlag: {
            std::uint8_t r[1] = {static_cast<std::uint8_t>(bootLoader_ ? 1 : 0)};
            sendReplyLocked(cmd, r);
            break;
        }
        case kCmdFlashWrite: {
            std::uint32_t offset = getBe32(d);
            bool ok = bootLoader_ && offset <= kFlashSize - kFlashWriteChunk;
            if (ok) std::copy(d + 4, d + 4 + kFlashWriteChunk, flash_.begin() + offset);
            if ((offset & 0xFF) == 0xE0) {
                std::uint8_t r[kDataSize] = {};
                putBe32(r, offset);
                r[4] = ok ? 0 : 1;
                for (std::size_t i = 0; i < kFlashWriteChunk; ++i)
                    r[5 + i] = std::uint64_t{offset} + i < kFlashSize ? flash_[offset + i] : 0xFF;
                sendReplyLocked(cmd, r);
            }
            break;
        }
        case kCmdFlashRead: {
            std::uint32_t offset = getBe32(d);
            std::size_t count = std::min<std::size_t>(d[4], kFlashReadMax);
            std::uint8_t r[kDataSize] = {};
            putBe32(r, offset);
            r[4] = static_cast<std::uint8_t>(count);
            for (std::size_t i = 0; i < count; ++i)
                r[5 + i] = std::uint64_t{offset} + i < kFlashSize ? flash_[offset + i] : 0xFF;
            sendReplyLocked(cmd, r);
            break;
        }
        case kCmdUpdateDone:
            rebootLocked(false);
            break;
        case kCmdEnterBootLoader:
            rebootLocked(true);
            break;
        case kCmdProductIdNormal:
        case kCmdProductIdAlternate: {
            productIdSelection_ = cmd == kCmdProductIdAlternate ? 1 : 0;
            std::uint16_t id = static_cast<std::uint16_t>(kProductId + productIdSelection_);
            std::uint8_t r[2] = {static_cast<std::uint8_t>(id & 0xFF),
                                 static_cast<std::uint8_t>(id >> 8)};
            sendReplyLocked(cmd, r);
            break;
        }
        case kCmdControlPacket:
            if (!bootLoader_) applyControlPacket(std::span(d, kDataSize));
            break;
        case kCmdDirectControlPacket: {
            std::uint8_t r[2] = {0, 0};
            sendReplyLocked(cmd, r);
            if (!bootLoader_) applyControlPacket(std::span(d, kDataSize));
            break;
        }
        case kCmdDeviceWord: {
            std::uint8_t r[2] = {static_cast<std::uint8_t>(config_.deviceWord & 0xFF),
                                 static_cast<std::uint8_t>(config_.deviceWord >> 8)};
            sendReplyLocked(cmd, r);
            break;
        }
        default:  // 0x36 (power-up notice) and anything unknown: taken, recorded, not answered
            break;
    }
}

void Vq36Device::rebootLocked(bool bootLoader) {
    if (bootLoader) {
        bootLoader_ = true;
    } else if (auto v = findFirmwareVersion(flash_)) {
        bootLoader_ = false;
        running_ = *v;
    } else {
        bootLoader_ = true;  // nothing sound to start: the boot loader stays
    }
    if (link_) link_->reenumerate();
}

void Vq36Device::applyControlPacket(std::span<const std::uint8_t> h) {
    std::size_t len = std::min<std::size_t>(h[0], kControlPacketMax);
    const std::uint8_t* m = &h[1];
    std::size_t i = 0;
    while (i < len) {
        std::uint8_t b = m[i];
        if (b == 0xB0 || b == 0x90 || b == 0x80) {
            if (i + 2 >= len) break;
            if (b == 0xB0 && controls_[m[i + 1] & 0x7F] >= 0)
                controls_[m[i + 1] & 0x7F] = m[i + 2] & 0x7F;
            i += 3;
        } else if (b == 0xF0) {
            std::size_t end = i + 1;
            while (end < len && m[end] != 0xF7) ++end;
            if (end >= len) break;
            std::size_t body = end - i - 1;
            if (body >= 2 && m[i + 1] == kSysExDevice) {
                if (m[i + 2] == kSysExAllControls) {
                    for (std::size_t c = 0; c < controls_.size(); ++c)
                        if (controls_[c] >= 0)
                            sendControlLocked({0xB0, static_cast<std::uint8_t>(c),
                                               static_cast<std::uint8_t>(controls_[c])});
                } else if (m[i + 2] == kSysExControlPoint && body >= 3) {
                    controlPoint_ = m[i + 3] & 1;
                    sendControlLocked(
                        {0xF0, kSysExDevice, kSysExControlPoint, controlPoint_, 0xF7});
                }
            }
            i = end + 1;
        } else {
            ++i;  // data bytes without a status, and statuses the device does not know
        }
    }
}

bool Vq36Device::sendLocked(std::span<const std::uint8_t> packet) {
    if (!link_) return false;
    std::size_t n = packet.size();
    if (shortMessages_ > 0) {
        --shortMessages_;
        n = std::min<std::size_t>(n, shortMessageLength_);
    }
    return link_->sendIn(kEpMessageIn, packet.first(n));
}

bool Vq36Device::sendReplyLocked(std::uint8_t command, std::span<const std::uint8_t> data) {
    if (allUnanswered_ || unanswered_.count(command)) return false;
    std::array<std::uint8_t, kPacketSize> p{};
    p[0] = command;
    p[1] = 0x13;
    p[2] = 0xB7;
    p[3] = 0x00;
    p[4] = 0x2E;
    std::copy_n(data.begin(), std::min(data.size(), kDataSize), p.begin() + kDataOffset);
    return sendLocked(p);
}

bool Vq36Device::sendControlLocked(std::initializer_list<std::uint8_t> messages) {
    std::array<std::uint8_t, kPacketSize> p{};
    p[0] = kPacketControl;
    p[5] = static_cast<std::uint8_t>(messages.size());
    std::copy(messages.begin(), messages.end(), p.begin() + 6);
    return sendLocked(p);
}

// ---- state ------------------------------------------------------------------------------------
bool Vq36Device::inBootLoader() const {
    std::lock_guard lk(ctlMu_);
    return bootLoader_;
}

FirmwareVersion Vq36Device::runningVersion() const {
    std::lock_guard lk(ctlMu_);
    return bootLoader_ ? config_.bootLoader : running_;
}

std::vector<ReceivedCommand> Vq36Device::commands() const {
    std::lock_guard lk(ctlMu_);
    return {commands_.begin(), commands_.end()};
}

void Vq36Device::clearCommands() {
    std::lock_guard lk(ctlMu_);
    commands_.clear();
}

std::vector<std::uint8_t> Vq36Device::readFlash(std::uint32_t offset, std::uint32_t length) const {
    std::lock_guard lk(ctlMu_);
    std::vector<std::uint8_t> out(length, 0xFF);
    for (std::uint32_t i = 0; i < length; ++i)
        if (std::uint64_t{offset} + i < kFlashSize) out[i] = flash_[offset + i];
    return out;
}

void Vq36Device::writeFlash(std::uint32_t offset, std::span<const std::uint8_t> bytes) {
    std::lock_guard lk(ctlMu_);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (std::uint64_t{offset} + i < kFlashSize) flash_[offset + i] = bytes[i];
}

std::optional<std::uint8_t> Vq36Device::controlValue(std::uint8_t control) const {
    std::lock_guard lk(ctlMu_);
    if (control >= 128 || controls_[control] < 0) return std::nullopt;
    return static_cast<std::uint8_t>(controls_[control]);
}

std::uint8_t Vq36Device::controlPoint() const {
    std::lock_guard lk(ctlMu_);
    return controlPoint_;
}

bool Vq36Device::portState(unsigned index) const {
    std::lock_guard lk(ctlMu_);
    return index < ports_.size() && ports_[index];
}

std::uint8_t Vq36Device::productIdSelection() const {
    std::lock_guard lk(ctlMu_);
    return productIdSelection_;
}

// ---- at the device ----------------------------------------------------------------------------
bool Vq36Device::moveControl(std::uint8_t control, std::uint8_t value) {
    std::lock_guard lk(ctlMu_);
    if (control >= 128 || controls_[control] < 0) return false;
    controls_[control] = value & 0x7F;
    return sendControlLocked({0xB0, control, static_cast<std::uint8_t>(value & 0x7F)});
}

bool Vq36Device::pressButton(std::uint8_t note, std::uint8_t velocity) {
    std::lock_guard lk(ctlMu_);
    return sendControlLocked(
        {0x90, static_cast<std::uint8_t>(note & 0x7F), static_cast<std::uint8_t>(velocity & 0x7F)});
}

bool Vq36Device::releaseButton(std::uint8_t note) {
    std::lock_guard lk(ctlMu_);
    return sendControlLocked({0x80, static_cast<std::uint8_t>(note & 0x7F), 0x00});
}

bool Vq36Device::setPortState(unsigned index, bool on) {
    std::lock_guard lk(ctlMu_);
    if (index >= ports_.size()) return false;
    ports_[index] = on;
    std::array<std::uint8_t, kPacketSize> p{};
    p[0] = on ? kPacketPortSet : kPacketPortClear;
    p[4] = static_cast<std::uint8_t>(index);
    return sendLocked(p);
}

bool Vq36Device::reportOtherPort() {
    std::lock_guard lk(ctlMu_);
    std::array<std::uint8_t, kPacketSize> p{};
    p[0] = kPacketOtherPort;
    return sendLocked(p);
}

bool Vq36Device::sendAux(std::span<const std::uint8_t> bytes) {
    std::lock_guard lk(ctlMu_);
    if (bytes.size() > kDataSize) return false;
    std::array<std::uint8_t, kPacketSize> p{};
    p[0] = kPacketAux;
    std::copy(bytes.begin(), bytes.end(), p.begin() + kDataOffset);
    return sendLocked(p);
}

bool Vq36Device::unplug() {
    std::shared_ptr<usb::DeviceLink> link;
    {
        std::lock_guard lk(ctlMu_);
        link = link_;
    }
    return link && link->unplug();
}

// ---- faults -----------------------------------------------------------------------------------
void Vq36Device::faultCapturePacketLengths(std::vector<std::uint32_t> lengths) {
    std::lock_guard lk(audioMu_);
    captureFaults_.insert(captureFaults_.end(), lengths.begin(), lengths.end());
}

void Vq36Device::faultEmptyCapturePackets(unsigned count) {
    faultCapturePacketLengths(std::vector<std::uint32_t>(count, 0));
}

void Vq36Device::faultLongCapturePackets(unsigned count, std::uint32_t length) {
    faultCapturePacketLengths(std::vector<std::uint32_t>(count, length));
}

void Vq36Device::faultPartialCapturePackets(unsigned count, std::uint32_t length) {
    faultCapturePacketLengths(std::vector<std::uint32_t>(count, length));
}

void Vq36Device::faultShortMessagePackets(unsigned count, std::uint32_t length) {
    std::lock_guard lk(ctlMu_);
    shortMessages_ = count;
    shortMessageLength_ = std::min<std::uint32_t>(length, kPacketSize);
}

void Vq36Device::failCommandWrites(unsigned count, usb::NtStatus status) {
    std::lock_guard lk(ctlMu_);
    failWrites_ = count;
    failStatus_ = status;
}

void Vq36Device::setUnanswered(std::uint8_t command, bool unanswered) {
    std::lock_guard lk(ctlMu_);
    if (unanswered)
        unanswered_.insert(command);
    else
        unanswered_.erase(command);
}

void Vq36Device::setAllUnanswered(bool unanswered) {
    std::lock_guard lk(ctlMu_);
    allUnanswered_ = unanswered;
}

}  // namespace standin::vq36
