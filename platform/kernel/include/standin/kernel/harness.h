#pragma once
// The framework harness: plays the Plug and Play manager and the I/O manager for one driver.
// It loads the driver, adds devices for physical devices, starts, suspends, resumes and
// removes them, opens and closes file objects and sends I/O controls on them.
//
// Works with both clocks. On the manual clock requests queued by the driver run as passive
// tasks of the clock, so a call such as deviceIoControl runs them in the calling thread while
// it waits.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "knt/knt.h"
#include "standin/clock.h"
#include "standin/kernel/caller_context.h"
#include "standin/kernel/io_target.h"

namespace standin::kernel {

// What a device object stands for. The layers above use it to find the hardware behind a
// device object (the USB layer finds its USB device).
class PhysicalDevice {
  public:
    virtual ~PhysicalDevice() = default;
    // Serves the device's default (lower) I/O target; null gives a target that fails every
    // request with STATUS_INVALID_DEVICE_REQUEST.
    virtual std::shared_ptr<IoTargetBackend> lowerTargetBackend() { return nullptr; }
};

// The physical device behind a device object (null when none).
std::shared_ptr<PhysicalDevice> physicalDeviceOf(WDFDEVICE device);

struct IoResult {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};

enum class DeviceState {
    Added,     // EvtDeviceAdd succeeded; not started
    Working,   // hardware prepared, in D0
    LowPower,  // hardware prepared, out of D0
    Failed,    // start failed; the device is torn down like a removed one
    Removed,   // removed; the object lives until its last file object is closed
};

struct DeviceInterface {
    GUID classGuid{};
    std::u16string referenceString;
    bool enabled = false;
};

using FileId = std::uint64_t;

class FrameworkHarness {
  public:
    // `serviceName` names the driver; the framework's default pool tag is its first four
    // characters.
    explicit FrameworkHarness(std::string serviceName = "Vq36Kernel");
    // Removes every device, closes every file object and unloads the driver.
    ~FrameworkHarness();
    FrameworkHarness(const FrameworkHarness&) = delete;
    FrameworkHarness& operator=(const FrameworkHarness&) = delete;

    // Calls the driver's entry point with a driver object and its registry path.
    NTSTATUS loadDriver(PDRIVER_INITIALIZE driverEntry);
    // Removes what is left and deletes the driver object (EvtDriverUnload runs first).
    void unloadDriver();
    WDFDRIVER driver() const;

    // Plug and Play. addDevice runs EvtDeviceAdd; on success *device receives the device.
    NTSTATUS addDevice(std::shared_ptr<PhysicalDevice> physical, WDFDEVICE* device);
    // Prepares the hardware and enters D0. A failure leaves the device Failed (and released).
    NTSTATUS startDevice(WDFDEVICE device);
    // Leaves D0 for D3 (the machine sleeps) and enters D0 again (it wakes).
    NTSTATUS suspendDevice(WDFDEVICE device);
    NTSTATUS resumeDevice(WDFDEVICE device);
    // The device is gone (surprise) or removed in order. Both leave D0, stop the queues and
    // release the hardware; the object is deleted once no file object is open on it.
    void surpriseRemoveDevice(WDFDEVICE device);
    void removeDevice(WDFDEVICE device);

    std::vector<WDFDEVICE> devices() const;  // device objects that still exist
    bool deviceExists(WDFDEVICE device) const;
    DeviceState deviceState(WDFDEVICE device) const;
    std::vector<DeviceInterface> deviceInterfaces(WDFDEVICE device) const;
    WDF_DEVICE_PNP_CAPABILITIES pnpCapabilities(WDFDEVICE device) const;

    // I/O manager. openFile runs EvtDeviceFileCreate in the caller's context.
    NTSTATUS openFile(WDFDEVICE device, CallerContext& caller, FileId* file);
    // Runs EvtFileCleanup in the caller's context; the file object is deleted (close callback,
    // context destroy callbacks) once no request on it is left.
    void closeFile(FileId file, CallerContext& caller);
    std::size_t openFiles(WDFDEVICE device) const;
    WDFFILEOBJECT fileObject(FileId file) const;

    // A METHOD_BUFFERED I/O control: one system buffer of max(in, out) bytes holding the
    // input; EvtIoInCallerContext runs in the calling thread with the caller context set (or
    // the request goes to the default queue); returns once the request is completed, with the
    // reply copied to `output` (not for an error status).
    IoResult deviceIoControl(FileId file, CallerContext& caller, ULONG ioControlCode,
                             const void* input, ULONG inputLength, void* output,
                             ULONG outputLength);

    // Longest a harness call waits for the driver to complete a request (machine time). A
    // request not completed by then is a bug check.
    void setRequestWaitLimit(Time100ns limit);

  private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace standin::kernel
