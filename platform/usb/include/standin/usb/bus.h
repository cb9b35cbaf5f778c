#pragma once
// A USB 2.0 bus driven by the machine clock.
//
// Time: 1 ms frames of 8 microframes (125 us each) counted from the moment the bus was made.
// Frame numbers are 32-bit and start at a base (BusOptions::frameBase), so that 0 never names
// a frame (the counter would need 49 days of bus time to wrap).
//
// Host side: every time a device arrives on a port the bus makes a UsbDevice for that
// enumeration (descriptors, configuration and interface selection, pipes, transfers, port
// cycling). When the device leaves, that UsbDevice stays "gone" for ever: its pending
// transfers fail and everything later fails with kStatusNoSuchDevice. A device that arrives
// again gets a new UsbDevice. Listeners hear of arrivals and departures in order.
//
// Device side: a Function (the device model) answers the bus: isochronous packets at their
// own microframe, message packets when the host sends them, and packets it queues for IN
// endpoints through its DeviceLink.
//
// Transfers:
//  - isochronous: scheduled by StartFrame only. The start frame must lie after the frame in
//    progress and at most kMaxStartFrameLead frames ahead, else the transfer fails with
//    kUsbdBadStartFrame. High speed: one packet per microframe, the packet count a multiple
//    of 8; full speed: one packet per frame. Packet k's region of the buffer runs from its
//    Offset to the next packet's Offset (the last one to the buffer's end). OUT data are
//    read from the caller's buffer at the packet's own microframe; IN data are written there
//    at the packet's microframe. The transfer completes at the start of the frame after its
//    last frame.
//  - message (bulk and interrupt): OUT completes when the device has taken every packet; IN
//    completes on a short packet or when its buffer is full. One packet per endpoint and
//    microframe.
//  - every submitted transfer completes exactly once, through its completion, as a
//    dispatch-level task on the clock, in the order the bus finished them. Cancelling,
//    time-outs (the bus runs them: a transfer not finished within its time-out is cancelled
//    with kStatusIoTimeout, as the driver framework reports it), departure of the device and
//    rejected parameters all complete the same way. After its completion has run the bus no
//    longer touches the transfer's buffer or packet array.
//  - on the real clock completions may run late when the machine is busy; the device side
//    still sees every packet at its exact frame and microframe.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "standin/clock.h"
#include "standin/usb/descriptors.h"
#include "standin/usb/status.h"

namespace standin::usb {

namespace detail {
class Core;
struct Instance;
}  // namespace detail

using TransferId = std::uint64_t;  // never 0
using PortId = std::uint32_t;      // never 0
using ListenerId = std::uint64_t;  // never 0

inline constexpr Time100ns kUnitsPerMicroframe = kUnitsPerMs / 8;
// How far ahead of the frame in progress an isochronous transfer may start.
inline constexpr std::uint32_t kMaxStartFrameLead = 1024;
// Largest number of packets in one isochronous transfer (high speed / full speed).
inline constexpr std::uint32_t kMaxIsoPacketsHighSpeed = 1024;
inline constexpr std::uint32_t kMaxIsoPacketsFullSpeed = 256;

// One packet of an isochronous transfer; the layout of the platform's packet descriptor.
struct IsoPacket {
    std::uint32_t offset = 0;  // in: start of the packet's region in the buffer
    std::uint32_t length = 0;  // out: bytes the device returned (IN) or took (OUT)
    UsbdStatus status = 0;     // out
};
static_assert(sizeof(IsoPacket) == 12);

struct TransferResult {
    NtStatus status = kStatusSuccess;  // request status
    UsbdStatus usbdStatus = kUsbdSuccess;
    std::uint32_t bytesTransferred = 0;  // isochronous: sum of the packets' lengths
    std::uint32_t errorCount = 0;        // isochronous: packets with a failure status
    std::uint32_t startFrame = 0;        // isochronous: the transfer's start frame
};
using Completion = std::function<void(const TransferResult&)>;

struct IsoTransfer {
    std::uint8_t endpoint = 0;  // endpoint address of a configured isochronous pipe
    std::uint32_t startFrame = 0;
    std::uint8_t* buffer = nullptr;  // caller's memory, valid until the completion
    std::uint32_t bufferLength = 0;
    IsoPacket* packets = nullptr;  // caller's memory, valid until the completion
    std::uint32_t packetCount = 0;
    Time100ns timeout = 0;  // from submission; 0 = none
    Completion completion;
};

struct MessageTransfer {
    std::uint8_t endpoint = 0;       // endpoint address of a configured bulk or interrupt pipe
    std::uint8_t* buffer = nullptr;  // caller's memory, valid until the completion
    std::uint32_t length = 0;
    Time100ns timeout = 0;  // from submission; 0 = none
    Completion completion;
};

struct PipeInfo {
    std::uint8_t endpointAddress = 0;
    PipeType type = PipeType::Bulk;
    std::uint16_t maximumPacketSize = 0;
    std::uint8_t interval = 0;
    std::uint8_t interfaceNumber = 0;
    std::uint8_t alternateSetting = 0;
    std::uint8_t pipeIndex = 0;  // position among the setting's endpoints
};

struct InterfaceSelection {
    std::uint8_t interfaceNumber = 0;
    std::uint8_t alternateSetting = 0;
};

// Where an isochronous packet falls in bus time.
struct IsoSlot {
    std::uint32_t frameNumber = 0;
    std::uint8_t microframe = 0;      // 0..7
    std::uint64_t busMicroframe = 0;  // microframes since the bus was made
};

struct IsoInResult {
    // Bytes the device reports. It writes min(length, buffer size) bytes; a larger length is
    // passed on as the packet's Length unchanged (a garbled length), without any byte being
    // written beyond the packet's region.
    std::uint32_t length = 0;
    UsbdStatus status = kUsbdSuccess;
};

// How a device answers one message OUT packet.
struct OutResponse {
    enum class Kind { Ack, Nak, Fail };
    Kind kind = Kind::Ack;
    NtStatus status = kStatusSuccess;  // Fail: the transfer's request status
    UsbdStatus usbdStatus = kUsbdSuccess;

    static OutResponse ack() { return {}; }
    // Not taken now; the bus offers the packet again after DeviceLink::resumeOut().
    static OutResponse nak() { return {Kind::Nak, kStatusSuccess, kUsbdSuccess}; }
    // The transfer fails with these statuses.
    static OutResponse fail(NtStatus s, UsbdStatus u) { return {Kind::Fail, s, u}; }
};

class DeviceLink;

// The device side of the bus: implemented by a device model.
class Function {
  public:
    virtual ~Function() = default;

    // Read at every arrival (enumeration); the device may present something else each time.
    virtual Speed speed() const = 0;
    virtual std::vector<std::uint8_t> deviceDescriptor() const = 0;
    virtual std::vector<std::uint8_t> configurationDescriptor() const = 0;

    // Called once, by Bus::attach, with the link the device uses for as long as it is
    // plugged in (it stays valid across re-enumerations and port cycles).
    virtual void plugged(std::shared_ptr<DeviceLink> link) = 0;

    // Isochronous packets, called at the packet's microframe, OUT packets of a microframe
    // before its IN packets. Called with the bus's lock held: these must not call the bus.
    virtual IsoInResult isoIn(std::uint8_t endpoint, const IsoSlot& slot,
                              std::span<std::uint8_t> buffer) = 0;
    virtual UsbdStatus isoOut(std::uint8_t endpoint, const IsoSlot& slot,
                              std::span<const std::uint8_t> data) = 0;

    // One message OUT packet. Called without the bus's lock; may call its DeviceLink.
    virtual OutResponse messageOut(std::uint8_t endpoint, std::span<const std::uint8_t> packet) = 0;
};

// What a device can do on the bus. Every call is safe after the device was unplugged or the
// bus was destroyed (it then does nothing and answers false).
class DeviceLink {
  public:
    DeviceLink(std::weak_ptr<detail::Core> core, PortId port);

    PortId port() const { return port_; }
    // The device is enumerated now (not unplugged, not between leaving and arriving).
    bool enumerated() const;
    std::uint32_t currentFrame() const;

    // Queues one packet for a configured IN endpoint of the bus's host; it is delivered to
    // the next IN transfer of that endpoint. False when not enumerated, the endpoint is not a
    // configured bulk or interrupt IN pipe, the packet is longer than its maximum packet
    // size, or the endpoint's queue is full (BusOptions::maxQueuedInPackets).
    bool sendIn(std::uint8_t endpoint, std::span<const std::uint8_t> packet);
    // The device can take OUT packets on this endpoint again after a Nak.
    void resumeOut(std::uint8_t endpoint);
    // The device leaves the bus after BusOptions::reenumerateLeaveDelay and arrives again
    // BusOptions::reattachDelay later, presenting its descriptors afresh.
    bool reenumerate();
    // The device is pulled out (surprise removal); the link is dead afterwards.
    bool unplug();

  private:
    std::weak_ptr<detail::Core> core_;
    PortId port_;
};

// The host side of one enumeration of a device.
class UsbDevice {
  public:
    UsbDevice(std::weak_ptr<detail::Core> core, std::shared_ptr<detail::Instance> instance);
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    std::uint64_t id() const;  // unique on the bus, never 0
    PortId port() const;
    bool present() const;  // false once the device has left
    Speed speed() const;
    const DeviceDescriptor& deviceDescriptor() const;
    // The whole configuration descriptor set as the device gave it (wTotalLength bytes).
    const std::vector<std::uint8_t>& configurationDescriptor() const;
    const Configuration& configuration() const;

    // Selects the configuration with one setting per listed interface (interfaces not listed
    // get setting 0). Pending transfers are cancelled; the pipes become those of the
    // selected settings.
    NtStatus selectConfiguration(std::span<const InterfaceSelection> selections);
    // Selects another setting of one interface of the selected configuration; that
    // interface's pending transfers are cancelled.
    NtStatus selectInterfaceSetting(std::uint8_t interfaceNumber, std::uint8_t alternateSetting);
    // Deconfigures the device: pending transfers are cancelled, no pipe is left.
    NtStatus deconfigure();
    bool configured() const;
    std::optional<std::uint8_t> selectedSetting(std::uint8_t interfaceNumber) const;

    // Pipes of the selected setting of an interface, in endpoint-descriptor order.
    std::vector<PipeInfo> pipes(std::uint8_t interfaceNumber) const;
    std::optional<PipeInfo> pipe(std::uint8_t endpointAddress) const;
    // Clears the pipe's state; the pipe must be configured.
    NtStatus resetPipe(std::uint8_t endpointAddress);

    NtStatus currentFrameNumber(std::uint32_t* frame) const;
    // The device leaves now and arrives again (as a new UsbDevice) after
    // BusOptions::reattachDelay.
    NtStatus cyclePort();

    // Every submitted transfer completes exactly once. The id is 0 only when the bus no
    // longer exists (the completion has then already run, in the caller's thread).
    TransferId submitIso(IsoTransfer transfer);
    TransferId submitMessage(MessageTransfer transfer);
    // True when the transfer was pending and now completes as cancelled.
    bool cancel(TransferId id);
    // Cancels every pending transfer of one pipe / of the device; returns how many.
    std::size_t abortPipe(std::uint8_t endpointAddress);
    std::size_t cancelAll();

  private:
    friend class detail::Core;
    std::weak_ptr<detail::Core> core_;
    std::shared_ptr<detail::Instance> inst_;
};

struct BusEvent {
    enum class Kind { Arrival, Departure };
    Kind kind = Kind::Arrival;
    std::shared_ptr<UsbDevice> device;
};
using BusListener = std::function<void(const BusEvent&)>;

struct BusOptions {
    std::uint32_t frameBase = 100000;  // frame number of the bus's first frame; not 0
    Time100ns reattachDelay = 100 * kUnitsPerMs;
    Time100ns reenumerateLeaveDelay = 1 * kUnitsPerMs;
    std::size_t maxQueuedInPackets = 4096;  // per IN endpoint, packets the host has not read
};

class Bus {
  public:
    explicit Bus(std::shared_ptr<Clock> clock, BusOptions options = {});
    // Waits for a bus task in progress, then completes every pending transfer as cancelled (in
    // this thread); devices and links go dead. Not to be called from inside a completion or a
    // listener of this bus.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    const std::shared_ptr<Clock>& clock() const;
    const BusOptions& options() const;

    std::uint32_t currentFrame() const;
    // Microframes since the bus was made.
    std::uint64_t currentMicroframe() const;
    // Clock time at which a frame (given by its number, at most 2^31 frames away) starts.
    Time100ns frameStartTime(std::uint32_t frame) const;

    // Plugs a device into a new port; it arrives at once.
    PortId attach(std::shared_ptr<Function> function);
    // Pulls the device out of its port (surprise removal).
    bool detach(PortId port);
    // Devices present now.
    std::vector<std::shared_ptr<UsbDevice>> devices() const;

    // Arrivals and departures, delivered one at a time and in order as passive-level tasks
    // on the clock. A listener added later does not hear of devices already present (use
    // devices()). removeListener waits for a call in progress unless it is made from a
    // listener itself.
    ListenerId addListener(BusListener listener);
    void removeListener(ListenerId id);

  private:
    std::shared_ptr<Clock> clock_;
    std::shared_ptr<detail::Core> core_;
};

}  // namespace standin::usb
