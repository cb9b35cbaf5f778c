#pragma once
// A machine on the manual clock for the driver's tests: a USB bus with a VQ36 model, the
// framework harness with the driver loaded, and helpers to open handles, send I/O controls and
// device messages, and hand the driver packets as its message reader would.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "driver.h"
#include "standin/clock.h"
#include "standin/kernel/caller_context.h"
#include "standin/kernel/harness.h"
#include "standin/kernel/machine.h"
#include "standin/kernel/memory.h"
#include "standin/kernel/usb.h"
#include "standin/usb/bus.h"
#include "standin/vq36/device.h"

namespace kerneltest {

using standin::kernel::FileId;
using standin::kernel::IoResult;
using Packet = std::array<UCHAR, 64>;

inline constexpr ULONG kTag = VQ36_POOL_TAG;

// A 64-byte packet as the device sends it: type or command byte, the magic, data.
inline Packet MakePacket(UCHAR first, std::initializer_list<UCHAR> data = {},
                         bool goodMagic = true) {
    Packet p{};
    p[0] = first;
    if (goodMagic) {
        p[1] = 0x13, p[2] = 0xB7, p[3] = 0x00, p[4] = 0x2E;
    } else {
        p[1] = 0x13, p[2] = 0xB7, p[3] = 0x00, p[4] = 0x2F;
    }
    size_t i = 5;
    for (UCHAR b : data) p[i++] = b;
    return p;
}

// A 32-bit little-endian payload word.
inline std::vector<UCHAR> U32(ULONG v) {
    std::vector<UCHAR> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

class KernelTest : public ::testing::Test {
protected:
    std::shared_ptr<standin::Clock> clock;
    std::unique_ptr<standin::usb::Bus> bus;
    std::unique_ptr<standin::kernel::FrameworkHarness> harness;
    std::shared_ptr<standin::vq36::Vq36Device> model;
    std::shared_ptr<standin::usb::UsbDevice> usbDevice;
    WDFDEVICE device = nullptr;
    standin::kernel::InProcessCallerContext caller{0x1234};

    void SetUp() override {
        clock = standin::makeManualClock(5 * standin::kUnitsPerSecond);
        standin::kernel::resetMachine(clock);
        bus = std::make_unique<standin::usb::Bus>(clock);
        harness = std::make_unique<standin::kernel::FrameworkHarness>();
        ASSERT_EQ(harness->loadDriver(DriverEntry), STATUS_SUCCESS);
    }

    void TearDown() override {
        harness.reset();
        bus.reset();
        clock->runDue();
    }

    // Plugs a VQ36 and adds its device object; does not start it.
    NTSTATUS plugAndAdd(standin::vq36::DeviceConfig config = {}) {
        model = std::make_shared<standin::vq36::Vq36Device>(std::move(config));
        bus->attach(model);
        clock->runDue();
        auto devices = bus->devices();
        if (devices.empty()) return STATUS_NO_SUCH_DEVICE;
        usbDevice = devices.back();
        return harness->addDevice(standin::kernel::makeUsbPhysicalDevice(usbDevice), &device);
    }

    // Plugs, adds and starts (prepare hardware and D0 entry).
    NTSTATUS plugAndStart(standin::vq36::DeviceConfig config = {}) {
        NTSTATUS status = plugAndAdd(std::move(config));
        if (!NT_SUCCESS(status)) return status;
        status = harness->startDevice(device);
        settle();
        return status;
    }

    // Lets the machine run for a while (packets travel, timers fire).
    void settle(double ms = 5) {
        clock->advance(static_cast<standin::Time100ns>(ms * standin::kUnitsPerMs));
    }

    DeviceContext* ctx() { return GetDeviceContext(device); }
    vq36::AsioInfo* info() { return ctx()->infoRecord; }

    FileId open() {
        FileId file = 0;
        EXPECT_EQ(harness->openFile(device, caller, &file), STATUS_SUCCESS);
        return file;
    }

    IoResult ioctl(FileId file, ULONG code, const void* in, ULONG inLen, void* out,
                   ULONG outLen) {
        return harness->deviceIoControl(file, caller, code, in, inLen, out, outLen);
    }

    // One device message through kIoCtlSendMessage; `reply` receives the 64 reply bytes.
    IoResult message(FileId file, ULONG number, ULONG op, std::vector<UCHAR> payload = {},
                     std::array<UCHAR, 64>* reply = nullptr) {
        vq36::DeviceMessage m{};
        m.message = number;
        m.op = op;
        if (!payload.empty()) {
            std::memcpy(m.payload, payload.data(), std::min<size_t>(payload.size(), 64));
        }
        std::array<UCHAR, 72> buffer{};
        std::memcpy(buffer.data(), &m, sizeof(m));
        IoResult r = ioctl(file, vq36::kIoCtlSendMessage, buffer.data(), 72, buffer.data(), 64);
        if (reply != nullptr) std::memcpy(reply->data(), buffer.data(), 64);
        return r;
    }

    // Initialises buffers for a handle with a fresh event; returns the status.
    IoResult initBuffers(FileId file, vq36::InitBuffersResult* result = nullptr,
                         HANDLE* eventHandle = nullptr) {
        events.push_back(std::make_unique<standin::kernel::UserEvent>());
        HANDLE h = caller.addEvent(events.back()->fd());
        if (eventHandle != nullptr) *eventHandle = h;
        ULONG in[2] = {static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(h)), 0};
        std::array<UCHAR, 36> out{};
        IoResult r = ioctl(file, vq36::kIoCtlInitBuffers, in, 8, out.data(), 36);
        if (result != nullptr) std::memcpy(result, out.data(), 36);
        return r;
    }

    // Hands the driver one packet as its message reader delivers it.
    void inject(const Packet& packet, size_t bytes = 64) {
        WDFMEMORY memory;
        PVOID buffer;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 'tset', 64, &memory,
                                  &buffer),
                  STATUS_SUCCESS);
        std::memcpy(buffer, packet.data(), 64);
        {
            standin::kernel::IrqlScope dispatch(DISPATCH_LEVEL);
            EvtMessageReadComplete(ctx()->messageInPipe, memory, bytes, ctx());
        }
        WdfObjectDelete(memory);
    }

    std::vector<std::unique_ptr<standin::kernel::UserEvent>> events;
};

}  // namespace kerneltest
