// The framework harness: the Plug and Play manager and the I/O manager for one driver.

#include "standin/kernel/harness.h"

#include <cstring>
#include <map>

#include "standin/sync.h"
#include "wdf_internal.h"

namespace standin::kernel {
namespace {

bool isErrorStatus(NTSTATUS status) {
    return (static_cast<ULONG>(status) >> 30) == 3;
}

std::u16string widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

void setUnicode(UNICODE_STRING& u, std::u16string& storage) {
    u.Buffer = storage.data();
    u.Length = static_cast<USHORT>(storage.size() * sizeof(WCHAR));
    u.MaximumLength = u.Length;
}

}  // namespace

std::shared_ptr<PhysicalDevice> physicalDeviceOf(WDFDEVICE device) {
    wdf::Ref r = wdf::find(device);
    if (!r || r->kind != wdf::Kind::Device) return nullptr;
    return r.as<wdf::Device>()->physical;
}

struct FrameworkHarness::Impl {
    struct DeviceRecord {
        wdf::Ref device;
        DeviceState state = DeviceState::Added;
        bool prepared = false;
        std::size_t openFiles = 0;
    };
    struct FileRecord {
        wdf::Ref file;
        WDFDEVICE device = nullptr;
        CallerContext* opener = nullptr;
        int references = 1;  // the handle, and each request in progress
        bool closed = false;
    };

    std::string serviceName;
    DRIVER_OBJECT driverObject{};
    std::u16string driverName;
    std::u16string registryPathText;
    UNICODE_STRING registryPath{};
    bool registered = false;
    wdf::Ref driver;

    std::recursive_mutex pnpMu;
    mutable standin::Mutex mu;
    Time100ns waitLimit = 60 * kUnitsPerSecond;
    std::map<WDFDEVICE, DeviceRecord> devices;
    std::map<FileId, FileRecord> files;
    FileId nextFile = 1;

    wdf::Device* deviceOf(const DeviceRecord& rec) { return rec.device.as<wdf::Device>(); }

    // ---- waiting for requests ----
    bool waitForCompletion(wdf::Request* r, const char* what) {
        Time100ns limit;
        {
            std::lock_guard lk(mu);
            limit = waitLimit;
        }
        if (detail::waitUntil([r] { return r->resultReady.load(); }, detail::now() + limit, what))
            return true;
        detail::bugCheck(kBugCheckIoManagerViolation,
                         std::string("the driver never completed ") + what);
        return false;
    }

    // ---- Plug and Play callbacks ----
    NTSTATUS prepareHardware(wdf::Device* dev) {
        if (!dev->pnp.EvtDevicePrepareHardware) return STATUS_SUCCESS;
        detail::CallbackScope scope(PASSIVE_LEVEL, "EvtDevicePrepareHardware");
        return dev->pnp.EvtDevicePrepareHardware(static_cast<WDFDEVICE>(dev->handle), nullptr,
                                                 nullptr);
    }

    void releaseHardware(wdf::Device* dev) {
        if (!dev->pnp.EvtDeviceReleaseHardware) return;
        detail::CallbackScope scope(PASSIVE_LEVEL, "EvtDeviceReleaseHardware");
        dev->pnp.EvtDeviceReleaseHardware(static_cast<WDFDEVICE>(dev->handle), nullptr);
    }

    NTSTATUS d0Entry(wdf::Device* dev, WDF_POWER_DEVICE_STATE previous) {
        if (!dev->pnp.EvtDeviceD0Entry) return STATUS_SUCCESS;
        detail::CallbackScope scope(PASSIVE_LEVEL, "EvtDeviceD0Entry");
        return dev->pnp.EvtDeviceD0Entry(static_cast<WDFDEVICE>(dev->handle), previous);
    }

    NTSTATUS d0Exit(wdf::Device* dev, WDF_POWER_DEVICE_STATE target) {
        if (!dev->pnp.EvtDeviceD0Exit) return STATUS_SUCCESS;
        detail::CallbackScope scope(PASSIVE_LEVEL, "EvtDeviceD0Exit");
        return dev->pnp.EvtDeviceD0Exit(static_cast<WDFDEVICE>(dev->handle), target);
    }

    std::vector<wdf::Ref> queuesOf(wdf::Device* dev) {
        std::vector<wdf::Ref> queues;
        std::lock_guard lk(dev->childMu);
        for (wdf::Object* c : dev->children) {
            if (c->kind == wdf::Kind::Queue) {
                wdf::retain(c);
                queues.emplace_back(c, true);
            }
        }
        return queues;
    }

    void enterWorking(wdf::Device* dev) {
        {
            std::lock_guard lk(dev->mu);
            dev->inWorkingState = true;
            for (auto& i : dev->interfaces) i.enabled = true;
        }
        for (auto& q : queuesOf(dev))
            if (q.as<wdf::Queue>()->powerManaged) wdf::startQueue(q.as<wdf::Queue>());
    }

    void leaveWorking(wdf::Device* dev) {
        {
            std::lock_guard lk(dev->mu);
            dev->inWorkingState = false;
        }
        for (auto& q : queuesOf(dev))
            if (q.as<wdf::Queue>()->powerManaged) wdf::stopQueue(q.as<wdf::Queue>());
    }

    // Stops all I/O of a device that is gone or failed.
    void tearDown(wdf::Device* dev) {
        for (auto& q : queuesOf(dev)) wdf::purgeQueue(q.as<wdf::Queue>());
        if (dev->defaultTarget) wdf::closeTarget(dev->defaultTarget);
        std::lock_guard lk(dev->mu);
        dev->inWorkingState = false;
        for (auto& i : dev->interfaces) i.enabled = false;
    }

    // Deletes a removed or failed device once no file object is open on it.
    void maybeDestroy(WDFDEVICE device) {
        std::lock_guard pnp(pnpMu);
        wdf::Ref ref;
        {
            std::lock_guard lk(mu);
            auto it = devices.find(device);
            if (it == devices.end()) return;
            auto& rec = it->second;
            if ((rec.state != DeviceState::Removed && rec.state != DeviceState::Failed) ||
                rec.openFiles != 0)
                return;
            ref = std::move(rec.device);
            devices.erase(it);
        }
        wdf::deleteObject(ref.get());
    }

    // The device object of `device` when it is in `state`.
    NTSTATUS deviceInState(WDFDEVICE device, DeviceState state, wdf::Ref* ref) {
        std::lock_guard lk(mu);
        auto it = devices.find(device);
        if (it == devices.end()) return STATUS_NO_SUCH_DEVICE;
        if (it->second.state != state) return STATUS_INVALID_DEVICE_STATE;
        *ref = it->second.device;
        return STATUS_SUCCESS;
    }

    void fail(WDFDEVICE device, wdf::Device* dev) {
        tearDown(dev);
        {
            std::lock_guard lk(mu);
            auto it = devices.find(device);
            if (it != devices.end()) {
                it->second.state = DeviceState::Failed;
                it->second.prepared = false;
            }
        }
        maybeDestroy(device);
    }

    // ---- file objects ----
    void dropFileReference(FileId id) {
        FileRecord rec;
        {
            std::lock_guard lk(mu);
            auto it = files.find(id);
            if (it == files.end()) return;
            if (--it->second.references > 0 || !it->second.closed) return;
            rec = std::move(it->second);
            files.erase(it);
        }
        auto* f = rec.file.as<wdf::FileObject>();
        wdf::Device* dev = f->device;
        if (dev->fileConfig.EvtFileClose) {
            detail::CallbackScope scope(PASSIVE_LEVEL, "EvtFileClose");
            dev->fileConfig.EvtFileClose(static_cast<WDFFILEOBJECT>(f->handle));
        }
        wdf::deleteObject(f);
        rec.file = wdf::Ref();
        {
            std::lock_guard lk(mu);
            auto it = devices.find(rec.device);
            if (it != devices.end() && it->second.openFiles > 0) --it->second.openFiles;
        }
        maybeDestroy(rec.device);
    }
};

// ---------------------------------------------------------------------------------------------
FrameworkHarness::FrameworkHarness(std::string serviceName) : impl_(std::make_shared<Impl>()) {
    impl_->serviceName = std::move(serviceName);
}

FrameworkHarness::~FrameworkHarness() {
    std::vector<std::pair<FileId, CallerContext*>> open;
    {
        std::lock_guard lk(impl_->mu);
        for (auto& [id, rec] : impl_->files)
            if (!rec.closed) open.emplace_back(id, rec.opener);
    }
    for (auto& [id, caller] : open) closeFile(id, *caller);
    for (WDFDEVICE d : devices()) removeDevice(d);
    unloadDriver();
}

NTSTATUS FrameworkHarness::loadDriver(PDRIVER_INITIALIZE driverEntry) {
    auto& m = *impl_;
    std::lock_guard pnp(m.pnpMu);
    if (m.registered || !driverEntry) return STATUS_INVALID_DEVICE_STATE;
    m.driverObject = DRIVER_OBJECT{};
    m.driverObject.Type = 4;
    m.driverObject.Size = sizeof(DRIVER_OBJECT);
    m.driverName = u"\\Driver\\" + widen(m.serviceName);
    setUnicode(m.driverObject.DriverName, m.driverName);
    m.registryPathText =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + widen(m.serviceName);
    setUnicode(m.registryPath, m.registryPathText);
    wdf::registerDriverObject(&m.driverObject, m.serviceName);
    m.registered = true;
    NTSTATUS status;
    {
        detail::CallbackScope scope(PASSIVE_LEVEL, "DriverEntry");
        status = driverEntry(&m.driverObject, &m.registryPath);
    }
    if (wdf::Driver* d = wdf::driverOf(&m.driverObject)) {
        wdf::retain(d);
        m.driver = wdf::Ref(d, true);
    }
    if (!NT_SUCCESS(status)) {
        // A driver whose entry fails is unloaded at once.
        if (m.driver) wdf::deleteObject(m.driver.get());
        m.driver = wdf::Ref();
        wdf::unregisterDriverObject(&m.driverObject);
        m.registered = false;
    }
    return status;
}

void FrameworkHarness::unloadDriver() {
    auto& m = *impl_;
    std::lock_guard pnp(m.pnpMu);
    if (!m.registered) return;
    for (WDFDEVICE d : devices()) removeDevice(d);
    if (m.driver) {
        auto* d = m.driver.as<wdf::Driver>();
        if (d->config.EvtDriverUnload) {
            detail::CallbackScope scope(PASSIVE_LEVEL, "EvtDriverUnload");
            d->config.EvtDriverUnload(static_cast<WDFDRIVER>(d->handle));
        }
        wdf::deleteObject(d);
        m.driver = wdf::Ref();
    }
    wdf::unregisterDriverObject(&m.driverObject);
    m.registered = false;
}

WDFDRIVER FrameworkHarness::driver() const {
    return impl_->driver ? static_cast<WDFDRIVER>(impl_->driver->handle) : nullptr;
}

NTSTATUS FrameworkHarness::addDevice(std::shared_ptr<PhysicalDevice> physical, WDFDEVICE* device) {
    auto& m = *impl_;
    if (device) *device = nullptr;
    std::lock_guard pnp(m.pnpMu);
    if (!m.driver) return STATUS_INVALID_DEVICE_STATE;
    auto* drv = m.driver.as<wdf::Driver>();
    if (!drv->config.EvtDriverDeviceAdd) return STATUS_INVALID_DEVICE_REQUEST;
    WDFDEVICE_INIT init;
    init.driver = drv;
    init.physical = std::move(physical);
    NTSTATUS status;
    {
        detail::CallbackScope scope(PASSIVE_LEVEL, "EvtDriverDeviceAdd");
        status = drv->config.EvtDriverDeviceAdd(static_cast<WDFDRIVER>(drv->handle), &init);
    }
    wdf::Ref dev = init.created ? wdf::find(init.created) : wdf::Ref();
    if (!NT_SUCCESS(status)) {
        // The framework deletes a device object whose add failed.
        if (dev) wdf::deleteObject(dev.get());
        return status;
    }
    if (!dev) return STATUS_INVALID_DEVICE_STATE;
    {
        std::lock_guard lk(m.mu);
        Impl::DeviceRecord rec;
        rec.device = dev;
        m.devices.emplace(init.created, std::move(rec));
    }
    if (device) *device = init.created;
    return STATUS_SUCCESS;
}

NTSTATUS FrameworkHarness::startDevice(WDFDEVICE device) {
    auto& m = *impl_;
    std::lock_guard pnp(m.pnpMu);
    wdf::Ref ref;
    NTSTATUS found = m.deviceInState(device, DeviceState::Added, &ref);
    if (!NT_SUCCESS(found)) return found;
    auto* dev = ref.as<wdf::Device>();
    // The stack below starts first: the default I/O target opens.
    NTSTATUS status = WdfIoTargetStart(static_cast<WDFIOTARGET>(dev->defaultTarget->handle));
    if (!NT_SUCCESS(status)) {
        m.fail(device, dev);
        return status;
    }
    status = m.prepareHardware(dev);
    if (!NT_SUCCESS(status)) {
        m.releaseHardware(dev);
        m.fail(device, dev);
        return status;
    }
    status = m.d0Entry(dev, WdfPowerDeviceD3Final);
    if (!NT_SUCCESS(status)) {
        // A failed D0 entry gets no D0 exit; the hardware is released.
        m.releaseHardware(dev);
        m.fail(device, dev);
        return status;
    }
    m.enterWorking(dev);
    std::lock_guard lk(m.mu);
    auto it = m.devices.find(device);
    if (it != m.devices.end()) {
        it->second.state = DeviceState::Working;
        it->second.prepared = true;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FrameworkHarness::suspendDevice(WDFDEVICE device) {
    auto& m = *impl_;
    std::lock_guard pnp(m.pnpMu);
    wdf::Ref ref;
    NTSTATUS found = m.deviceInState(device, DeviceState::Working, &ref);
    if (!NT_SUCCESS(found)) return found;
    auto* dev = ref.as<wdf::Device>();
    m.leaveWorking(dev);
    NTSTATUS status = m.d0Exit(dev, WdfPowerDeviceD3);
    std::lock_guard lk(m.mu);
    auto it = m.devices.find(device);
    if (it != m.devices.end()) it->second.state = DeviceState::LowPower;
    return status;
}

NTSTATUS FrameworkHarness::resumeDevice(WDFDEVICE device) {
    auto& m = *impl_;
    std::lock_guard pnp(m.pnpMu);
    wdf::Ref ref;
    NTSTATUS found = m.deviceInState(device, DeviceState::LowPower, &ref);
    if (!NT_SUCCESS(found)) return found;
    auto* dev = ref.as<wdf::Device>();
    NTSTATUS status = m.d0Entry(dev, WdfPowerDeviceD3);
    if (!NT_SUCCESS(status)) {
        m.releaseHardware(dev);
        m.fail(device, dev);
        return status;
    }
    m.enterWorking(dev);
    std::lock_guard lk(m.mu);
    auto it = m.devices.find(device);
    if (it != m.devices.end()) it->second.state = DeviceState::Working;
    return STATUS_SUCCESS;
}

void FrameworkHarness::surpriseRemoveDevice(WDFDEVICE device) {
    removeDevice(device);
}

void FrameworkHarness::removeDevice(WDFDEVICE device) {
    auto& m = *impl_;
    std::lock_guard pnp(m.pnpMu);
    wdf::Ref ref;
    DeviceState state;
    bool prepared;
    {
        std::lock_guard lk(m.mu);
        auto it = m.devices.find(device);
        if (it == m.devices.end() || it->second.state == DeviceState::Removed) return;
        ref = it->second.device;
        state = it->second.state;
        prepared = it->second.prepared;
    }
    auto* dev = ref.as<wdf::Device>();
    if (state == DeviceState::Working) {
        m.leaveWorking(dev);
        m.d0Exit(dev, WdfPowerDeviceD3Final);
    }
    if (state != DeviceState::Failed) {
        for (auto& q : m.queuesOf(dev)) wdf::purgeQueue(q.as<wdf::Queue>());
        if (prepared) m.releaseHardware(dev);
        m.tearDown(dev);
    }
    {
        std::lock_guard lk(m.mu);
        auto it = m.devices.find(device);
        if (it != m.devices.end()) {
            it->second.state = DeviceState::Removed;
            it->second.prepared = false;
        }
    }
    m.maybeDestroy(device);
}

std::vector<WDFDEVICE> FrameworkHarness::devices() const {
    std::lock_guard lk(impl_->mu);
    std::vector<WDFDEVICE> out;
    for (auto& [d, rec] : impl_->devices) out.push_back(d);
    return out;
}

bool FrameworkHarness::deviceExists(WDFDEVICE device) const {
    std::lock_guard lk(impl_->mu);
    return impl_->devices.count(device) != 0;
}

DeviceState FrameworkHarness::deviceState(WDFDEVICE device) const {
    std::lock_guard lk(impl_->mu);
    auto it = impl_->devices.find(device);
    return it == impl_->devices.end() ? DeviceState::Removed : it->second.state;
}

std::vector<DeviceInterface> FrameworkHarness::deviceInterfaces(WDFDEVICE device) const {
    wdf::Ref r = wdf::find(device);
    if (!r || r->kind != wdf::Kind::Device) return {};
    auto* dev = r.as<wdf::Device>();
    std::lock_guard lk(dev->mu);
    return dev->interfaces;
}

WDF_DEVICE_PNP_CAPABILITIES FrameworkHarness::pnpCapabilities(WDFDEVICE device) const {
    WDF_DEVICE_PNP_CAPABILITIES caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    wdf::Ref r = wdf::find(device);
    if (!r || r->kind != wdf::Kind::Device) return caps;
    auto* dev = r.as<wdf::Device>();
    std::lock_guard lk(dev->mu);
    return dev->capabilities;
}

NTSTATUS FrameworkHarness::openFile(WDFDEVICE device, CallerContext& caller, FileId* file) {
    auto& m = *impl_;
    if (file) *file = 0;
    if (!file) return STATUS_INVALID_PARAMETER;
    wdf::Ref ref;
    {
        std::lock_guard lk(m.mu);
        auto it = m.devices.find(device);
        if (it == m.devices.end()) return STATUS_NO_SUCH_DEVICE;
        if (it->second.state == DeviceState::Removed || it->second.state == DeviceState::Failed)
            return STATUS_DELETE_PENDING;
        ref = it->second.device;
        ++it->second.openFiles;
    }
    auto* dev = ref.as<wdf::Device>();
    auto undo = [&m, device] {
        {
            std::lock_guard lk(m.mu);
            auto it = m.devices.find(device);
            if (it != m.devices.end()) --it->second.openFiles;
        }
        m.maybeDestroy(device);
    };
    auto* f = new wdf::FileObject;
    f->device = dev;
    f->driverMayDelete = false;
    WDF_OBJECT_ATTRIBUTES attributes = dev->fileAttributes;
    NTSTATUS status = wdf::registerObject(f, dev->hasFileAttributes ? &attributes : nullptr, dev);
    if (!NT_SUCCESS(status)) {
        undo();
        return status;
    }
    wdf::retain(f);
    wdf::Ref fileRef(f, true);
    wdf::Ref req;
    status = wdf::createIoRequest(dev, f, WdfRequestTypeCreate, &req);
    if (!NT_SUCCESS(status)) {
        wdf::deleteObject(f);
        undo();
        return status;
    }
    auto* r = req.as<wdf::Request>();
    {
        CallerScope scope(&caller);
        detail::CallbackScope level(PASSIVE_LEVEL, "EvtDeviceFileCreate", false);
        if (dev->fileConfig.EvtDeviceFileCreate)
            dev->fileConfig.EvtDeviceFileCreate(static_cast<WDFDEVICE>(dev->handle),
                                                static_cast<WDFREQUEST>(r->handle),
                                                static_cast<WDFFILEOBJECT>(f->handle));
        else
            wdf::completeIoRequest(r, STATUS_SUCCESS, nullptr, "the I/O manager");
    }
    if (!m.waitForCompletion(r, "a create request")) {
        wdf::deleteObject(f);
        undo();
        return STATUS_PENDING;
    }
    status = r->status;
    wdf::deleteObject(r);
    req = wdf::Ref();
    if (!NT_SUCCESS(status)) {
        wdf::deleteObject(f);
        undo();
        return status;
    }
    std::lock_guard lk(m.mu);
    FileId id = m.nextFile++;
    Impl::FileRecord rec;
    rec.file = std::move(fileRef);
    rec.device = device;
    rec.opener = &caller;
    m.files.emplace(id, std::move(rec));
    *file = id;
    return STATUS_SUCCESS;
}

void FrameworkHarness::closeFile(FileId file, CallerContext& caller) {
    auto& m = *impl_;
    wdf::Ref f;
    {
        std::lock_guard lk(m.mu);
        auto it = m.files.find(file);
        if (it == m.files.end() || it->second.closed) return;
        it->second.closed = true;
        f = it->second.file;
    }
    auto* fo = f.as<wdf::FileObject>();
    if (fo->device->fileConfig.EvtFileCleanup) {
        CallerScope scope(&caller);
        detail::CallbackScope level(PASSIVE_LEVEL, "EvtFileCleanup", false);
        fo->device->fileConfig.EvtFileCleanup(static_cast<WDFFILEOBJECT>(fo->handle));
    }
    f = wdf::Ref();
    m.dropFileReference(file);
}

std::size_t FrameworkHarness::openFiles(WDFDEVICE device) const {
    std::lock_guard lk(impl_->mu);
    auto it = impl_->devices.find(device);
    return it == impl_->devices.end() ? 0 : it->second.openFiles;
}

WDFFILEOBJECT FrameworkHarness::fileObject(FileId file) const {
    std::lock_guard lk(impl_->mu);
    auto it = impl_->files.find(file);
    return it == impl_->files.end() ? nullptr : static_cast<WDFFILEOBJECT>(it->second.file->handle);
}

IoResult FrameworkHarness::deviceIoControl(FileId file, CallerContext& caller, ULONG ioControlCode,
                                           const void* input, ULONG inputLength, void* output,
                                           ULONG outputLength) {
    auto& m = *impl_;
    wdf::Ref f;
    {
        std::lock_guard lk(m.mu);
        auto it = m.files.find(file);
        if (it == m.files.end() || it->second.closed) return {STATUS_INVALID_HANDLE, 0};
        ++it->second.references;
        f = it->second.file;
    }
    IoResult result;
    auto* fo = f.as<wdf::FileObject>();
    wdf::Device* dev = fo->device;
    if ((ioControlCode & 3) != METHOD_BUFFERED) {
        result.status = STATUS_INVALID_DEVICE_REQUEST;
    } else if ((!input && inputLength) || (!output && outputLength)) {
        result.status = STATUS_INVALID_PARAMETER;
    } else {
        wdf::Ref req;
        result.status = wdf::createIoRequest(dev, fo, WdfRequestTypeDeviceControl, &req);
        if (NT_SUCCESS(result.status)) {
            auto* r = req.as<wdf::Request>();
            auto& p = r->parameters.Parameters.DeviceIoControl;
            p.IoControlCode = ioControlCode;
            p.InputBufferLength = inputLength;
            p.OutputBufferLength = outputLength;
            r->systemBuffer.assign(inputLength > outputLength ? inputLength : outputLength, 0);
            if (inputLength) std::memcpy(r->systemBuffer.data(), input, inputLength);
            if (dev->inCallerContext) {
                CallerScope scope(&caller);
                detail::CallbackScope level(PASSIVE_LEVEL, "EvtIoInCallerContext", false);
                dev->inCallerContext(static_cast<WDFDEVICE>(dev->handle),
                                     static_cast<WDFREQUEST>(r->handle));
            } else {
                wdf::Queue* queue;
                {
                    std::lock_guard lk(dev->mu);
                    queue = dev->defaultQueue;
                }
                NTSTATUS s = queue ? wdf::enqueue(queue, req) : STATUS_INVALID_DEVICE_REQUEST;
                if (!NT_SUCCESS(s)) wdf::completeIoRequest(r, s, nullptr, "the I/O manager");
            }
            if (m.waitForCompletion(r, "an I/O control request")) {
                {
                    std::lock_guard lk(r->mu);
                    result.status = r->status;
                    result.information = r->information;
                }
                if (!isErrorStatus(result.status)) {
                    if (result.information > outputLength) {
                        detail::bugCheck(kBugCheckIoManagerViolation,
                                         "an I/O control completed with more information (" +
                                             std::to_string(result.information) +
                                             " bytes) than its output buffer holds (" +
                                             std::to_string(outputLength) + ")");
                        result.information = outputLength;
                    }
                    if (result.information)
                        std::memcpy(output, r->systemBuffer.data(), result.information);
                }
                wdf::deleteObject(r);
            } else {
                result.status = STATUS_PENDING;
                result.information = 0;
            }
        }
    }
    f = wdf::Ref();
    m.dropFileReference(file);
    return result;
}

void FrameworkHarness::setRequestWaitLimit(Time100ns limit) {
    std::lock_guard lk(impl_->mu);
    impl_->waitLimit = limit;
}

}  // namespace standin::kernel
