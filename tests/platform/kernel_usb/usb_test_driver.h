#pragma once
// A small USB driver for the tests of the framework's USB objects, and the fixture that gives
// each test a fresh machine on the manual clock with a USB bus and VQ36 devices.
//
// The driver makes its USB target device in prepare; unless told otherwise it selects the
// VQ36's normal configuration (interfaces 1 and 2 at setting 1, the others at 0), takes the four
// pipes and configures a continuous reader on the message IN pipe, which runs from D0 entry to
// D0 exit. Its release stops the USB target device and deconfigures.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "knt/knt.h"
#include "standin/kernel/harness.h"
#include "standin/kernel/machine.h"
#include "standin/kernel/usb.h"
#include "standin/usb/bus.h"
#include "standin/vq36/device.h"

struct UsbTestContext {
    WDFUSBDEVICE usb;
    WDFUSBPIPE capture;
    WDFUSBPIPE playback;
    WDFUSBPIPE messageIn;
    WDFUSBPIPE messageOut;
    UCHAR readerConfigured;
    UCHAR readerStarted;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(UsbTestContext, GetUsbTestContext)

struct ReadRecord {
    std::vector<std::uint8_t> bytes;
    KIRQL irql = 0xFF;
    WDFMEMORY buffer = nullptr;
};

struct UsbDriverHooks {
    // Set by a test before its device starts.
    bool selectNormal = true;
    bool configureReader = true;
    PFN_WDF_USB_READERS_FAILED readersFailed = nullptr;
    bool readersFailedAnswer = true;

    std::mutex mu;
    std::vector<ReadRecord> reads;
    std::atomic<int> readersFailedCalls{0};
    std::atomic<NTSTATUS> readersFailedStatus{0};
    std::atomic<KIRQL> readersFailedIrql{0xFF};

    std::vector<ReadRecord> takeReads() {
        std::lock_guard lk(mu);
        return std::exchange(reads, {});
    }
};

UsbDriverHooks& usbHooks();
NTSTATUS UsbTestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
// A readers-failed callback that counts its calls and answers usbHooks().readersFailedAnswer.
EVT_WDF_USB_READERS_FAILED CountingReadersFailed;

class UsbTest : public ::testing::Test {
  protected:
    void SetUp() override;
    // Removes every device and unloads the driver, then checks that no pool and no transfer
    // is left behind.
    void TearDown() override;

    // Plugs a VQ36 into the bus and adds its device object, started unless told otherwise.
    WDFDEVICE plug(standin::vq36::DeviceConfig config = {}, bool start = true);
    // Adds (and starts) a device object for a device already on the bus.
    WDFDEVICE add(std::shared_ptr<standin::usb::UsbDevice> device, bool start = true);

    void run(standin::Time100ns delta) { clock->advance(delta); }
    void runMs(std::uint64_t ms) { run(ms * standin::kUnitsPerMs); }
    UsbTestContext* context(WDFDEVICE device) { return GetUsbTestContext(device); }

    std::shared_ptr<standin::Clock> clock;
    std::unique_ptr<standin::usb::Bus> bus;
    std::unique_ptr<standin::kernel::FrameworkHarness> harness;
    std::shared_ptr<standin::vq36::Vq36Device> vq;
    standin::usb::PortId port = 0;
    std::vector<std::shared_ptr<standin::kernel::UsbPhysicalDevice>> physicals;
};
