// The message pipes: synchronous writes and resets, the continuous reader on the IN pipe and
// its recovery, and the frame number.

#include <cstring>

#include "standin/kernel/memory.h"
#include "usb_test_driver.h"

using namespace standin;
using namespace standin::kernel;

namespace {

std::vector<std::uint8_t> command(std::uint8_t code, std::uint8_t data0 = 0) {
    std::vector<std::uint8_t> p(64, 0);
    p[0] = code;
    std::memcpy(p.data() + 1, "\x13\xB7\x00\x2E", 4);
    p[5] = data0;
    return p;
}

class UsbMessages : public UsbTest {
  protected:
    // Plugs and starts the device (after the test has set its hooks).
    void start() {
        device = plug();
        ASSERT_NE(device, nullptr);
        ctx = context(device);
    }
    NTSTATUS write(const std::vector<std::uint8_t>& packet, ULONG* written) {
        WDF_MEMORY_DESCRIPTOR d;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&d, const_cast<std::uint8_t*>(packet.data()),
                                          static_cast<ULONG>(packet.size()));
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(100));
        return WdfUsbTargetPipeWriteSynchronously(ctx->messageOut, WDF_NO_HANDLE, &options, &d,
                                                  written);
    }
    WDFIOTARGET readerTarget() { return WdfUsbTargetPipeGetIoTarget(ctx->messageIn); }
    std::size_t onBus() { return physicals.front()->transfersOnBus(); }
    // Makes the pending reads fail: reselecting the interface's setting on the bus cancels
    // them under the framework's feet.
    void failReads() {
        ASSERT_EQ(physicals.front()->usbDevice()->selectInterfaceSetting(3, 0),
                  usb::kStatusSuccess);
        runMs(1);
    }

    WDFDEVICE device = nullptr;
    UsbTestContext* ctx = nullptr;
};

TEST_F(UsbMessages, WritesReachTheDeviceOrFailWithItsStatusOrTheirTimeOut) {
    start();
    ULONG written = 0;
    auto packet = command(vq36::kCmdPowerUp, 1);
    ASSERT_EQ(write(packet, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 64u);
    ASSERT_EQ(vq->commands().size(), 1u);
    EXPECT_EQ(vq->commands()[0].bytes, packet);

    vq->failCommandWrites(1, usb::kStatusInvalidParameter);
    EXPECT_EQ(write(packet, &written), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(written, 0u);
    WDF_MEMORY_DESCRIPTOR d;
    WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&d, packet.data(), 64);
    EXPECT_EQ(WdfUsbTargetPipeWriteSynchronously(ctx->messageIn, nullptr, nullptr, &d, &written),
              STATUS_INVALID_DEVICE_REQUEST);  // not an OUT pipe

    // 200 KB take 3,125 microframes: the 100 ms time-out comes first and the rest is dropped.
    vq->clearCommands();
    const Time100ns before = clock->now();
    EXPECT_EQ(write(std::vector<std::uint8_t>(200000), &written), STATUS_IO_TIMEOUT);
    EXPECT_GE(clock->now() - before, 100 * kUnitsPerMs);
    EXPECT_LT(clock->now() - before, 150 * kUnitsPerMs);
    const std::size_t taken = vq->commands().size();
    EXPECT_GT(taken, 0u);
    runMs(300);
    EXPECT_EQ(vq->commands().size(), taken);
    EXPECT_EQ(onBus(), 15u);  // the reads only
}

TEST_F(UsbMessages, FrameNumbersFollowTheBusAndEverythingFailsOnceTheDeviceIsGone) {
    start();
    ULONG first = 0, later = 0;
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(ctx->usb, &first), STATUS_SUCCESS);
    EXPECT_EQ(first, bus->currentFrame());
    runMs(5);
    ASSERT_EQ(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(ctx->usb, &later), STATUS_SUCCESS);
    EXPECT_EQ(later, first + 5);
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(ctx->capture, WDF_NO_HANDLE, nullptr),
              STATUS_SUCCESS);

    ASSERT_TRUE(vq->unplug());
    runMs(1);
    ULONG written = 7;
    EXPECT_EQ(write(command(0x36), &written), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(ctx->capture, WDF_NO_HANDLE, nullptr),
              STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(ctx->usb, &later),
              STATUS_NO_SUCH_DEVICE);
    harness->surpriseRemoveDevice(device);
}

TEST_F(UsbMessages, SynchronousCallsAtDispatchLevelAreBugChecks) {
    start();
    BugCheckRecorder checks;
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        ULONG written = 0;
        EXPECT_FALSE(NT_SUCCESS(write(command(0x36), &written)));
        EXPECT_FALSE(
            NT_SUCCESS(WdfUsbTargetPipeResetSynchronously(ctx->capture, nullptr, nullptr)));
        EXPECT_FALSE(NT_SUCCESS(WdfUsbTargetDeviceCyclePortSynchronously(ctx->usb)));
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
        EXPECT_FALSE(NT_SUCCESS(WdfUsbTargetDeviceSelectConfig(ctx->usb, nullptr, &params)));
    }
    EXPECT_EQ(checks.count(kBugCheckIrqlNotLessOrEqual), 4u);
    EXPECT_TRUE(vq->commands().empty());
    EXPECT_TRUE(physicals.front()->usbDevice()->configured());
}

TEST_F(UsbMessages, TheReaderDeliversRepliesAndUnsolicitedPacketsInOrder) {
    start();
    EXPECT_EQ(onBus(), 15u);
    ULONG written = 0;
    ASSERT_EQ(write(command(vq36::kCmdDeviceWord), &written), STATUS_SUCCESS);
    ASSERT_TRUE(vq->moveControl(5, 100));
    ASSERT_TRUE(vq->setPortState(1, true));
    runMs(5);
    auto reads = usbHooks().takeReads();
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0].bytes[0], vq36::kCmdDeviceWord);
    EXPECT_EQ(reads[0].bytes[5], 0x02);  // the device word, little-endian
    EXPECT_EQ(reads[1].bytes[0], vq36::kPacketControl);
    EXPECT_EQ(reads[2].bytes[0], vq36::kPacketPortSet);
    for (const auto& r : reads) {
        EXPECT_EQ(r.bytes.size(), 64u);
        EXPECT_EQ(r.irql, DISPATCH_LEVEL);
    }
    EXPECT_NE(reads[0].buffer, reads[1].buffer);  // each read has its own memory object
    EXPECT_EQ(onBus(), 15u);                      // every read is pending again
}

TEST_F(UsbMessages, TheReaderRunsOnlyWhileItsTargetIsStarted) {
    start();
    WdfIoTargetStop(readerTarget(), WdfIoTargetCancelSentIo);
    EXPECT_EQ(onBus(), 0u);
    ASSERT_TRUE(vq->moveControl(1, 1));
    ASSERT_TRUE(vq->moveControl(2, 2));
    runMs(10);
    EXPECT_TRUE(usbHooks().takeReads().empty());

    ASSERT_EQ(WdfIoTargetStart(readerTarget()), STATUS_SUCCESS);
    EXPECT_EQ(onBus(), 15u);
    runMs(5);
    auto reads = usbHooks().takeReads();
    ASSERT_EQ(reads.size(), 2u);      // what the device queued meanwhile, in order
    EXPECT_EQ(reads[0].bytes[7], 1);  // B0 control value
    EXPECT_EQ(reads[1].bytes[7], 2);

    // The driver's D0 exit stops it, its D0 entry starts it again.
    ASSERT_EQ(harness->suspendDevice(device), STATUS_SUCCESS);
    EXPECT_EQ(onBus(), 0u);
    ASSERT_EQ(harness->resumeDevice(device), STATUS_SUCCESS);
    ASSERT_TRUE(vq->moveControl(3, 3));
    runMs(5);
    EXPECT_EQ(usbHooks().takeReads().size(), 1u);
}

TEST_F(UsbMessages, WithoutAReadersFailedCallbackTheFrameworkResetsAndRestarts) {
    start();
    failReads();
    EXPECT_EQ(onBus(), 15u);
    ASSERT_TRUE(vq->moveControl(4, 44));
    // A read whose memory object cannot be made fails too.
    pool::failNextAllocations(1);
    ASSERT_TRUE(vq->moveControl(5, 55));
    runMs(5);
    auto reads = usbHooks().takeReads();
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].bytes[7], 4);
    EXPECT_EQ(reads[1].bytes[7], 5);
    EXPECT_EQ(onBus(), 15u);
}

TEST_F(UsbMessages, AReadersFailedCallbackRunsAtPassiveLevelAndCanKeepTheReaderStopped) {
    usbHooks().readersFailed = CountingReadersFailed;
    usbHooks().readersFailedAnswer = false;
    start();
    failReads();
    EXPECT_EQ(usbHooks().readersFailedCalls, 1);  // once for all the reads
    EXPECT_EQ(usbHooks().readersFailedStatus, STATUS_CANCELLED);
    EXPECT_EQ(usbHooks().readersFailedIrql, PASSIVE_LEVEL);
    EXPECT_EQ(onBus(), 0u);
    ASSERT_TRUE(vq->moveControl(6, 6));
    runMs(5);
    EXPECT_TRUE(usbHooks().takeReads().empty());

    WdfIoTargetStop(readerTarget(), WdfIoTargetCancelSentIo);  // a new start runs it again
    ASSERT_EQ(WdfIoTargetStart(readerTarget()), STATUS_SUCCESS);
    runMs(5);
    EXPECT_EQ(usbHooks().takeReads().size(), 1u);
}

TEST_F(UsbMessages, WhenTheDeviceIsGoneTheReaderStopsWithoutSpinning) {
    usbHooks().readersFailed = CountingReadersFailed;
    start();
    ASSERT_TRUE(vq->unplug());
    runMs(100);
    EXPECT_EQ(usbHooks().readersFailedCalls, 1);
    EXPECT_EQ(usbHooks().readersFailedStatus, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(onBus(), 0u);
    EXPECT_LT(clock->pendingTasks(), 4u);
    harness->surpriseRemoveDevice(device);
}

}  // namespace
