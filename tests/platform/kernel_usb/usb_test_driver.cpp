#include "usb_test_driver.h"

#include <utility>

#include "standin/kernel/memory.h"

using namespace standin;
using namespace standin::kernel;

UsbDriverHooks& usbHooks() {
    static UsbDriverHooks* h = new UsbDriverHooks;
    return *h;
}

BOOLEAN CountingReadersFailed(WDFUSBPIPE, NTSTATUS status, USBD_STATUS) {
    auto& h = usbHooks();
    h.readersFailedIrql = KeGetCurrentIrql();
    h.readersFailedStatus = status;
    ++h.readersFailedCalls;
    return h.readersFailedAnswer ? TRUE : FALSE;
}

namespace {

VOID EvtReadComplete(WDFUSBPIPE, WDFMEMORY buffer, size_t bytes, WDFCONTEXT) {
    ReadRecord r;
    r.irql = KeGetCurrentIrql();
    r.buffer = buffer;
    size_t size = 0;
    auto* data = static_cast<const std::uint8_t*>(WdfMemoryGetBuffer(buffer, &size));
    if (data && bytes <= size) r.bytes.assign(data, data + bytes);
    std::lock_guard lk(usbHooks().mu);
    usbHooks().reads.push_back(std::move(r));
}

WDFUSBPIPE PipeOf(WDFUSBDEVICE usb, UCHAR interfaceNumber, UCHAR index) {
    for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(usb); ++i) {
        WDFUSBINTERFACE usbInterface = WdfUsbTargetDeviceGetInterface(usb, i);
        if (WdfUsbInterfaceGetInterfaceNumber(usbInterface) == interfaceNumber)
            return WdfUsbInterfaceGetConfiguredPipe(usbInterface, index, nullptr);
    }
    return nullptr;
}

NTSTATUS EvtPrepare(WDFDEVICE device, WDFCMRESLIST, WDFCMRESLIST) {
    auto* ctx = GetUsbTestContext(device);
    NTSTATUS status = WdfUsbTargetDeviceCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &ctx->usb);
    if (!NT_SUCCESS(status) || !usbHooks().selectNormal) return status;

    WDF_USB_INTERFACE_SETTING_PAIR pairs[8] = {};
    const UCHAR count = WdfUsbTargetDeviceGetNumInterfaces(ctx->usb);
    for (UCHAR i = 0; i < count && i < 8; ++i) {
        pairs[i].UsbInterface = WdfUsbTargetDeviceGetInterface(ctx->usb, i);
        const UCHAR number = WdfUsbInterfaceGetInterfaceNumber(pairs[i].UsbInterface);
        pairs[i].SettingIndex = (number == 1 || number == 2) ? 1 : 0;
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, count, pairs);
    status = WdfUsbTargetDeviceSelectConfig(ctx->usb, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) return status;
    ctx->playback = PipeOf(ctx->usb, 1, 0);
    ctx->capture = PipeOf(ctx->usb, 2, 0);
    ctx->messageIn = PipeOf(ctx->usb, 3, 0);
    ctx->messageOut = PipeOf(ctx->usb, 3, 1);
    if (!usbHooks().configureReader || !ctx->messageIn) return STATUS_SUCCESS;

    WDF_USB_CONTINUOUS_READER_CONFIG reader;
    WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&reader, EvtReadComplete, ctx, 64);
    reader.NumPendingReads = 15;
    reader.EvtUsbTargetPipeReadersFailed = usbHooks().readersFailed;
    status = WdfUsbTargetPipeConfigContinuousReader(ctx->messageIn, &reader);
    ctx->readerConfigured = NT_SUCCESS(status) ? 1 : 0;
    return status;
}

NTSTATUS EvtD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    auto* ctx = GetUsbTestContext(device);
    if (ctx->readerConfigured)
        ctx->readerStarted =
            NT_SUCCESS(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(ctx->messageIn))) ? 1 : 0;
    return STATUS_SUCCESS;
}

NTSTATUS EvtD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    auto* ctx = GetUsbTestContext(device);
    if (ctx->readerStarted) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(ctx->messageIn), WdfIoTargetCancelSentIo);
        ctx->readerStarted = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS EvtRelease(WDFDEVICE device, WDFCMRESLIST) {
    auto* ctx = GetUsbTestContext(device);
    if (!ctx->usb) return STATUS_SUCCESS;
    WdfIoTargetStop(WdfUsbTargetDeviceGetIoTarget(ctx->usb), WdfIoTargetCancelSentIo);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
    return WdfUsbTargetDeviceSelectConfig(ctx->usb, WDF_NO_OBJECT_ATTRIBUTES, &params);
}

NTSTATUS EvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDevicePrepareHardware = EvtPrepare;
    pnp.EvtDeviceReleaseHardware = EvtRelease;
    pnp.EvtDeviceD0Entry = EvtD0Entry;
    pnp.EvtDeviceD0Exit = EvtD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, UsbTestContext);
    WDFDEVICE device;
    return WdfDeviceCreate(&init, &attributes, &device);
}

}  // namespace

NTSTATUS UsbTestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config,
                           WDF_NO_HANDLE);
}

// ---------------------------------------------------------------------------------------------
void UsbTest::SetUp() {
    clock = makeManualClock(1000 * kUnitsPerMs);
    resetMachine(clock);
    bus = std::make_unique<usb::Bus>(clock);
    auto& h = usbHooks();
    h.selectNormal = true;
    h.configureReader = true;
    h.readersFailed = nullptr;
    h.readersFailedAnswer = true;
    h.readersFailedCalls = 0;
    h.readersFailedStatus = 0;
    h.readersFailedIrql = 0xFF;
    h.takeReads();
    harness = std::make_unique<FrameworkHarness>("Vq36Kernel");
    ASSERT_EQ(harness->loadDriver(UsbTestDriverEntry), STATUS_SUCCESS);
}

void UsbTest::TearDown() {
    harness.reset();
    EXPECT_TRUE(pool::outstandingByTag().empty()) << "pool left after the driver unloaded";
    for (auto& p : physicals) EXPECT_EQ(p->transfersOnBus(), 0u);
    physicals.clear();
    bus.reset();
    clock.reset();  // a real clock's threads are joined by the reset
    resetMachine(makeManualClock());
}

WDFDEVICE UsbTest::plug(vq36::DeviceConfig config, bool start) {
    vq = std::make_shared<vq36::Vq36Device>(std::move(config));
    port = bus->attach(vq);
    for (auto& d : bus->devices())
        if (d->port() == port) return add(d, start);
    ADD_FAILURE() << "the device did not arrive";
    return nullptr;
}

WDFDEVICE UsbTest::add(std::shared_ptr<usb::UsbDevice> device, bool start) {
    auto physical = makeUsbPhysicalDevice(std::move(device));
    physicals.push_back(physical);
    WDFDEVICE d = nullptr;
    EXPECT_EQ(harness->addDevice(physical, &d), STATUS_SUCCESS);
    if (d && start) {
        EXPECT_EQ(harness->startDevice(d), STATUS_SUCCESS);
    }
    return d;
}
