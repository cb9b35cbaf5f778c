// The framework's USB objects: the USB target device, its interfaces, configuration and
// setting selection, pipes, request blocks, synchronous pipe writes and resets, port cycling.

#include <cstring>
#include <string>

#include "usb_internal.h"

using namespace standin;
using namespace standin::kernel;
using namespace standin::kernel::usbfw;

namespace {

template <class T>
struct Found {
    wdf::Ref ref;
    std::shared_ptr<T> ext;
    explicit operator bool() const { return ext != nullptr; }
};

// The object behind a USB handle. An invalid handle, or one of another kind, is a bug check.
template <class T>
Found<T> lookupUsb(WDFOBJECT handle, const char* caller, const char* what) {
    Found<T> f;
    f.ref = wdf::lookup(handle, caller);
    if (!f.ref) return f;
    f.ext = std::dynamic_pointer_cast<T>(f.ref->extension);
    if (!f.ext) {
        detail::bugCheck(kBugCheckWdfViolation, std::string(caller) + " with a handle of a " +
                                                    wdf::kindName(f.ref->kind) + " instead of a " +
                                                    what);
        f.ref = wdf::Ref();
    }
    return f;
}

Found<UsbDeviceExt> targetDevice(WDFUSBDEVICE handle, const char* caller) {
    return lookupUsb<UsbDeviceExt>(handle, caller, "USB target device");
}
Found<InterfaceExt> usbInterface(WDFUSBINTERFACE handle, const char* caller) {
    return lookupUsb<InterfaceExt>(handle, caller, "USB interface");
}
Found<PipeExt> usbPipe(WDFUSBPIPE handle, const char* caller) {
    return lookupUsb<PipeExt>(handle, caller, "USB pipe");
}

// Interfaces and pipes belong to the framework: the driver does not delete them.
void frameworkOwned(WDFOBJECT handle) {
    wdf::Ref r = wdf::find(handle);
    if (r) r->driverMayDelete = false;
}

WDF_USB_PIPE_TYPE pipeType(usb::PipeType type) {
    switch (type) {
        case usb::PipeType::Control:
            return WdfUsbPipeTypeControl;
        case usb::PipeType::Isochronous:
            return WdfUsbPipeTypeIsochronous;
        case usb::PipeType::Bulk:
            return WdfUsbPipeTypeBulk;
        case usb::PipeType::Interrupt:
            return WdfUsbPipeTypeInterrupt;
    }
    return WdfUsbPipeTypeInvalid;
}

bool isMessagePipe(const usb::PipeInfo& info) {
    return info.type == usb::PipeType::Bulk || info.type == usb::PipeType::Interrupt;
}

// Deletes the pipe objects of one interface (or of all when `index` is null).
void deletePipes(UsbDeviceExt& dev, const std::size_t* index) {
    std::vector<WDFUSBPIPE> gone;
    {
        std::lock_guard lk(dev.mu);
        for (std::size_t i = 0; i < dev.interfaces.size(); ++i) {
            if (index && *index != i) continue;
            auto& state = dev.interfaces[i];
            for (auto& p : state.pipes) gone.push_back(p.handle);
            state.pipes.clear();
            state.selectedIndex = -1;
        }
    }
    for (WDFUSBPIPE p : gone) {
        wdf::Ref r = wdf::find(p);
        if (r) wdf::deleteObject(r.get());
    }
}

// Makes the pipe objects of an interface's selected setting, as the bus configured them.
NTSTATUS makePipes(UsbDeviceExt& dev, std::size_t index, std::uint8_t settingIndex,
                   PWDF_OBJECT_ATTRIBUTES attributes) {
    WDFUSBINTERFACE owner;
    std::uint8_t number;
    {
        std::lock_guard lk(dev.mu);
        owner = dev.interfaces[index].handle;
        number = dev.interfaces[index].descriptor.number;
    }
    std::vector<UsbDeviceExt::ConfiguredPipe> made;
    NTSTATUS status = STATUS_SUCCESS;
    for (const usb::PipeInfo& info : dev.stack->device->pipes(number)) {
        auto pipe = std::make_shared<PipeExt>();
        pipe->stack = dev.stack;
        pipe->backend = std::make_shared<Backend>(dev.stack);
        pipe->info = info;
        pipe->settingIndex = settingIndex;
        WDF_OBJECT_ATTRIBUTES copy;
        if (attributes) {
            copy = *attributes;
            copy.ParentObject = nullptr;  // a pipe's parent is its interface
        }
        WDFIOTARGET target;
        status =
            createIoTarget(attributes ? &copy : nullptr, owner, pipe->backend, pipe, true, &target);
        if (!NT_SUCCESS(status)) break;
        pipe->self = reinterpret_cast<WDFUSBPIPE>(target);
        pipe->pipeHandle = dev.stack->registerPipe(info.endpointAddress);
        frameworkOwned(target);
        made.push_back({pipe->self, pipe});
    }
    if (!NT_SUCCESS(status)) {
        for (auto& p : made) {
            wdf::Ref r = wdf::find(p.handle);
            if (r) wdf::deleteObject(r.get());
        }
        return status;
    }
    std::lock_guard lk(dev.mu);
    dev.interfaces[index].pipes = std::move(made);
    dev.interfaces[index].selectedIndex = settingIndex;
    return STATUS_SUCCESS;
}

// Sends a USB request synchronously on the driver's request or one of the framework's own.
NTSTATUS sendSync(WDFIOTARGET target, WDFREQUEST request, PWDF_REQUEST_SEND_OPTIONS options,
                  std::shared_ptr<RequestFormat> format, ULONG extraFlags, ULONG_PTR* information) {
    if (information) *information = 0;
    WDF_REQUEST_SEND_OPTIONS send;
    WDF_REQUEST_SEND_OPTIONS_INIT(&send, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS | extraFlags);
    if (options) {
        if (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) return STATUS_INFO_LENGTH_MISMATCH;
        send.Flags |= options->Flags & (WDF_REQUEST_SEND_OPTION_TIMEOUT |
                                        WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
        send.Timeout = options->Timeout;
    }
    bool own = request == nullptr;
    if (own) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = target;
        NTSTATUS status = WdfRequestCreate(&attributes, target, &request);
        if (!NT_SUCCESS(status)) return status;
    }
    NTSTATUS status = setRequestFormat(request, std::move(format));
    if (NT_SUCCESS(status)) {
        WdfRequestSend(request, target, &send);
        wdf::Ref r = wdf::find(request);
        auto* req = r.as<wdf::Request>();
        std::lock_guard lk(req->mu);
        status = req->status;
        if (information) *information = req->information;
    }
    if (own) WdfObjectDelete(request);
    return status;
}

void fillPipeInformation(const PipeExt& pipe, PWDF_USB_PIPE_INFORMATION info) {
    if (!info) return;
    ULONG size = info->Size;
    RtlZeroMemory(info, sizeof(WDF_USB_PIPE_INFORMATION));
    info->Size = size;
    info->MaximumPacketSize = pipe.info.maximumPacketSize;
    info->EndpointAddress = pipe.info.endpointAddress;
    info->Interval = pipe.info.interval;
    info->SettingIndex = pipe.settingIndex;
    info->PipeType = pipeType(pipe.info.type);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The USB target device.
extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceCreate(WDFDEVICE Device,
                                                   PWDF_OBJECT_ATTRIBUTES Attributes,
                                                   WDFUSBDEVICE* UsbDevice) {
    if (!UsbDevice) return STATUS_INVALID_PARAMETER;
    *UsbDevice = nullptr;
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceCreate"))
        return STATUS_INVALID_DEVICE_REQUEST;
    wdf::Ref d = wdf::lookupKind(Device, wdf::Kind::Device, "WdfUsbTargetDeviceCreate");
    if (!d) return STATUS_INVALID_HANDLE;
    if (Attributes && Attributes->ParentObject && Attributes->ParentObject != Device)
        return STATUS_INVALID_PARAMETER;
    auto physical = std::dynamic_pointer_cast<UsbPhysicalDevice>(physicalDeviceOf(Device));
    if (!physical) return STATUS_INVALID_DEVICE_REQUEST;
    std::shared_ptr<Stack> stack = physical->stack();
    if (!stack->device->present()) return STATUS_NO_SUCH_DEVICE;
    {
        std::lock_guard lk(stack->mu);
        if (stack->hasTargetDevice) return STATUS_INVALID_DEVICE_STATE;
        stack->hasTargetDevice = true;
    }

    auto dev = std::make_shared<UsbDeviceExt>();
    dev->stack = stack;
    dev->device = Device;
    for (const usb::Interface& i : stack->device->configuration().interfaces) {
        UsbDeviceExt::InterfaceState state;
        state.descriptor = i;
        dev->interfaces.push_back(std::move(state));
    }
    WDFIOTARGET target;
    NTSTATUS status =
        createIoTarget(Attributes, Device, std::make_shared<Backend>(stack), dev, true, &target);
    if (!NT_SUCCESS(status)) {
        std::lock_guard lk(stack->mu);
        stack->hasTargetDevice = false;
        return status;
    }
    dev->self = reinterpret_cast<WDFUSBDEVICE>(target);
    for (std::size_t i = 0; i < dev->interfaces.size(); ++i) {
        WDFOBJECT object;
        status =
            createExtensionObject(nullptr, target, std::make_shared<InterfaceExt>(dev, i), &object);
        if (!NT_SUCCESS(status)) {
            wdf::Ref r = wdf::find(target);
            if (r) wdf::deleteObject(r.get());
            return status;
        }
        frameworkOwned(object);
        std::lock_guard lk(dev->mu);
        dev->interfaces[i].handle = static_cast<WDFUSBINTERFACE>(object);
    }
    *UsbDevice = dev->self;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI WdfUsbTargetDeviceGetDeviceDescriptor(
    WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor) {
    auto dev = targetDevice(UsbDevice, "WdfUsbTargetDeviceGetDeviceDescriptor");
    if (!dev || !UsbDeviceDescriptor) return;
    auto bytes = dev.ext->stack->device->deviceDescriptor().bytes();
    static_assert(sizeof(bytes) == sizeof(USB_DEVICE_DESCRIPTOR));
    std::memcpy(UsbDeviceDescriptor, bytes.data(), bytes.size());
}

extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceRetrieveConfigDescriptor(
    WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor, PUSHORT ConfigDescriptorLength) {
    auto dev = targetDevice(UsbDevice, "WdfUsbTargetDeviceRetrieveConfigDescriptor");
    if (!dev) return STATUS_INVALID_HANDLE;
    if (!ConfigDescriptorLength) return STATUS_INVALID_PARAMETER;
    const std::vector<std::uint8_t>& bytes = dev.ext->stack->device->configurationDescriptor();
    if (bytes.empty() || bytes.size() > 0xFFFF) return STATUS_INVALID_DEVICE_STATE;
    const auto total = static_cast<USHORT>(bytes.size());
    if (!ConfigDescriptor || *ConfigDescriptorLength < total) {
        *ConfigDescriptorLength = total;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(ConfigDescriptor, bytes.data(), total);
    *ConfigDescriptorLength = total;
    return STATUS_SUCCESS;
}

extern "C" UCHAR NTAPI WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice) {
    auto dev = targetDevice(UsbDevice, "WdfUsbTargetDeviceGetNumInterfaces");
    if (!dev) return 0;
    std::lock_guard lk(dev.ext->mu);
    return static_cast<UCHAR>(dev.ext->interfaces.size());
}

extern "C" WDFUSBINTERFACE NTAPI WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice,
                                                                UCHAR InterfaceIndex) {
    auto dev = targetDevice(UsbDevice, "WdfUsbTargetDeviceGetInterface");
    if (!dev) return nullptr;
    std::lock_guard lk(dev.ext->mu);
    if (InterfaceIndex >= dev.ext->interfaces.size()) return nullptr;
    return dev.ext->interfaces[InterfaceIndex].handle;
}

extern "C" WDFIOTARGET NTAPI WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice) {
    auto dev = targetDevice(UsbDevice, "WdfUsbTargetDeviceGetIoTarget");
    return dev ? reinterpret_cast<WDFIOTARGET>(UsbDevice) : nullptr;
}

extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceRetrieveInformation(
    WDFUSBDEVICE UsbDevice, PWDF_USB_DEVICE_INFORMATION Information) {
    auto dev = targetDevice(UsbDevice, "WdfUsbTargetDeviceRetrieveInformation");
    if (!dev) return STATUS_INVALID_HANDLE;
    if (!Information) return STATUS_INVALID_PARAMETER;
    if (Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
    const usb::UsbDevice& device = *dev.ext->stack->device;
    WDF_USB_DEVICE_INFORMATION_INIT(Information);
    Information->UsbdVersionInformation.USBDI_Version = 0x600;
    Information->UsbdVersionInformation.Supported_USB_Version = device.deviceDescriptor().bcdUSB;
    const std::uint8_t attributes = device.configuration().descriptor.bmAttributes;
    if (attributes & 0x40) Information->Traits |= WDF_USB_DEVICE_TRAIT_SELF_POWERED;
    if (attributes & 0x20) Information->Traits |= WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE;
    if (device.speed() == usb::Speed::High)
        Information->Traits |= WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceCyclePortSynchronously(WDFUSBDEVICE UsbDevice) {
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceCyclePortSynchronously"))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto dev = targetDevice(UsbDevice, "WdfUsbTargetDeviceCyclePortSynchronously");
    if (!dev) return STATUS_INVALID_HANDLE;
    return toNt(dev.ext->stack->device->cyclePort());
}

extern "C" NTSTATUS NTAPI WdfUsbTargetDeviceRetrieveCurrentFrameNumber(WDFUSBDEVICE UsbDevice,
                                                                       PULONG CurrentFrameNumber) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetDeviceRetrieveCurrentFrameNumber"))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto dev = targetDevice(UsbDevice, "WdfUsbTargetDeviceRetrieveCurrentFrameNumber");
    if (!dev) return STATUS_INVALID_HANDLE;
    if (!CurrentFrameNumber) return STATUS_INVALID_PARAMETER;
    std::uint32_t frame = 0;
    NTSTATUS status = toNt(dev.ext->stack->device->currentFrameNumber(&frame));
    if (NT_SUCCESS(status)) *CurrentFrameNumber = frame;
    return status;
}

// ---------------------------------------------------------------------------------------------
// Configuration.
extern "C" NTSTATUS NTAPI
WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                               PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetDeviceSelectConfig"))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto found = targetDevice(UsbDevice, "WdfUsbTargetDeviceSelectConfig");
    if (!found) return STATUS_INVALID_HANDLE;
    if (!Params) return STATUS_INVALID_PARAMETER;
    if (Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (PipeAttributes && PipeAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    UsbDeviceExt& dev = *found.ext;
    usb::UsbDevice& device = *dev.stack->device;

    if (Params->Type == WdfUsbTargetDeviceSelectConfigTypeDeconfig) {
        deletePipes(dev, nullptr);
        {
            std::lock_guard lk(dev.mu);
            dev.configured = false;
        }
        return toNt(device.deconfigure());
    }

    // The setting index chosen for each interface (0 unless listed).
    std::vector<std::uint8_t> chosen;
    {
        std::lock_guard lk(dev.mu);
        const std::size_t count = dev.interfaces.size();
        chosen.assign(count, 0);
        switch (Params->Type) {
            case WdfUsbTargetDeviceSelectConfigTypeSingleInterface:
                if (count != 1) return STATUS_INVALID_PARAMETER;
                break;
            case WdfUsbTargetDeviceSelectConfigTypeMultiInterface:
                break;
            case WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs: {
                const auto& multi = Params->Types.MultiInterface;
                if (multi.NumberInterfaces == 0 || !multi.Pairs || multi.NumberInterfaces > count)
                    return STATUS_INVALID_PARAMETER;
                std::vector<bool> listed(count, false);
                for (UCHAR p = 0; p < multi.NumberInterfaces; ++p) {
                    const auto& pair = multi.Pairs[p];
                    std::size_t i = 0;
                    while (i < count && dev.interfaces[i].handle != pair.UsbInterface) ++i;
                    if (i == count || listed[i] ||
                        pair.SettingIndex >= dev.interfaces[i].descriptor.settings.size())
                        return STATUS_INVALID_PARAMETER;
                    listed[i] = true;
                    chosen[i] = pair.SettingIndex;
                }
                break;
            }
            default:
                return STATUS_INVALID_PARAMETER;
        }
    }

    deletePipes(dev, nullptr);
    std::vector<usb::InterfaceSelection> selections;
    {
        std::lock_guard lk(dev.mu);
        dev.configured = false;
        for (std::size_t i = 0; i < dev.interfaces.size(); ++i) {
            const usb::Interface& d = dev.interfaces[i].descriptor;
            selections.push_back({d.number, d.settings[chosen[i]].descriptor.bAlternateSetting});
        }
    }
    NTSTATUS status = toNt(device.selectConfiguration(selections));
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard lk(dev.mu);
        dev.configured = true;
    }
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        status = makePipes(dev, i, chosen[i], PipeAttributes);
        if (!NT_SUCCESS(status)) {
            deletePipes(dev, nullptr);
            return status;
        }
    }

    std::lock_guard lk(dev.mu);
    if (Params->Type == WdfUsbTargetDeviceSelectConfigTypeSingleInterface) {
        Params->Types.SingleInterface.NumberConfiguredPipes =
            static_cast<UCHAR>(dev.interfaces[0].pipes.size());
        Params->Types.SingleInterface.ConfiguredUsbInterface = dev.interfaces[0].handle;
    } else {
        Params->Types.MultiInterface.NumberOfConfiguredInterfaces =
            static_cast<UCHAR>(dev.interfaces.size());
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Interfaces.
extern "C" UCHAR NTAPI WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface) {
    auto i = usbInterface(UsbInterface, "WdfUsbInterfaceGetInterfaceNumber");
    if (!i) return 0;
    std::lock_guard lk(i.ext->owner->mu);
    return i.ext->owner->interfaces[i.ext->index].descriptor.number;
}

extern "C" UCHAR NTAPI WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface) {
    auto i = usbInterface(UsbInterface, "WdfUsbInterfaceGetNumSettings");
    if (!i) return 0;
    std::lock_guard lk(i.ext->owner->mu);
    return static_cast<UCHAR>(i.ext->owner->interfaces[i.ext->index].descriptor.settings.size());
}

extern "C" VOID NTAPI WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                                   PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor) {
    auto i = usbInterface(UsbInterface, "WdfUsbInterfaceGetDescriptor");
    if (!i || !InterfaceDescriptor) return;
    std::lock_guard lk(i.ext->owner->mu);
    const auto& settings = i.ext->owner->interfaces[i.ext->index].descriptor.settings;
    if (SettingIndex >= settings.size()) return;
    const usb::InterfaceDescriptor& d = settings[SettingIndex].descriptor;
    InterfaceDescriptor->bLength = d.bLength;
    InterfaceDescriptor->bDescriptorType = d.bDescriptorType;
    InterfaceDescriptor->bInterfaceNumber = d.bInterfaceNumber;
    InterfaceDescriptor->bAlternateSetting = d.bAlternateSetting;
    InterfaceDescriptor->bNumEndpoints = d.bNumEndpoints;
    InterfaceDescriptor->bInterfaceClass = d.bInterfaceClass;
    InterfaceDescriptor->bInterfaceSubClass = d.bInterfaceSubClass;
    InterfaceDescriptor->bInterfaceProtocol = d.bInterfaceProtocol;
    InterfaceDescriptor->iInterface = d.iInterface;
}

extern "C" UCHAR NTAPI WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface) {
    auto i = usbInterface(UsbInterface, "WdfUsbInterfaceGetNumConfiguredPipes");
    if (!i) return 0;
    std::lock_guard lk(i.ext->owner->mu);
    return static_cast<UCHAR>(i.ext->owner->interfaces[i.ext->index].pipes.size());
}

extern "C" WDFUSBPIPE NTAPI WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface,
                                                             UCHAR PipeIndex,
                                                             PWDF_USB_PIPE_INFORMATION PipeInfo) {
    auto i = usbInterface(UsbInterface, "WdfUsbInterfaceGetConfiguredPipe");
    if (!i) return nullptr;
    std::lock_guard lk(i.ext->owner->mu);
    const auto& pipes = i.ext->owner->interfaces[i.ext->index].pipes;
    if (PipeIndex >= pipes.size()) return nullptr;
    fillPipeInformation(*pipes[PipeIndex].ext, PipeInfo);
    return pipes[PipeIndex].handle;
}

extern "C" NTSTATUS NTAPI
WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface, PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                             PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params) {
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbInterfaceSelectSetting"))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto i = usbInterface(UsbInterface, "WdfUsbInterfaceSelectSetting");
    if (!i) return STATUS_INVALID_HANDLE;
    if (!Params) return STATUS_INVALID_PARAMETER;
    if (Params->Size != sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (Params->Type != WdfUsbInterfaceSelectSettingTypeSetting) return STATUS_INVALID_PARAMETER;
    if (PipesAttributes && PipesAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    UsbDeviceExt& dev = *i.ext->owner;
    const std::size_t index = i.ext->index;
    const UCHAR setting = Params->Types.Interface.SettingIndex;
    std::uint8_t number, alternate;
    {
        std::lock_guard lk(dev.mu);
        const usb::Interface& d = dev.interfaces[index].descriptor;
        if (setting >= d.settings.size()) return STATUS_INVALID_PARAMETER;
        if (!dev.configured) return STATUS_INVALID_DEVICE_STATE;
        number = d.number;
        alternate = d.settings[setting].descriptor.bAlternateSetting;
    }
    deletePipes(dev, &index);
    NTSTATUS status = toNt(dev.stack->device->selectInterfaceSetting(number, alternate));
    if (!NT_SUCCESS(status)) return status;
    return makePipes(dev, index, setting, PipesAttributes);
}

// ---------------------------------------------------------------------------------------------
// Pipes.
extern "C" WDFIOTARGET NTAPI WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe) {
    auto p = usbPipe(Pipe, "WdfUsbTargetPipeGetIoTarget");
    return p ? reinterpret_cast<WDFIOTARGET>(Pipe) : nullptr;
}

extern "C" USBD_PIPE_HANDLE NTAPI WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe) {
    auto p = usbPipe(UsbPipe, "WdfUsbTargetPipeWdmGetPipeHandle");
    return p ? p.ext->pipeHandle : nullptr;
}

extern "C" NTSTATUS NTAPI WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE PIPE, WDFREQUEST Request,
                                                              WDFMEMORY UrbMemory,
                                                              PWDFMEMORY_OFFSET UrbMemoryOffset) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetPipeFormatRequestForUrb"))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto p = usbPipe(PIPE, "WdfUsbTargetPipeFormatRequestForUrb");
    if (!p) return STATUS_INVALID_HANDLE;
    wdf::Ref m =
        wdf::lookupKind(UrbMemory, wdf::Kind::Memory, "WdfUsbTargetPipeFormatRequestForUrb");
    if (!m) return STATUS_INVALID_HANDLE;
    std::size_t size = 0;
    if (!WdfMemoryGetBuffer(UrbMemory, &size)) return STATUS_INVALID_PARAMETER;
    std::size_t offset = 0, length = size;
    if (UrbMemoryOffset) {
        if (UrbMemoryOffset->BufferOffset > size) return STATUS_INVALID_PARAMETER;
        offset = UrbMemoryOffset->BufferOffset;
        length = UrbMemoryOffset->BufferLength ? UrbMemoryOffset->BufferLength : size - offset;
        if (length > size - offset) return STATUS_INVALID_PARAMETER;
    }
    if (length < sizeof(_URB_HEADER)) return STATUS_INVALID_PARAMETER;
    auto format = std::make_shared<UrbFormat>();
    format->memory = UrbMemory;
    format->offset = offset;
    format->length = length;
    return setRequestFormat(Request, std::move(format));
}

extern "C" NTSTATUS NTAPI WdfUsbTargetPipeWriteSynchronously(
    WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
    PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesWritten) {
    if (BytesWritten) *BytesWritten = 0;
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetPipeWriteSynchronously"))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto p = usbPipe(Pipe, "WdfUsbTargetPipeWriteSynchronously");
    if (!p) return STATUS_INVALID_HANDLE;
    if (!isMessagePipe(p.ext->info) || (p.ext->info.endpointAddress & usb::kEndpointDirIn))
        return STATUS_INVALID_DEVICE_REQUEST;
    void* buffer = nullptr;
    std::size_t length = 0;
    if (MemoryDescriptor && !resolveMemoryDescriptor(MemoryDescriptor, &buffer, &length))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (length > 0xFFFFFFFFu) return STATUS_INVALID_PARAMETER;
    auto format = std::make_shared<PipeWriteFormat>();
    format->stack = p.ext->stack;
    format->endpoint = p.ext->info.endpointAddress;
    format->buffer = static_cast<std::uint8_t*>(buffer);
    format->length = static_cast<std::uint32_t>(length);
    ULONG_PTR written = 0;
    NTSTATUS status = sendSync(reinterpret_cast<WDFIOTARGET>(Pipe), Request, RequestOptions,
                               std::move(format), 0, &written);
    if (BytesWritten) *BytesWritten = static_cast<ULONG>(written);
    return status;
}

extern "C" NTSTATUS NTAPI WdfUsbTargetPipeResetSynchronously(
    WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "WdfUsbTargetPipeResetSynchronously"))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto p = usbPipe(Pipe, "WdfUsbTargetPipeResetSynchronously");
    if (!p) return STATUS_INVALID_HANDLE;
    // Requests still waiting in the (stopped) target's queue are cancelled first; the reset
    // itself goes down whatever the target's state.
    auto* target = p.ref.as<wdf::IoTarget>();
    std::vector<std::shared_ptr<wdf::Submission>> held;
    {
        std::lock_guard lk(target->mu);
        held.assign(target->held.begin(), target->held.end());
    }
    for (auto& s : held) wdf::giveUp(s, STATUS_CANCELLED);  // one started meanwhile is cancelled
    auto format = std::make_shared<PipeResetFormat>();
    format->stack = p.ext->stack;
    format->endpoint = p.ext->info.endpointAddress;
    return sendSync(reinterpret_cast<WDFIOTARGET>(Pipe), Request, RequestOptions, std::move(format),
                    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE, nullptr);
}

extern "C" NTSTATUS NTAPI
WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE Pipe, PWDF_USB_CONTINUOUS_READER_CONFIG Config) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfUsbTargetPipeConfigContinuousReader"))
        return STATUS_INVALID_DEVICE_REQUEST;
    auto p = usbPipe(Pipe, "WdfUsbTargetPipeConfigContinuousReader");
    if (!p) return STATUS_INVALID_HANDLE;
    if (!Config) return STATUS_INVALID_PARAMETER;
    if (Config->Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG))
        return STATUS_INFO_LENGTH_MISMATCH;
    if (!Config->EvtUsbTargetPipeReadComplete || Config->TransferLength == 0)
        return STATUS_INVALID_PARAMETER;
    if (!isMessagePipe(p.ext->info) || !(p.ext->info.endpointAddress & usb::kEndpointDirIn))
        return STATUS_INVALID_DEVICE_REQUEST;
    constexpr std::size_t kLimit = 0xFFFFFFFFu;
    if (Config->TransferLength > kLimit || Config->HeaderLength > kLimit ||
        Config->TrailerLength > kLimit ||
        Config->TransferLength + Config->HeaderLength + Config->TrailerLength > kLimit)
        return STATUS_INVALID_PARAMETER;
    if (p.ext->info.maximumPacketSize == 0 ||
        Config->TransferLength % p.ext->info.maximumPacketSize != 0)
        return STATUS_INVALID_BUFFER_SIZE;
    if (Config->BufferAttributes &&
        (Config->BufferAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES) ||
         Config->BufferAttributes->ParentObject))
        return STATUS_INVALID_PARAMETER;
    if (p.ext->backend->reader()) return STATUS_INVALID_DEVICE_STATE;
    unsigned reads = Config->NumPendingReads ? Config->NumPendingReads : kDefaultPendingReads;
    if (reads > kMaxPendingReads) reads = kMaxPendingReads;
    p.ext->backend->setReader(
        std::make_shared<Reader>(p.ext->stack, Pipe, p.ext->info.endpointAddress, *Config, reads));
    // The reads run from the next start of the pipe's target.
    auto* target = p.ref.as<wdf::IoTarget>();
    std::lock_guard lk(target->mu);
    if (target->targetState == wdf::IoTarget::State::Started)
        target->targetState = wdf::IoTarget::State::Stopped;
    return STATUS_SUCCESS;
}
