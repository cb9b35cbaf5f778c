// The driver object, device initialisation, the device object and file objects.

#include <cstring>
#include <map>

#include "standin/sync.h"
#include "standin/kernel/memory.h"
#include "wdf_internal.h"

namespace standin::kernel::wdf {
namespace {

struct DriverSlot {
    std::string serviceName;
    Driver* driver = nullptr;
};

struct DriverRegistry {
    standin::Mutex mu;
    std::map<PDRIVER_OBJECT, DriverSlot> slots;
};

DriverRegistry& registry() {
    static DriverRegistry* r = new DriverRegistry;
    return *r;
}

bool usableInit(PWDFDEVICE_INIT init, const char* caller) {
    if (init && !init->created) return true;
    detail::bugCheck(kBugCheckWdfViolation,
                     std::string(caller) +
                         " with a device initialisation record that is null or "
                         "already used by WdfDeviceCreate");
    return false;
}

}  // namespace

void registerDriverObject(PDRIVER_OBJECT driverObject, const std::string& serviceName) {
    auto& r = registry();
    std::lock_guard lk(r.mu);
    r.slots[driverObject] = DriverSlot{serviceName, nullptr};
}

void unregisterDriverObject(PDRIVER_OBJECT driverObject) {
    auto& r = registry();
    std::lock_guard lk(r.mu);
    r.slots.erase(driverObject);
}

Driver* driverOf(PDRIVER_OBJECT driverObject) {
    auto& r = registry();
    std::lock_guard lk(r.mu);
    auto it = r.slots.find(driverObject);
    return it == r.slots.end() ? nullptr : it->second.driver;
}

Driver* currentDriver() {
    auto& r = registry();
    std::lock_guard lk(r.mu);
    for (auto& [object, slot] : r.slots)
        if (slot.driver && slot.driver->alive()) return slot.driver;
    return nullptr;
}

void Device::onDelete() {
    std::lock_guard lk(mu);
    for (auto& i : interfaces) i.enabled = false;
    inWorkingState = false;
}

}  // namespace standin::kernel::wdf

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;
using wdf::Kind;

extern "C" NTSTATUS NTAPI WdfDriverCreate(PDRIVER_OBJECT DriverObject,
                                          PCUNICODE_STRING RegistryPath,
                                          PWDF_OBJECT_ATTRIBUTES DriverAttributes,
                                          PWDF_DRIVER_CONFIG DriverConfig, WDFDRIVER* Driver) {
    (void)RegistryPath;
    if (Driver) *Driver = nullptr;
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "WdfDriverCreate")) return STATUS_UNSUCCESSFUL;
    if (!DriverObject || !DriverConfig || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG))
        return STATUS_INVALID_PARAMETER;
    if (DriverAttributes && DriverAttributes->ParentObject) return STATUS_INVALID_PARAMETER;
    std::string serviceName;
    {
        auto& r = wdf::registry();
        std::lock_guard lk(r.mu);
        auto it = r.slots.find(DriverObject);
        if (it == r.slots.end()) return STATUS_INVALID_PARAMETER;
        if (it->second.driver) return STATUS_INVALID_DEVICE_STATE;
        serviceName = it->second.serviceName;
    }
    auto* d = new wdf::Driver;
    d->config = *DriverConfig;
    d->driverObject = DriverObject;
    d->driverMayDelete = false;
    d->tag = DriverConfig->DriverPoolTag ? DriverConfig->DriverPoolTag
                                         : pool::tagFromText(serviceName.substr(0, 4).c_str());
    NTSTATUS status = wdf::registerObject(d, DriverAttributes, nullptr);
    if (!NT_SUCCESS(status)) return status;
    {
        auto& r = wdf::registry();
        std::lock_guard lk(r.mu);
        r.slots[DriverObject].driver = d;
    }
    if (Driver) *Driver = static_cast<WDFDRIVER>(d->handle);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI WdfDeviceInitSetPnpPowerEventCallbacks(
    PWDFDEVICE_INIT DeviceInit, PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    if (!wdf::usableInit(DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks")) return;
    if (!PnpPowerEventCallbacks ||
        PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS))
        return;
    DeviceInit->pnp = *PnpPowerEventCallbacks;
}

extern "C" VOID NTAPI WdfDeviceInitSetIoInCallerContextCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDF_IO_IN_CALLER_CONTEXT EvtIoInCallerContext) {
    if (!wdf::usableInit(DeviceInit, "WdfDeviceInitSetIoInCallerContextCallback")) return;
    DeviceInit->inCallerContext = EvtIoInCallerContext;
}

extern "C" VOID NTAPI WdfDeviceInitSetFileObjectConfig(
    PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
    PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    if (!wdf::usableInit(DeviceInit, "WdfDeviceInitSetFileObjectConfig")) return;
    if (!FileObjectConfig || FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) return;
    DeviceInit->fileConfig = *FileObjectConfig;
    DeviceInit->hasFileAttributes = FileObjectAttributes != nullptr;
    if (FileObjectAttributes) {
        DeviceInit->fileAttributes = *FileObjectAttributes;
        // The framework makes a file object's parent itself: the device.
        DeviceInit->fileAttributes.ParentObject = nullptr;
    }
}

extern "C" VOID NTAPI WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit,
                                             WDF_DEVICE_IO_TYPE IoType) {
    if (!wdf::usableInit(DeviceInit, "WdfDeviceInitSetIoType")) return;
    DeviceInit->ioType = IoType;
}

extern "C" NTSTATUS NTAPI WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit,
                                          PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                          WDFDEVICE* Device) {
    if (Device) *Device = nullptr;
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceCreate")) return STATUS_UNSUCCESSFUL;
    if (!DeviceInit || !*DeviceInit || !Device) return STATUS_INVALID_PARAMETER;
    PWDFDEVICE_INIT init = *DeviceInit;
    if (init->created || !init->driver) return STATUS_INVALID_DEVICE_STATE;
    if (DeviceAttributes && DeviceAttributes->ParentObject) return STATUS_INVALID_PARAMETER;
    if (!init->driver->alive()) return STATUS_DELETE_PENDING;

    auto* dev = new wdf::Device;
    dev->pnp = init->pnp;
    dev->inCallerContext = init->inCallerContext;
    dev->fileConfig = init->fileConfig;
    dev->hasFileAttributes = init->hasFileAttributes;
    dev->fileAttributes = init->fileAttributes;
    dev->ioType = init->ioType;
    dev->physical = init->physical;
    dev->driverMayDelete = false;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&dev->capabilities);
    NTSTATUS status = wdf::registerObject(dev, DeviceAttributes, init->driver);
    if (!NT_SUCCESS(status)) return status;

    // The device's default I/O target: the next-lower device of the stack.
    auto* target = new wdf::IoTarget;
    target->backend = dev->physical ? dev->physical->lowerTargetBackend() : nullptr;
    target->driverMayDelete = false;
    status = wdf::registerObject(target, nullptr, dev);
    if (!NT_SUCCESS(status)) {
        wdf::deleteObject(dev);
        return status;
    }
    dev->defaultTarget = target;
    init->created = static_cast<WDFDEVICE>(dev->handle);
    *DeviceInit = nullptr;
    *Device = static_cast<WDFDEVICE>(dev->handle);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI WdfDeviceCreateDeviceInterface(WDFDEVICE Device,
                                                         const GUID* InterfaceClassGUID,
                                                         PCUNICODE_STRING ReferenceString) {
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "WdfDeviceCreateDeviceInterface"))
        return STATUS_UNSUCCESSFUL;
    wdf::Ref d = wdf::lookupKind(Device, Kind::Device, "WdfDeviceCreateDeviceInterface");
    if (!d) return STATUS_INVALID_HANDLE;
    if (!InterfaceClassGUID) return STATUS_INVALID_PARAMETER;
    auto* dev = d.as<wdf::Device>();
    DeviceInterface i;
    i.classGuid = *InterfaceClassGUID;
    if (ReferenceString && ReferenceString->Buffer)
        i.referenceString.assign(ReferenceString->Buffer, ReferenceString->Length / sizeof(WCHAR));
    std::lock_guard lk(dev->mu);
    i.enabled = dev->inWorkingState;
    dev->interfaces.push_back(std::move(i));
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI WdfDeviceSetPnpCapabilities(WDFDEVICE Device,
                                                  PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities) {
    wdf::Ref d = wdf::lookupKind(Device, Kind::Device, "WdfDeviceSetPnpCapabilities");
    if (!d || !PnpCapabilities || PnpCapabilities->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES))
        return;
    auto* dev = d.as<wdf::Device>();
    std::lock_guard lk(dev->mu);
    auto& c = dev->capabilities;
    const auto& n = *PnpCapabilities;
    auto take = [](WDF_TRI_STATE& to, WDF_TRI_STATE from) {
        if (from != WdfUseDefault) to = from;
    };
    take(c.LockSupported, n.LockSupported);
    take(c.EjectSupported, n.EjectSupported);
    take(c.Removable, n.Removable);
    take(c.DockDevice, n.DockDevice);
    take(c.UniqueID, n.UniqueID);
    take(c.SilentInstall, n.SilentInstall);
    take(c.SurpriseRemovalOK, n.SurpriseRemovalOK);
    take(c.HardwareDisabled, n.HardwareDisabled);
    take(c.NoDisplayInUI, n.NoDisplayInUI);
    if (n.Address != static_cast<ULONG>(-1)) c.Address = n.Address;
    if (n.UINumber != static_cast<ULONG>(-1)) c.UINumber = n.UINumber;
}

extern "C" WDFIOTARGET NTAPI WdfDeviceGetIoTarget(WDFDEVICE Device) {
    wdf::Ref d = wdf::lookupKind(Device, Kind::Device, "WdfDeviceGetIoTarget");
    if (!d) return nullptr;
    auto* dev = d.as<wdf::Device>();
    return dev->defaultTarget ? static_cast<WDFIOTARGET>(dev->defaultTarget->handle) : nullptr;
}

extern "C" WDFQUEUE NTAPI WdfDeviceGetDefaultQueue(WDFDEVICE Device) {
    wdf::Ref d = wdf::lookupKind(Device, Kind::Device, "WdfDeviceGetDefaultQueue");
    if (!d) return nullptr;
    auto* dev = d.as<wdf::Device>();
    std::lock_guard lk(dev->mu);
    return dev->defaultQueue ? static_cast<WDFQUEUE>(dev->defaultQueue->handle) : nullptr;
}

extern "C" NTSTATUS NTAPI WdfDeviceEnqueueRequest(WDFDEVICE Device, WDFREQUEST Request) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfDeviceEnqueueRequest"))
        return STATUS_UNSUCCESSFUL;
    wdf::Ref d = wdf::lookupKind(Device, Kind::Device, "WdfDeviceEnqueueRequest");
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfDeviceEnqueueRequest");
    if (!d || !r) return STATUS_INVALID_HANDLE;
    auto* req = r.as<wdf::Request>();
    if (!req->fromIoManager || req->completed.load() || req->deliveredBy) {
        detail::bugCheck(kBugCheckWdfViolation,
                         "WdfDeviceEnqueueRequest of a request that the driver created, that is "
                         "completed, or that a queue already presented");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto* dev = d.as<wdf::Device>();
    wdf::Queue* queue;
    {
        std::lock_guard lk(dev->mu);
        queue = dev->defaultQueue;
    }
    if (!queue) return STATUS_INVALID_DEVICE_REQUEST;
    return wdf::enqueue(queue, r);
}

extern "C" WDFDEVICE NTAPI WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    wdf::Ref f = wdf::lookupKind(FileObject, Kind::FileObject, "WdfFileObjectGetDevice");
    if (!f) return nullptr;
    auto* dev = f.as<wdf::FileObject>()->device;
    return dev ? static_cast<WDFDEVICE>(dev->handle) : nullptr;
}
