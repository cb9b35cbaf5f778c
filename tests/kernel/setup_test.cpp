// Device set-up: configuration modes, power transitions, release and destruction.

#include "kernel_fixture.h"

namespace kerneltest {
namespace {

using standin::vq36::DeviceConfig;
using standin::vq36::Variant;

DeviceConfig WithVariant(Variant v) {
    DeviceConfig c;
    c.variant = v;
    return c;
}

size_t CountCommands(const standin::vq36::Vq36Device& model, UCHAR command) {
    size_t n = 0;
    for (const auto& c : model.commands()) n += c.valid() && c.command() == command;
    return n;
}

TEST_F(KernelTest, NormalDeviceStartsWithEveryPipeAndAZeroedRecord) {
    ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    DeviceContext* c = ctx();
    EXPECT_FALSE(c->singleInterfaceMode);
    EXPECT_TRUE(c->isHighSpeed);
    EXPECT_NE(c->capturePipe, nullptr);
    EXPECT_NE(c->playbackPipe, nullptr);
    EXPECT_NE(c->messageInPipe, nullptr);
    EXPECT_NE(c->messageOutPipe, nullptr);
    EXPECT_TRUE(c->readerStarted);
    EXPECT_EQ(c->deviceDescriptor.idVendor, 0xB713);
    EXPECT_EQ(c->deviceDescriptor.idProduct, 0x2E00);
    for (ULONG r = 0; r < kRequestSlots; ++r) {
        EXPECT_NE(c->captureRequests[r], nullptr);
        EXPECT_NE(c->playbackRequests[r], nullptr);
    }
    ASSERT_NE(info(), nullptr);
    EXPECT_EQ(vq36::Load8(&info()->deviceGone), 0);
    EXPECT_EQ(vq36::Load64(&info()->asioBlockCount), 0u);
    auto interfaces = harness->deviceInterfaces(device);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].classGuid.Data1, vq36::kInterfaceGuidData1);
    EXPECT_TRUE(harness->pnpCapabilities(device).SurpriseRemovalOK == WdfTrue);
    // Interfaces 1 and 2 run their streaming setting; 0 and 3 their first.
    EXPECT_EQ(usbDevice->selectedSetting(1), 1);
    EXPECT_EQ(usbDevice->selectedSetting(2), 1);
    EXPECT_EQ(usbDevice->selectedSetting(0), 0);
    EXPECT_EQ(usbDevice->selectedSetting(3), 0);
}

TEST_F(KernelTest, SingleInterfaceDeviceIsOnlyConfigured) {
    ASSERT_EQ(plugAndStart(WithVariant(Variant::SingleInterface)), STATUS_SUCCESS);
    DeviceContext* c = ctx();
    EXPECT_TRUE(c->singleInterfaceMode);
    EXPECT_EQ(usbDevice->selectedSetting(0), 1);
    EXPECT_EQ(c->capturePipe, nullptr);
    EXPECT_EQ(c->messageInPipe, nullptr);
    EXPECT_FALSE(c->readerStarted);
    EXPECT_EQ(c->captureRequests[0], nullptr);
    EXPECT_FALSE(standin::kernel::timerResolution().requested);
    EXPECT_TRUE(model->commands().empty());  // not even the power-up notice

    EXPECT_EQ(harness->suspendDevice(device), STATUS_SUCCESS);
    EXPECT_EQ(harness->resumeDevice(device), STATUS_SUCCESS);
    EXPECT_TRUE(model->commands().empty());
    FileId file = open();  // keeps the device object after its removal
    harness->surpriseRemoveDevice(device);
    EXPECT_EQ(vq36::Load8(&info()->deviceGone), 0);
    EXPECT_FALSE(ctx()->isRemoved);
    harness->closeFile(file, caller);
}

TEST_F(KernelTest, DevicesThatCannotStreamFailToStart) {
    struct Case {
        Variant variant;
        NTSTATUS status;
    } cases[] = {
        {Variant::FullSpeed, STATUS_INVALID_DEVICE_STATE},
        {Variant::NoPlaybackInterface, STATUS_DEVICE_CONFIGURATION_ERROR},
        {Variant::NoCaptureInterface, STATUS_DEVICE_CONFIGURATION_ERROR},
        {Variant::MessageInterfaceOnePipe, STATUS_DEVICE_CONFIGURATION_ERROR},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.variant));
        TearDown();
        SetUp();
        EXPECT_EQ(plugAndStart(WithVariant(c.variant)), c.status);
    }
}

TEST_F(KernelTest, EveryPowerUpSendsThePowerUpNoticeAndRequestsAreMadeOnce) {
    ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    EXPECT_EQ(CountCommands(*model, vq36::kDeviceCmdPowerUp), 1u);
    for (const auto& c : model->commands()) {
        if (c.command() != vq36::kDeviceCmdPowerUp) continue;
        EXPECT_EQ(c.data(0), 1);
        for (size_t i = 1; i < 59; ++i) EXPECT_EQ(c.data(i), 0);
    }
    auto resolution = standin::kernel::timerResolution();
    EXPECT_TRUE(resolution.requested);
    EXPECT_EQ(resolution.requestedTime, 10000u);

    WDFREQUEST firstRequests[kRequestSlots];
    std::memcpy(firstRequests, ctx()->captureRequests, sizeof(firstRequests));

    ASSERT_EQ(harness->suspendDevice(device), STATUS_SUCCESS);
    EXPECT_FALSE(ctx()->readerStarted);
    EXPECT_FALSE(standin::kernel::timerResolution().requested);
    ASSERT_EQ(harness->resumeDevice(device), STATUS_SUCCESS);
    settle();
    EXPECT_EQ(CountCommands(*model, vq36::kDeviceCmdPowerUp), 2u);
    EXPECT_TRUE(standin::kernel::timerResolution().requested);
    EXPECT_EQ(std::memcmp(firstRequests, ctx()->captureRequests, sizeof(firstRequests)), 0);
}

TEST_F(KernelTest, ReleaseMarksTheRecordGoneAndDestroyLeavesNothingBehind) {
    ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    FileId file = open();
    ASSERT_EQ(initBuffers(file).status, STATUS_SUCCESS);  // the regions exist
    const auto pagesBefore = standin::kernel::pages::outstanding();
    EXPECT_GE(pagesBefore.pageLists, 4u);

    vq36::AsioInfo* record = info();
    harness->surpriseRemoveDevice(device);
    EXPECT_EQ(vq36::Load8(&record->deviceGone), 1);
    EXPECT_TRUE(ctx()->isRemoved);
    EXPECT_TRUE(harness->deviceExists(device));  // a handle is still open

    harness->closeFile(file, caller);
    clock->runDue();
    EXPECT_FALSE(harness->deviceExists(device));
    EXPECT_EQ(standin::kernel::pool::outstanding(kTag).allocations, 0u);
    const auto pagesAfter = standin::kernel::pages::outstanding();
    EXPECT_EQ(pagesAfter.pageLists, 0u);
    EXPECT_EQ(pagesAfter.systemViews, 0u);
    EXPECT_EQ(pagesAfter.userViews, 0u);
}

TEST_F(KernelTest, ReleaseWaitsForBlockSizeWorkAtMostOneSecond) {
    ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    FileId file = open();  // keeps the device object after its removal
    // A work item that never finishes, as far as the release can tell.
    WdfSpinLockAcquire(ctx()->stateLock);
    ctx()->outstandingWorkItems = 1;
    WdfSpinLockRelease(ctx()->stateLock);
    const auto before = clock->now();
    harness->surpriseRemoveDevice(device);
    const auto waited = clock->now() - before;
    EXPECT_GE(waited, 1000 * standin::kUnitsPerMs);
    EXPECT_LT(waited, 1200 * standin::kUnitsPerMs);
    ctx()->outstandingWorkItems = 0;
    harness->closeFile(file, caller);
}

TEST_F(KernelTest, AddFailsWhenTheRecordCannotBeHad) {
    standin::kernel::pages::shortenNextAllocations(1);
    EXPECT_EQ(plugAndAdd(), STATUS_INSUFFICIENT_RESOURCES);
    standin::kernel::pages::failNextAllocations(1);
    WDFDEVICE second = nullptr;
    EXPECT_EQ(harness->addDevice(standin::kernel::makeUsbPhysicalDevice(usbDevice), &second),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(standin::kernel::pages::outstanding().pageLists, 0u);
}

TEST_F(KernelTest, StreamBuffersAreAllocatedOnceAndAPartialFailureIsCompletedLater) {
    ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    standin::kernel::pages::shortenNextAllocations(1);  // region A's pages come short
    EXPECT_EQ(AllocateStreamBuffers(ctx()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(ctx()->capturePool, nullptr);  // the pool came first and stays
    EXPECT_EQ(ctx()->capturePlanesView, nullptr);
    EXPECT_EQ(ctx()->playbackClippedView, nullptr);
    EXPECT_EQ(standin::kernel::pages::outstanding().pageLists, 1u);  // only the record's

    // The next call completes what is missing instead of trusting the pool alone.
    EXPECT_EQ(AllocateStreamBuffers(ctx()), STATUS_SUCCESS);
    EXPECT_NE(ctx()->capturePlanesView, nullptr);
    EXPECT_NE(ctx()->playbackClippedView, nullptr);
    EXPECT_NE(ctx()->playbackUnclippedView, nullptr);
    const auto pages = standin::kernel::pages::outstanding();
    const auto pool = standin::kernel::pool::outstanding(kTag);
    EXPECT_EQ(pages.pageLists, 4u);

    // A further call allocates nothing.
    EXPECT_EQ(AllocateStreamBuffers(ctx()), STATUS_SUCCESS);
    EXPECT_EQ(standin::kernel::pages::outstanding().pageLists, pages.pageLists);
    EXPECT_EQ(standin::kernel::pool::outstanding(kTag).allocations, pool.allocations);
}

}  // namespace
}  // namespace kerneltest

namespace kerneltest {
namespace {

// A caller whose process refuses one chosen mapping.
class RefusingCaller final : public standin::kernel::CallerContext {
public:
    RefusingCaller(standin::kernel::InProcessCallerContext& inner, int refuse)
        : inner_(inner), refuse_(refuse) {}
    std::uint32_t processId() const override { return inner_.processId(); }
    void* mapRegion(int fd, std::size_t size) override {
        return ++mappings_ == refuse_ ? nullptr : inner_.mapRegion(fd, size);
    }
    bool unmapRegion(void* address, std::size_t size) override {
        return inner_.unmapRegion(address, size);
    }
    standin::kernel::EventLookup lookupEvent(HANDLE handle) override {
        return inner_.lookupEvent(handle);
    }
    void* currentThreadObject() override { return inner_.currentThreadObject(); }

private:
    standin::kernel::InProcessCallerContext& inner_;
    int refuse_;
    int mappings_ = 0;
};

TEST_F(KernelTest, AHalfMappedHandleMustDisposeBeforeItInitialisesAgain) {
    ASSERT_EQ(plugAndStart(), STATUS_SUCCESS);
    FileId file = open();
    auto event = std::make_unique<standin::kernel::UserEvent>();
    ULONG in[2] = {static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(caller.addEvent(event->fd()))),
                   0};
    std::array<UCHAR, 36> out{};
    RefusingCaller refusing(caller, 2);  // the playback ring cannot be mapped
    auto r = harness->deviceIoControl(file, refusing, vq36::kIoCtlInitBuffers, in, 8, out.data(),
                                      36);
    EXPECT_EQ(r.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(caller.mappedViews(), 1u);  // the accumulator's view stays with the handle
    // Trying again maps nothing twice.
    EXPECT_EQ(ioctl(file, vq36::kIoCtlInitBuffers, in, 8, out.data(), 36).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(caller.mappedViews(), 1u);
    EXPECT_EQ(ioctl(file, vq36::kIoCtlDisposeOfBuffers, nullptr, 0, nullptr, 0).status,
              STATUS_SUCCESS);
    EXPECT_EQ(caller.mappedViews(), 0u);
    EXPECT_EQ(ioctl(file, vq36::kIoCtlInitBuffers, in, 8, out.data(), 36).status, STATUS_SUCCESS);
    EXPECT_EQ(caller.mappedViews(), 4u);
}

}  // namespace
}  // namespace kerneltest
