// Isochronous request blocks formatted on a pipe and sent to the device's default target (or
// the pipe's, or the USB target device's): timing, data, statuses, time-outs, malformed blocks.

#include <cstring>

#include "iso_urb.h"

using namespace standin;
using namespace standin::kernel;

namespace {

bool untouched(const std::vector<std::uint8_t>& data) {
    return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xAA; });
}

class UsbUrb : public UsbTest {
  protected:
    void SetUp() override {
        UsbTest::SetUp();
        usbHooks().configureReader = false;
        WDFDEVICE device = plug();
        ASSERT_NE(device, nullptr);
        ctx = context(device);
        lower = WdfDeviceGetIoTarget(device);
    }
    ULONG frameNow() {
        ULONG frame = 0;
        EXPECT_EQ(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(ctx->usb, &frame), STATUS_SUCCESS);
        return frame;
    }
    // Every packet holds 6 frames of the counting pattern, consecutive from the capture frame
    // of the start frame's first microframe.
    void expectCounting(const std::vector<std::uint8_t>& data, _URB_ISOCH_TRANSFER* u) {
        const std::uint64_t first =
            vq->captureFrameIndex(std::uint64_t{u->StartFrame - bus->options().frameBase} * 8);
        for (ULONG k = 0; k < u->NumberOfPackets; ++k) {
            ASSERT_EQ(u->IsoPacket[k].Length, 288u) << "packet " << k;
            EXPECT_EQ(u->IsoPacket[k].Status, USBD_STATUS_SUCCESS);
            for (unsigned s = 0; s < 6 * vq36::kCaptureChannels; ++s) {
                float v;
                std::memcpy(&v, data.data() + u->IsoPacket[k].Offset + s * 4, 4);
                auto pos = vq36::decodeCountingSample(v);
                ASSERT_TRUE(pos.has_value());
                ASSERT_EQ(pos->frameModulo, (first + k * 6 + s / 12) % (1u << 20));
                ASSERT_EQ(pos->channel, s % 12);
            }
        }
    }

    UsbTestContext* ctx = nullptr;
    WDFIOTARGET lower = nullptr;
};

TEST_F(UsbUrb, CaptureOnTheLowerTargetCompletesAfterItsLastFrameWithTheCountingPattern) {
    std::vector<std::uint8_t> data(24 * 336, 0xAA);
    IsoUrb u(ctx->usb, bus.get());
    const ULONG start = frameNow() + 2;
    u.build(ctx->capture, USBD_TRANSFER_DIRECTION_IN, 24, 336, data.data(), start);
    ASSERT_TRUE(u.send(ctx->capture, lower));
    runMs(4);
    EXPECT_FALSE(u.result.done);  // its last frame is start + 2
    runMs(10);
    ASSERT_TRUE(u.result.done);
    EXPECT_EQ(u.result.frame, start + 3);
    EXPECT_EQ(u.result.irql, DISPATCH_LEVEL);
    EXPECT_EQ(u.result.status, STATUS_SUCCESS);
    EXPECT_EQ(u.result.type, WdfRequestTypeUsb);
    ASSERT_NE(u.result.usb, nullptr);
    EXPECT_EQ(u.result.usb->UsbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(u.result.usb->Type, WdfUsbRequestTypePipeUrb);
    EXPECT_EQ(u.result.usb->Parameters.PipeUrb.Buffer, u.memory);
    auto* done = u.load();
    EXPECT_EQ(done->Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(done->ErrorCount, 0u);
    EXPECT_EQ(done->TransferBufferLength, 24u * 288);
    expectCounting(data, done);
    EXPECT_EQ(physicals.front()->transfersOnBus(), 0u);
}

TEST_F(UsbUrb, ThePipesAndTheUsbDevicesTargetsAndUnalignedBlocksWorkToo) {
    struct Way {
        WDFIOTARGET target;
        std::size_t misalign;  // 6: as a block behind 30 bytes of one-byte flags lies
    };
    const Way ways[] = {{WdfUsbTargetPipeGetIoTarget(ctx->capture), 0},
                        {WdfUsbTargetDeviceGetIoTarget(ctx->usb), 0},
                        {lower, 6}};
    for (const Way& way : ways) {
        std::vector<std::uint8_t> data(8 * 336);
        IsoUrb u(ctx->usb, bus.get(), way.misalign);
        u.build(ctx->capture, USBD_TRANSFER_DIRECTION_IN, 8, 336, data.data(), frameNow() + 1);
        ASSERT_TRUE(u.send(ctx->capture, way.target));
        runMs(5);
        ASSERT_TRUE(u.result.done);
        EXPECT_EQ(u.result.status, STATUS_SUCCESS);
        expectCounting(data, u.load());
    }
}

TEST_F(UsbUrb, ABadStartFrameFailsTheRequestAndTheBlockSaysWhy) {
    std::vector<std::uint8_t> data(24 * 336, 0xAA);
    IsoUrb u(ctx->usb, bus.get());
    u.build(ctx->capture, USBD_TRANSFER_DIRECTION_IN, 24, 336, data.data(), frameNow());
    ASSERT_TRUE(u.send(ctx->capture, lower));
    runMs(1);
    ASSERT_TRUE(u.result.done);
    EXPECT_FALSE(NT_SUCCESS(u.result.status));
    EXPECT_EQ(u.result.usb->UsbdStatus, USBD_STATUS_BAD_START_FRAME);
    auto* done = u.load();
    EXPECT_EQ(done->Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    EXPECT_EQ(done->IsoPacket[0].Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
    EXPECT_TRUE(untouched(data));
}

TEST_F(UsbUrb, PlaybackDataReachTheDevicesRecorder) {
    // 3 ms of 10-channel frames, 6 a packet, every sample different.
    std::vector<float> frames(24 * 6 * vq36::kPlaybackChannels);
    for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = 0.001f * static_cast<float>(i);
    IsoUrb u(ctx->usb, bus.get());
    u.build(ctx->playback, USBD_TRANSFER_DIRECTION_OUT, 24, 240, frames.data(), frameNow() + 2);
    ASSERT_TRUE(u.send(ctx->playback, lower));
    runMs(6);
    ASSERT_TRUE(u.result.done);
    EXPECT_EQ(u.result.status, STATUS_SUCCESS);
    auto* done = u.load();
    EXPECT_EQ(done->Hdr.Status, USBD_STATUS_SUCCESS);
    for (ULONG k = 0; k < 24; ++k) EXPECT_EQ(done->IsoPacket[k].Length, 240u);
    EXPECT_EQ(vq->recorder().samples(), frames);
}

TEST_F(UsbUrb, ATransferThatDoesNotFinishInTimeIsCancelledOnTheBus) {
    std::vector<std::uint8_t> data(24 * 336, 0xAA);
    IsoUrb u(ctx->usb, bus.get());
    // Far ahead, within the bus's window: the transfer would end 803 ms from now.
    u.build(ctx->capture, USBD_TRANSFER_DIRECTION_IN, 24, 336, data.data(), frameNow() + 800);
    const Time100ns sent = clock->now();
    ASSERT_TRUE(u.send(ctx->capture, lower, 500));
    runMs(600);
    ASSERT_TRUE(u.result.done);
    EXPECT_EQ(u.result.status, STATUS_IO_TIMEOUT);
    EXPECT_GE(u.result.at - sent, 500 * kUnitsPerMs);
    EXPECT_LT(u.result.at - sent, 550 * kUnitsPerMs);
    EXPECT_EQ(u.load()->Hdr.Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(physicals.front()->transfersOnBus(), 0u);
    runMs(300);  // past the frames it would have had
    EXPECT_TRUE(untouched(data));

    // A request the driver cancels itself.
    u.reuse();
    u.build(ctx->capture, USBD_TRANSFER_DIRECTION_IN, 8, 336, data.data(), frameNow() + 100);
    ASSERT_TRUE(u.send(ctx->capture, lower, 0));
    EXPECT_TRUE(WdfRequestCancelSentRequest(u.request));
    runMs(1);
    ASSERT_TRUE(u.result.done);
    EXPECT_EQ(u.result.status, STATUS_CANCELLED);
    EXPECT_EQ(physicals.front()->transfersOnBus(), 0u);
}

TEST_F(UsbUrb, StartAsSoonAsPossibleFollowsThePipesQueuedTransfers) {
    std::vector<std::uint8_t> first(8 * 336), second(8 * 336);
    IsoUrb a(ctx->usb, bus.get()), b(ctx->usb, bus.get());
    const ULONG flags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    a.build(ctx->capture, flags, 8, 336, first.data(), 0);
    b.build(ctx->capture, flags, 8, 336, second.data(), 0);
    const ULONG now = frameNow();
    ASSERT_TRUE(a.send(ctx->capture, lower) && b.send(ctx->capture, lower));
    runMs(5);
    ASSERT_TRUE(a.result.done && b.result.done);
    EXPECT_EQ(a.load()->StartFrame, now + 1);
    EXPECT_EQ(b.load()->StartFrame, now + 2);
    expectCounting(second, b.load());
}

TEST_F(UsbUrb, MalformedBlocksAreRefusedWithoutTouchingMemoryOutsideThem) {
    std::vector<std::uint8_t> data(24 * 336, 0xAA);
    const USBD_PIPE_HANDLE stale = WdfUsbTargetPipeWdmGetPipeHandle(ctx->capture);
    struct Case {
        const char* what;
        void (*spoil)(_URB_ISOCH_TRANSFER*);
        USBD_STATUS usbd;
        std::size_t memoryBytes;
    };
    const Case cases[] = {
        {"wrong function", [](_URB_ISOCH_TRANSFER* u) { u->Hdr.Function = 0x0009; },
         USBD_STATUS_INVALID_URB_FUNCTION, GET_ISO_URB_SIZE(400)},
        {"no packets", [](_URB_ISOCH_TRANSFER* u) { u->NumberOfPackets = 0; },
         USBD_STATUS_INVALID_PARAMETER, GET_ISO_URB_SIZE(400)},
        {"length below the packets' size",
         [](_URB_ISOCH_TRANSFER* u) { u->Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(23)); },
         USBD_STATUS_INVALID_PARAMETER, GET_ISO_URB_SIZE(400)},
        {"length beyond the memory", [](_URB_ISOCH_TRANSFER*) {}, USBD_STATUS_INVALID_PARAMETER,
         GET_ISO_URB_SIZE(2)},
        {"more packets than the memory holds",
         [](_URB_ISOCH_TRANSFER* u) { u->Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(2)); },
         USBD_STATUS_INVALID_PARAMETER, GET_ISO_URB_SIZE(2)},
        {"unknown pipe handle",
         [](_URB_ISOCH_TRANSFER* u) { u->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x1234); },
         USBD_STATUS_INVALID_PIPE_HANDLE, GET_ISO_URB_SIZE(400)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        IsoUrb u(ctx->usb, bus.get(), 0, c.memoryBytes);
        c.spoil(u.build(ctx->capture, USBD_TRANSFER_DIRECTION_IN, 24, 336, data.data(),
                        frameNow() + 2));
        u.store();
        ASSERT_TRUE(u.send(ctx->capture, lower));
        runMs(1);
        ASSERT_TRUE(u.result.done);
        EXPECT_EQ(u.result.status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(u.load()->Hdr.Status, c.usbd);
    }
    EXPECT_TRUE(untouched(data));

    // A pipe handle of an earlier selection names no pipe.
    WDFUSBINTERFACE capture = WdfUsbTargetDeviceGetInterface(ctx->usb, 2);
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS setting;
    WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 1);
    ASSERT_EQ(WdfUsbInterfaceSelectSetting(capture, nullptr, &setting), STATUS_SUCCESS);
    ctx->capture = WdfUsbInterfaceGetConfiguredPipe(capture, 0, nullptr);
    IsoUrb u(ctx->usb, bus.get());
    u.build(ctx->capture, USBD_TRANSFER_DIRECTION_IN, 8, 336, data.data(), frameNow() + 2)
        ->PipeHandle = stale;
    u.store();
    ASSERT_TRUE(u.send(ctx->capture, lower));
    runMs(1);
    EXPECT_EQ(u.load()->Hdr.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

}  // namespace
