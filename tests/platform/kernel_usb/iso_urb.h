#pragma once
// A request of the test's own that carries an isochronous request block, and what its
// completion reported.

#include <atomic>
#include <cstring>
#include <vector>

#include "usb_test_driver.h"

struct UrbResult {
    std::atomic<bool> done{false};  // set last
    NTSTATUS status = STATUS_PENDING;
    WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat;
    const WDF_USB_REQUEST_COMPLETION_PARAMS* usb = nullptr;
    ULONG frame = 0;
    KIRQL irql = 0xFF;
    standin::Time100ns at = 0;
    standin::usb::Bus* bus = nullptr;
};

inline VOID EvtUrbComplete(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                           WDFCONTEXT context) {
    auto* r = static_cast<UrbResult*>(context);
    r->status = params->IoStatus.Status;
    r->type = params->Type;
    r->usb = params->Parameters.Usb.Completion;
    r->frame = r->bus->currentFrame();
    r->at = KeQueryInterruptTime();
    r->irql = KeGetCurrentIrql();
    r->done = true;
}

// A request with a request block of its own, `misalign` bytes into memory of `bytes` bytes.
// The test edits an aligned image of the block; store() and load() copy it to and from there.
class IsoUrb {
  public:
    IsoUrb(WDFUSBDEVICE usb, standin::usb::Bus* bus, std::size_t misalign = 0,
           std::size_t bytes = GET_ISO_URB_SIZE(400))
        : misalign_(misalign), bytes_(bytes), storage_(bytes + misalign) {
        result.bus = bus;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = usb;
        EXPECT_EQ(WdfRequestCreate(&attributes, WdfUsbTargetDeviceGetIoTarget(usb), &request),
                  STATUS_SUCCESS);
        attributes.ParentObject = request;
        EXPECT_EQ(
            WdfMemoryCreatePreallocated(&attributes, storage_.data(), storage_.size(), &memory),
            STATUS_SUCCESS);
    }
    ~IsoUrb() {
        if (request && (!sent_ || result.done)) WdfObjectDelete(request);
    }

    // `packets` packets of `packetBytes` at consecutive offsets.
    _URB_ISOCH_TRANSFER* build(WDFUSBPIPE pipe, ULONG flags, ULONG packets, ULONG packetBytes,
                               void* buffer, ULONG startFrame) {
        image_.assign(GET_ISO_URB_SIZE(400) / 8, 0);
        auto* u = urb();
        u->Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(packets));
        u->Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        u->PipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(pipe);
        u->TransferFlags = flags;
        u->TransferBuffer = buffer;
        u->TransferBufferLength = packets * packetBytes;
        u->StartFrame = startFrame;
        u->NumberOfPackets = packets;
        for (ULONG k = 0; k < packets; ++k) u->IsoPacket[k].Offset = k * packetBytes;
        store();
        return u;
    }
    _URB_ISOCH_TRANSFER* urb() { return reinterpret_cast<_URB_ISOCH_TRANSFER*>(image_.data()); }
    void store() { std::memcpy(storage_.data() + misalign_, image_.data(), bytes_); }
    _URB_ISOCH_TRANSFER* load() {
        std::memcpy(image_.data(), storage_.data() + misalign_, bytes_);
        return urb();
    }

    // Formats the request on `pipe` and sends it to `target` (time-out in ms; 0: none).
    bool send(WDFUSBPIPE pipe, WDFIOTARGET target, LONGLONG timeoutMs = 500) {
        WDFMEMORY_OFFSET offset = {misalign_, 0};
        EXPECT_EQ(WdfUsbTargetPipeFormatRequestForUrb(pipe, request, memory,
                                                      misalign_ ? &offset : nullptr),
                  STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(request, EvtUrbComplete, &result);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
        if (timeoutMs)
            WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(timeoutMs));
        sent_ = WdfRequestSend(request, target, &options) != FALSE;
        return sent_;
    }
    void reuse() {
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        EXPECT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
        result.done = false;
        result.status = STATUS_PENDING;
        result.usb = nullptr;
        sent_ = false;
    }

    WDFREQUEST request = nullptr;
    WDFMEMORY memory = nullptr;
    UrbResult result;

  private:
    std::size_t misalign_, bytes_;
    std::vector<std::uint8_t> storage_;
    std::vector<std::uint64_t> image_;
    bool sent_ = false;
};
