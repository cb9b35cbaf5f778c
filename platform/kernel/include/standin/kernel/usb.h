#pragma once
// A device object's USB hardware: the physical device of one enumeration of a device on the
// USB bus stand-in. A driver makes its USB target device (WdfUsbTargetDeviceCreate) on a device
// object whose physical device is one of these; request blocks sent to the device's default
// I/O target go to the bus.
//
// The bus must run on the machine clock (standin::kernel::machineClock()).

#include <cstddef>
#include <memory>

#include "standin/kernel/harness.h"
#include "standin/usb/bus.h"

namespace standin::kernel {

namespace usbfw {
struct Stack;
}

class UsbPhysicalDevice final : public PhysicalDevice {
  public:
    explicit UsbPhysicalDevice(std::shared_ptr<usb::UsbDevice> device);
    ~UsbPhysicalDevice() override;
    UsbPhysicalDevice(const UsbPhysicalDevice&) = delete;
    UsbPhysicalDevice& operator=(const UsbPhysicalDevice&) = delete;

    const std::shared_ptr<usb::UsbDevice>& usbDevice() const;
    // Serves the device's default I/O target: request blocks go to the bus.
    std::shared_ptr<IoTargetBackend> lowerTargetBackend() override;

    // Transfers that the framework has on the bus for this device now (request blocks, pipe
    // writes, continuous-reader reads).
    std::size_t transfersOnBus() const;

    const std::shared_ptr<usbfw::Stack>& stack() const { return stack_; }

  private:
    std::shared_ptr<usbfw::Stack> stack_;
};

std::shared_ptr<UsbPhysicalDevice> makeUsbPhysicalDevice(std::shared_ptr<usb::UsbDevice> device);

}  // namespace standin::kernel
