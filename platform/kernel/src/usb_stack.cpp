// A device object's USB hardware: request blocks, pipe writes and pipe resets on their way to
// the bus, and the physical device that serves the device's default I/O target.

#include <cstring>

#include "usb_internal.h"

namespace standin::kernel::usbfw {
namespace {

constexpr std::size_t kHeaderStatus = offsetof(_URB_HEADER, Status);
constexpr std::size_t kFixedPart = offsetof(_URB_ISOCH_TRANSFER, IsoPacket);
constexpr std::size_t kTransferBufferLength = offsetof(_URB_ISOCH_TRANSFER, TransferBufferLength);
constexpr std::size_t kStartFrame = offsetof(_URB_ISOCH_TRANSFER, StartFrame);
constexpr std::size_t kErrorCount = offsetof(_URB_ISOCH_TRANSFER, ErrorCount);

// Request blocks live in driver memory of any alignment: they are read and written bytewise.
template <class T>
void put(std::uint8_t* base, std::size_t offset, T value) {
    std::memcpy(base + offset, &value, sizeof value);
}

std::uint32_t failedPackets(const std::uint8_t* area, std::uint32_t count) {
    std::uint32_t failed = 0;
    for (std::uint32_t p = 0; p < count; ++p) {
        usb::IsoPacket packet;
        std::memcpy(&packet, area + p * sizeof packet, sizeof packet);
        if (!usb::usbdSuccess(packet.status)) ++failed;
    }
    return failed;
}

// Hands the packets of a bounced block back to it.
void copyBack(Transfer& t) {
    if (!t.bounce.empty())
        std::memcpy(t.packetArea, t.bounce.data(), t.bounce.size() * sizeof(usb::IsoPacket));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
USBD_PIPE_HANDLE Stack::registerPipe(std::uint8_t endpoint) {
    // Pipe handles are tokens, never addresses: a stale or forged one is only looked up.
    static std::atomic<std::uintptr_t> next{0};
    std::uintptr_t value = 0x7E5B0000u + 0x10u * (next.fetch_add(1) + 1);
    std::lock_guard lk(mu);
    pipeHandles[value] = endpoint;
    return reinterpret_cast<USBD_PIPE_HANDLE>(value);
}

void Stack::unregisterPipe(USBD_PIPE_HANDLE handle) {
    std::lock_guard lk(mu);
    pipeHandles.erase(reinterpret_cast<std::uintptr_t>(handle));
}

std::size_t Stack::transfersOnBus() {
    std::lock_guard lk(mu);
    return transfers.size() + readerTransfers;
}

void Stack::submit(const std::shared_ptr<IoSubmission>& s) {
    RequestFormat* format = s->format();
    if (auto* urb = dynamic_cast<UrbFormat*>(format)) {
        submitUrb(s, *urb);
    } else if (auto* write = dynamic_cast<PipeWriteFormat*>(format);
               write && write->stack.get() == this) {
        submitWrite(s, *write);
    } else if (auto* reset = dynamic_cast<PipeResetFormat*>(format);
               reset && reset->stack.get() == this) {
        s->complete(toNt(device->resetPipe(reset->endpoint)), 0);
    } else {
        s->complete(STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

void Stack::submitUrb(const std::shared_ptr<IoSubmission>& s, UrbFormat& format) {
    // The memory object stays while the transfer is on the bus.
    wdf::Ref memory = wdf::find(format.memory);
    if (!memory || memory->kind != wdf::Kind::Memory || !memory->alive()) {
        s->complete(STATUS_INVALID_PARAMETER, 0);
        return;
    }
    std::size_t size = 0;
    auto* base = static_cast<std::uint8_t*>(WdfMemoryGetBuffer(format.memory, &size));
    if (!base || format.offset > size || size - format.offset < format.length ||
        format.length < sizeof(_URB_HEADER)) {
        s->complete(STATUS_INVALID_PARAMETER, 0);
        return;
    }
    std::uint8_t* urb = base + format.offset;
    const std::size_t room = format.length;

    auto reject = [&](NTSTATUS status, USBD_STATUS usbd) {
        put(urb, kHeaderStatus, usbd);
        format.completion = WDF_USB_REQUEST_COMPLETION_PARAMS{};
        format.completion.UsbdStatus = usbd;
        format.completion.Type = WdfUsbRequestTypePipeUrb;
        format.completion.Parameters.PipeUrb.Buffer = format.memory;
        s->complete(status, 0, &format.completion);
    };

    _URB_HEADER header;
    std::memcpy(&header, urb, sizeof header);
    if (header.Length > room || header.Length < sizeof(_URB_HEADER))
        return reject(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    if (header.Function != URB_FUNCTION_ISOCH_TRANSFER)
        return reject(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    if (header.Length < kFixedPart)
        return reject(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

    _URB_ISOCH_TRANSFER iso;
    std::memcpy(&iso, urb, kFixedPart);
    const std::uint32_t packets = iso.NumberOfPackets;
    if (packets == 0 || packets > usb::kMaxIsoPacketsHighSpeed ||
        GET_ISO_URB_SIZE(packets) > header.Length)
        return reject(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

    std::uint8_t endpoint = 0;
    bool knownPipe;
    {
        std::lock_guard lk(mu);
        auto it = pipeHandles.find(reinterpret_cast<std::uintptr_t>(iso.PipeHandle));
        knownPipe = it != pipeHandles.end();
        if (knownPipe) endpoint = it->second;
    }
    if (!knownPipe) return reject(STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);

    // The direction is the pipe's; the start frame is the block's, or for a start as soon as
    // possible the frame after the pipe's queued transfers (at the earliest the next frame).
    std::uint32_t start = iso.StartFrame;
    const bool highSpeed = device->speed() == usb::Speed::High;
    const std::uint32_t frames = highSpeed ? (packets + 7) / 8 : packets;
    {
        std::lock_guard lk(mu);
        if (iso.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
            std::uint32_t current = 0;
            if (usb::ntSuccess(device->currentFrameNumber(&current))) {
                start = current + 1;
                auto it = nextIsoFrame.find(endpoint);
                if (it != nextIsoFrame.end() && static_cast<std::int32_t>(it->second - start) > 0)
                    start = it->second;
            }
            put(urb, kStartFrame, start);
        }
        nextIsoFrame[endpoint] = start + frames;
    }

    auto t = std::make_shared<Transfer>();
    t->submission = s;
    t->format = &format;
    t->urb = urb;
    t->packetCount = packets;
    t->packetArea = urb + kFixedPart;
    t->memory = std::move(memory);
    if (reinterpret_cast<std::uintptr_t>(t->packetArea) % alignof(usb::IsoPacket) == 0) {
        t->packets = reinterpret_cast<usb::IsoPacket*>(t->packetArea);
    } else {
        t->bounce.resize(packets);
        std::memcpy(t->bounce.data(), t->packetArea, packets * sizeof(usb::IsoPacket));
        t->packets = t->bounce.data();
    }
    {
        std::lock_guard lk(mu);
        transfers[s.get()] = t;
    }

    usb::IsoTransfer x;
    x.endpoint = endpoint;
    x.startFrame = start;
    x.buffer = static_cast<std::uint8_t*>(iso.TransferBuffer);
    x.bufferLength = iso.TransferBufferLength;
    x.packets = t->packets;
    x.packetCount = packets;
    x.completion = [self = shared_from_this(), t](const usb::TransferResult& r) {
        self->urbDone(t, r);
    };
    usb::TransferId id = device->submitIso(std::move(x));
    {
        std::lock_guard lk(t->mu);
        t->submitting = false;
        t->id = id;
    }
    t->cv.notify_all();
}

void Stack::urbDone(const std::shared_ptr<Transfer>& t, const usb::TransferResult& r) {
    bool deliver;
    {
        std::lock_guard lk(t->mu);
        if (!t->written && !t->released) {
            copyBack(*t);
            put(t->urb, kHeaderStatus, static_cast<USBD_STATUS>(r.usbdStatus));
            put(t->urb, kErrorCount, static_cast<ULONG>(r.errorCount));
            put(t->urb, kTransferBufferLength, static_cast<ULONG>(r.bytesTransferred));
            t->written = true;
        }
        deliver = !t->abandoned;
    }
    if (deliver) {
        UrbFormat& f = *t->format;
        f.completion = WDF_USB_REQUEST_COMPLETION_PARAMS{};
        f.completion.UsbdStatus = static_cast<USBD_STATUS>(r.usbdStatus);
        f.completion.Type = WdfUsbRequestTypePipeUrb;
        f.completion.Parameters.PipeUrb.Buffer = f.memory;
        t->submission->complete(toNt(r.status), 0, &f.completion);
    }
    forget(t);
}

void Stack::submitWrite(const std::shared_ptr<IoSubmission>& s, const PipeWriteFormat& format) {
    auto t = std::make_shared<Transfer>();
    t->submission = s;
    {
        std::lock_guard lk(mu);
        transfers[s.get()] = t;
    }
    usb::MessageTransfer x;
    x.endpoint = format.endpoint;
    x.buffer = format.buffer;
    x.length = format.length;
    x.completion = [self = shared_from_this(), t](const usb::TransferResult& r) {
        self->writeDone(t, r);
    };
    usb::TransferId id = device->submitMessage(std::move(x));
    {
        std::lock_guard lk(t->mu);
        t->submitting = false;
        t->id = id;
    }
    t->cv.notify_all();
}

void Stack::writeDone(const std::shared_ptr<Transfer>& t, const usb::TransferResult& r) {
    bool deliver;
    {
        std::lock_guard lk(t->mu);
        t->written = true;
        deliver = !t->abandoned;
    }
    if (deliver) t->submission->complete(toNt(r.status), r.bytesTransferred);
    forget(t);
}

void Stack::forget(const std::shared_ptr<Transfer>& t) {
    {
        std::lock_guard lk(mu);
        auto it = transfers.find(t->submission.get());
        if (it != transfers.end() && it->second == t) transfers.erase(it);
    }
    // The memory object may go now (outside the locks: its destruction runs callbacks).
    wdf::Ref memory;
    {
        std::lock_guard lk(t->mu);
        memory = std::move(t->memory);
    }
}

void Stack::cancel(const std::shared_ptr<IoSubmission>& s) {
    std::shared_ptr<Transfer> t;
    {
        std::lock_guard lk(mu);
        auto it = transfers.find(s.get());
        if (it == transfers.end()) return;
        t = it->second;
    }
    std::unique_lock lk(t->mu);
    t->abandoned = true;
    t->cv.wait(lk, [&] { return !t->submitting; });
    if (t->written) {
        t->released = true;
        return;
    }
    usb::TransferId id = t->id;
    lk.unlock();
    // Once the bus has let go of the transfer it touches neither its buffer nor its packets.
    if (id) device->cancel(id);
    lk.lock();
    if (!t->written && t->urb) {
        copyBack(*t);
        put(t->urb, kHeaderStatus, USBD_STATUS_CANCELED);
        put(t->urb, kErrorCount, failedPackets(t->packetArea, t->packetCount));
        t->written = true;
    }
    t->released = true;
}

// ---------------------------------------------------------------------------------------------
NTSTATUS Backend::start() {
    if (auto r = reader()) r->start();
    return STATUS_SUCCESS;
}

void Backend::stop() {
    if (auto r = reader()) r->stop();
}

void Backend::setReader(std::shared_ptr<Reader> reader) {
    std::lock_guard lk(mu_);
    reader_ = std::move(reader);
}

std::shared_ptr<Reader> Backend::reader() {
    std::lock_guard lk(mu_);
    return reader_;
}

void UsbDeviceExt::onDelete() {
    std::lock_guard lk(stack->mu);
    stack->hasTargetDevice = false;
}

void PipeExt::onDelete() {
    stack->unregisterPipe(pipeHandle);
    if (auto r = backend->reader()) r->shutdown();
}

}  // namespace standin::kernel::usbfw

// ---------------------------------------------------------------------------------------------
namespace standin::kernel {

UsbPhysicalDevice::UsbPhysicalDevice(std::shared_ptr<usb::UsbDevice> device)
    : stack_(std::make_shared<usbfw::Stack>(std::move(device))) {}

UsbPhysicalDevice::~UsbPhysicalDevice() = default;

const std::shared_ptr<usb::UsbDevice>& UsbPhysicalDevice::usbDevice() const {
    return stack_->device;
}

std::shared_ptr<IoTargetBackend> UsbPhysicalDevice::lowerTargetBackend() {
    return std::make_shared<usbfw::Backend>(stack_);
}

std::size_t UsbPhysicalDevice::transfersOnBus() const {
    return stack_->transfersOnBus();
}

std::shared_ptr<UsbPhysicalDevice> makeUsbPhysicalDevice(std::shared_ptr<usb::UsbDevice> device) {
    return std::make_shared<UsbPhysicalDevice>(std::move(device));
}

}  // namespace standin::kernel
