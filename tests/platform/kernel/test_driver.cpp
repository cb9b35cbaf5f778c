#include "test_driver.h"

using namespace standin;
using namespace standin::kernel;

TestDriverHooks& hooks() {
    static TestDriverHooks* h = new TestDriverHooks;
    return *h;
}

namespace {

NTSTATUS EvtPrepare(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    hooks().record("prepare");
    return hooks().prepare ? hooks().prepare(device) : STATUS_SUCCESS;
}

NTSTATUS EvtRelease(WDFDEVICE, WDFCMRESLIST) {
    hooks().record("release");
    return STATUS_SUCCESS;
}

NTSTATUS EvtD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous) {
    hooks().record("d0entry:" + std::to_string(previous));
    return hooks().d0Entry ? hooks().d0Entry(device) : STATUS_SUCCESS;
}

NTSTATUS EvtD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
    hooks().record("d0exit:" + std::to_string(target));
    return STATUS_SUCCESS;
}

VOID EvtFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file) {
    hooks().record("create");
    NTSTATUS status = hooks().create ? hooks().create(device, request, file) : STATUS_SUCCESS;
    if (status != STATUS_PENDING) WdfRequestComplete(request, status);
}

VOID EvtFileCleanup(WDFFILEOBJECT file) {
    hooks().record("cleanup");
    if (hooks().cleanup) hooks().cleanup(file);
}

VOID EvtFileClose(WDFFILEOBJECT) {
    hooks().record("close");
}

VOID EvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t out, size_t in, ULONG code) {
    if (hooks().ioctl)
        hooks().ioctl(queue, request, out, in, code);
    else
        WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
}

VOID EvtInCallerContext(WDFDEVICE device, WDFREQUEST request) {
    if (hooks().inCaller && hooks().inCaller(device, request)) return;
    NTSTATUS status = WdfDeviceEnqueueRequest(device, request);
    if (!NT_SUCCESS(status)) WdfRequestComplete(request, status);
}

VOID EvtDeviceDestroy(WDFOBJECT) {
    hooks().record("device destroyed");
}

NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = EvtPrepare;
    pnp.EvtDeviceReleaseHardware = EvtRelease;
    pnp.EvtDeviceD0Entry = EvtD0Entry;
    pnp.EvtDeviceD0Exit = EvtD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    if (hooks().inCallerContext)
        WdfDeviceInitSetIoInCallerContextCallback(init, EvtInCallerContext);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtFileCreate, EvtFileClose, EvtFileCleanup);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, TestFileContext);
    WdfDeviceInitSetFileObjectConfig(init, &fileConfig, &fileAttributes);
    WdfDeviceInitSetIoType(init, WdfDeviceIoDirect);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TestDeviceContext);
    attributes.EvtDestroyCallback = EvtDeviceDestroy;
    attributes.ExecutionLevel = hooks().deviceLevel;
    attributes.SynchronizationScope = hooks().deviceScope;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ctx = GetTestDeviceContext(device);
    KeInitializeEvent(&ctx->event, NotificationEvent, FALSE);

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoDeviceControl = EvtIoDeviceControl;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, &ctx->queue);
    if (!NT_SUCCESS(status)) return status;

    WDF_DEVICE_PNP_CAPABILITIES caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    caps.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(device, &caps);
    static const GUID kInterface = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
    return WdfDeviceCreateDeviceInterface(device, &kInterface, nullptr);
}

}  // namespace

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

// ---------------------------------------------------------------------------------------------
NTSTATUS FakeBackend::start() {
    ++starts;
    return STATUS_SUCCESS;
}

void FakeBackend::submit(const std::shared_ptr<IoSubmission>& s) {
    ++submitted;
    if (beforeTaking) beforeTaking();
    if (never) {
        std::lock_guard lk(mu_);
        held_.push_back(s);
        return;
    }
    auto clock = machineClock();
    NTSTATUS st = status;
    ULONG_PTR info = information;
    clock->schedule(clock->now() + delay, RunLevel::Dispatch,
                    [s, st, info] { s->complete(st, info); });
}

void FakeBackend::cancel(const std::shared_ptr<IoSubmission>& s) {
    ++cancelled;
    std::lock_guard lk(mu_);
    for (auto it = held_.begin(); it != held_.end(); ++it) {
        if (*it == s) {
            held_.erase(it);
            break;
        }
    }
}

std::size_t FakeBackend::holding() {
    std::lock_guard lk(mu_);
    return held_.size();
}

// ---------------------------------------------------------------------------------------------
void KernelTest::SetUp() {
    clock = makeManualClock(1000 * kUnitsPerMs);
    resetMachine(clock);
    auto& h = hooks();
    std::lock_guard lk(h.mu);
    h.log.clear();
    h.deviceScope = WdfSynchronizationScopeNone;
    h.deviceLevel = WdfExecutionLevelDispatch;
    h.inCallerContext = true;
    h.prepare = nullptr;
    h.d0Entry = nullptr;
    h.create = nullptr;
    h.inCaller = nullptr;
    h.ioctl = nullptr;
    h.cleanup = nullptr;
}

void KernelTest::TearDown() {
    harness_.reset();
    resetMachine(makeManualClock());
}

WDFDEVICE KernelTest::addDevice(bool start) {
    if (!harness_) {
        harness_ = std::make_unique<FrameworkHarness>("Vq36Kernel");
        EXPECT_EQ(harness_->loadDriver(TestDriverEntry), STATUS_SUCCESS);
    }
    WDFDEVICE device = nullptr;
    EXPECT_EQ(harness_->addDevice(physical, &device), STATUS_SUCCESS);
    if (start && device) {
        EXPECT_EQ(harness_->startDevice(device), STATUS_SUCCESS);
    }
    return device;
}
