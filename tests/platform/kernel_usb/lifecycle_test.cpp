// Port cycling, a device that goes away with requests pending, stops and unloads with I/O in
// flight (nothing may be left behind), and the real clock.

#include <functional>

#include "iso_urb.h"
#include "standin/kernel/memory.h"

using namespace standin;
using namespace standin::kernel;

namespace {

class UsbLifecycle : public UsbTest {
  protected:
    // Sends a 1 ms capture block starting `lead` frames from now to the default target.
    void sendCapture(IsoUrb& u, WDFDEVICE device, ULONG lead) {
        auto* ctx = context(device);
        ULONG frame = 0;
        ASSERT_EQ(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(ctx->usb, &frame), STATUS_SUCCESS);
        u.build(ctx->capture, USBD_TRANSFER_DIRECTION_IN, 8, 336, data.data(), frame + lead);
        ASSERT_TRUE(u.send(ctx->capture, WdfDeviceGetIoTarget(device), 0));
    }
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(8 * 336, 0xAA);
};

TEST_F(UsbLifecycle, ACycledPortMakesTheDeviceLeaveAndArriveAgain) {
    std::vector<usb::BusEvent> events;
    bus->addListener([&](const usb::BusEvent& e) { events.push_back(e); });
    WDFDEVICE device = plug();
    ASSERT_NE(device, nullptr);
    auto old = physicals.front()->usbDevice();
    clock->runDue();
    events.clear();  // the first arrival
    ASSERT_EQ(WdfUsbTargetDeviceCyclePortSynchronously(context(device)->usb), STATUS_SUCCESS);
    runMs(1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, usb::BusEvent::Kind::Departure);
    EXPECT_EQ(events[0].device, old);
    EXPECT_EQ(physicals.front()->transfersOnBus(), 0u);  // the reads failed and stopped

    // Whoever listens to the bus removes the old device object and adds one for the new device.
    harness->surpriseRemoveDevice(device);
    runMs(150);
    ASSERT_EQ(events.size(), 2u);
    ASSERT_EQ(events[1].kind, usb::BusEvent::Kind::Arrival);
    EXPECT_NE(events[1].device->id(), old->id());
    WDFDEVICE again = add(events[1].device);
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(vq->moveControl(1, 1));
    runMs(5);
    EXPECT_EQ(usbHooks().takeReads().size(), 1u);
}

TEST_F(UsbLifecycle, ARemovedDevicesPendingRequestsComplete) {
    WDFDEVICE device = plug();
    ASSERT_NE(device, nullptr);
    IsoUrb capture(context(device)->usb, bus.get());
    sendCapture(capture, device, 200);
    runMs(5);
    EXPECT_FALSE(capture.result.done);
    EXPECT_EQ(physicals.front()->transfersOnBus(), 16u);  // the block and the 15 reads

    ASSERT_TRUE(bus->detach(port));
    runMs(1);
    ASSERT_TRUE(capture.result.done);
    EXPECT_EQ(capture.result.status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(capture.load()->Hdr.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(physicals.front()->transfersOnBus(), 0u);
    harness->surpriseRemoveDevice(device);
    EXPECT_FALSE(harness->deviceExists(device));
    capture.request = nullptr;  // deleted with the device
}

TEST_F(UsbLifecycle, AStopWaitsForACompletionAlreadyOnItsWay) {
    WDFDEVICE device = plug();
    ASSERT_NE(device, nullptr);
    IsoUrb refused(context(device)->usb, bus.get());
    sendCapture(refused, device, 0);  // the frame in progress: refused at once
    // Stopping the reader runs the bus's completions, the refused block's among them; the
    // block's completion routine is still to run.
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(context(device)->messageIn),
                    WdfIoTargetCancelSentIo);
    ASSERT_FALSE(refused.result.done);
    WdfIoTargetStop(WdfDeviceGetIoTarget(device), WdfIoTargetCancelSentIo);
    EXPECT_TRUE(refused.result.done);
    EXPECT_EQ(refused.load()->Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    EXPECT_EQ(WdfIoTargetStart(WdfDeviceGetIoTarget(device)), STATUS_SUCCESS);
}

TEST_F(UsbLifecycle, UnloadingWithIoInFlightLeavesNothingBehind) {
    const ULONG tag = pool::tagFromText("Vq36");
    WDFDEVICE device = plug();
    ASSERT_NE(device, nullptr);
    {
        IsoUrb capture(context(device)->usb, bus.get());
        sendCapture(capture, device, 300);
        runMs(2);
        EXPECT_GT(pool::outstanding(tag).allocations, 0u);
        harness->unloadDriver();
        EXPECT_TRUE(capture.result.done);
        EXPECT_EQ(capture.result.status, STATUS_CANCELLED);
        capture.request = nullptr;  // deleted with the device
    }
    EXPECT_EQ(pool::outstanding(tag).allocations, 0u);
    EXPECT_EQ(physicals.front()->transfersOnBus(), 0u);
    EXPECT_FALSE(physicals.front()->usbDevice()->configured());
    runMs(400);  // the frames the block would have had pass without a write into its buffer
    EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xAA; }));
}

TEST_F(UsbLifecycle, OnTheRealClockCompletionsAndReadsArriveFromTheMachinesThreads) {
    harness.reset();
    bus.reset();
    resetMachine(makeRealClock());
    clock = machineClock();
    bus = std::make_unique<usb::Bus>(clock);
    harness = std::make_unique<FrameworkHarness>("Vq36Kernel");
    ASSERT_EQ(harness->loadDriver(UsbTestDriverEntry), STATUS_SUCCESS);
    WDFDEVICE device = plug();
    ASSERT_NE(device, nullptr);
    auto waitFor = [&](const std::function<bool()>& ready) {
        const Time100ns deadline = clock->now() + 5 * kUnitsPerSecond;
        while (!ready() && clock->now() < deadline) runMs(1);
        return ready();
    };
    IsoUrb capture(context(device)->usb, bus.get());
    sendCapture(capture, device, 20);
    ASSERT_TRUE(waitFor([&] { return capture.result.done.load(); }));
    EXPECT_EQ(capture.result.status, STATUS_SUCCESS);
    EXPECT_EQ(capture.load()->Hdr.Status, USBD_STATUS_SUCCESS);

    for (std::uint8_t c = 0; c < 20; ++c) ASSERT_TRUE(vq->moveControl(c, c));
    ASSERT_TRUE(waitFor([] {
        std::lock_guard lk(usbHooks().mu);
        return usbHooks().reads.size() == 20;
    }));
    std::vector<bool> seen(20, false);  // none lost, whatever the order of delivery
    for (const auto& r : usbHooks().takeReads()) seen.at(r.bytes.at(7)) = true;
    EXPECT_TRUE(std::all_of(seen.begin(), seen.end(), [](bool b) { return b; }));
}

}  // namespace
