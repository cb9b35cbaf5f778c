// Pool with tag accounting, memory objects, page lists and their kernel and user views.

#include <cstring>

#include "test_driver.h"

using namespace standin;
using namespace standin::kernel;

namespace {

constexpr SIZE_T kRecordBytes = 123255;

PMDL allocatePages(SIZE_T bytes) {
    PHYSICAL_ADDRESS low, high, skip;
    low.QuadPart = 0;
    high.QuadPart = 0xFFFFFFFF;
    skip.QuadPart = 0;
    return MmAllocatePagesForMdl(low, high, skip, bytes);
}

class Memory : public KernelTest {};

TEST_F(Memory, PoolIsCountedPerTagAndALeakShows) {
    EXPECT_EQ(pool::tagFromText("qvdk"), kTestTag);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTestTag);
    void* b = ExAllocatePoolWithTag(PagedPool, 28, kTestTag);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 5, 'rhto');
    ASSERT_TRUE(a && b && other);
    EXPECT_EQ(pool::outstanding(kTestTag).allocations, 2u);
    EXPECT_EQ(pool::outstanding(kTestTag).bytes, 128u);
    ExFreePoolWithTag(a, kTestTag);
    ExFreePool(other);
    // b is "forgotten": the accounting catches it.
    EXPECT_EQ(pool::outstanding(kTestTag).allocations, 1u);
    EXPECT_EQ(pool::outstanding(kTestTag).bytes, 28u);
    EXPECT_EQ(pool::outstandingByTag().count('rhto'), 0u);
    ExFreePoolWithTag(b, kTestTag);
    EXPECT_EQ(pool::outstanding(kTestTag).allocations, 0u);
}

TEST_F(Memory, PoolMisuseIsCaught) {
    BugCheckRecorder checks;
    void* a = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
    ExFreePoolWithTag(a, 'gnrw');  // wrong tag: refused, block stays
    EXPECT_EQ(checks.count(kBugCheckBadPoolCaller), 1u);
    ExFreePoolWithTag(a, kTestTag);
    ExFreePool(a);  // twice
    EXPECT_EQ(checks.count(kBugCheckBadPoolCaller), 2u);
    {
        IrqlScope dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 16, kTestTag), nullptr);
        EXPECT_EQ(checks.count(kBugCheckIrqlNotLessOrEqual), 1u);
        void* n = ExAllocatePoolWithTag(NonPagedPool, 16, kTestTag);
        EXPECT_NE(n, nullptr);
        ExFreePool(n);
    }
    EXPECT_EQ(checks.count(), 3u);
    EXPECT_EQ(pool::outstanding(kTestTag).allocations, 0u);
}

TEST_F(Memory, AllocationFaultsHitOnlyTheirTag) {
    pool::failNextAllocations(2, kTestTag);
    void* other = ExAllocatePoolWithTag(NonPagedPool, 8, 'rhto');
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag), nullptr);
    WDFDEVICE device = addDevice(false);
    WDFMEMORY m = nullptr;
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = device;
    EXPECT_EQ(WdfMemoryCreate(&a, NonPagedPool, kTestTag, 64, &m, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m, nullptr);
    void* a3 = ExAllocatePoolWithTag(NonPagedPool, 8, kTestTag);
    EXPECT_NE(a3, nullptr);
    ExFreePool(a3);
    ExFreePool(other);
}

TEST_F(Memory, MemoryObjectsCountUnderTheirTagAndGoWithTheirParent) {
    WDFDEVICE device = addDevice(false);
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = device;
    WDFMEMORY parent;
    PVOID buffer = nullptr;
    ASSERT_EQ(WdfMemoryCreate(&a, NonPagedPool, kTestTag, 64, &parent, &buffer), STATUS_SUCCESS);
    size_t size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(parent, &size), buffer);
    EXPECT_EQ(size, 64u);
    a.ParentObject = parent;
    WDFMEMORY child;
    ASSERT_EQ(WdfMemoryCreate(&a, NonPagedPool, kTestTag, 36, &child, nullptr), STATUS_SUCCESS);
    unsigned char storage[32] = {};
    WDFMEMORY pre;
    ASSERT_EQ(WdfMemoryCreatePreallocated(&a, storage, sizeof storage, &pre), STATUS_SUCCESS);
    EXPECT_EQ(WdfMemoryGetBuffer(pre, nullptr), storage);
    EXPECT_EQ(pool::outstanding(kTestTag).allocations, 2u);
    EXPECT_EQ(pool::outstanding(kTestTag).bytes, 100u);

    WDF_MEMORY_DESCRIPTOR d;
    WDFMEMORY_OFFSET offsets{8, 16};
    WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(&d, parent, &offsets);
    void* p;
    std::size_t len;
    ASSERT_TRUE(resolveMemoryDescriptor(&d, &p, &len));
    EXPECT_EQ(p, static_cast<unsigned char*>(buffer) + 8);
    EXPECT_EQ(len, 16u);
    offsets.BufferLength = 60;  // beyond the buffer
    EXPECT_FALSE(resolveMemoryDescriptor(&d, &p, &len));

    WdfObjectDelete(parent);
    EXPECT_EQ(pool::outstanding(kTestTag).allocations, 0u);
}

TEST_F(Memory, KernelAndUserViewsOfAPageListSeeTheSameBytes) {
    PMDL mdl = allocatePages(kRecordBytes);
    ASSERT_NE(mdl, nullptr);
    EXPECT_GE(MmGetMdlByteCount(mdl), kRecordBytes);
    auto* kernel = static_cast<unsigned char*>(MmMapLockedPagesSpecifyCache(
        mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority));
    ASSERT_NE(kernel, nullptr);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), kernel);
    EXPECT_EQ(kernel[0], 0);
    EXPECT_EQ(kernel[kRecordBytes - 1], 0);  // pages come zeroed

    InProcessCallerContext process;
    unsigned char* user;
    {
        CallerScope inProcess(&process);
        user = static_cast<unsigned char*>(MmMapLockedPagesSpecifyCache(
            mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority));
    }
    ASSERT_NE(user, nullptr);
    EXPECT_NE(user, kernel);
    kernel[822] = 0x5A;
    user[kRecordBytes - 1] = 0xA5;
    EXPECT_EQ(user[822], 0x5A);
    EXPECT_EQ(kernel[kRecordBytes - 1], 0xA5);
    auto usage = pages::outstanding();
    EXPECT_EQ(usage.pageLists, 1u);
    EXPECT_EQ(usage.systemViews, 1u);
    EXPECT_EQ(usage.userViews, 1u);

    {
        CallerScope inProcess(&process);
        MmUnmapLockedPages(user, mdl);
    }
    MmUnmapLockedPages(kernel, mdl);
    EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    MmFreePagesFromMdl(mdl);
    IoFreeMdl(mdl);
    usage = pages::outstanding();
    EXPECT_EQ(usage.pageLists + usage.systemViews + usage.userViews, 0u);
    EXPECT_EQ(process.mappedViews(), 0u);
}

TEST_F(Memory, PageListFaultsGiveNoListAShortOneOrNoMapping) {
    pages::failNextAllocations(1);
    EXPECT_EQ(allocatePages(kRecordBytes), nullptr);
    pages::shortenNextAllocations(1);
    PMDL shortList = allocatePages(kRecordBytes);
    ASSERT_NE(shortList, nullptr);
    EXPECT_LT(MmGetMdlByteCount(shortList), kRecordBytes);
    pages::failNextSystemMappings(1);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(shortList, NormalPagePriority), nullptr);
    EXPECT_NE(MmGetSystemAddressForMdlSafe(shortList, NormalPagePriority), nullptr);
    MmUnmapLockedPages(shortList->MappedSystemVa, shortList);
    MmFreePagesFromMdl(shortList);
    ExFreePool(shortList);
    EXPECT_EQ(pages::outstanding().pageLists, 0u);
}

TEST_F(Memory, PageListMisuseIsCaught) {
    BugCheckRecorder checks;
    PMDL mdl = allocatePages(3 * PAGE_SIZE);
    ASSERT_NE(mdl, nullptr);
    // A user view needs a process to map into.
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, 0), nullptr);
    EXPECT_EQ(checks.count(kBugCheckMemoryManagement), 1u);

    InProcessCallerContext owner, stranger;
    void* view;
    {
        CallerScope s(&owner);
        view = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, 0);
    }
    ASSERT_NE(view, nullptr);
    {
        CallerScope s(&stranger);  // unmapping in another process would hit a random range
        MmUnmapLockedPages(view, mdl);
    }
    EXPECT_EQ(checks.count(kBugCheckMemoryManagement), 2u);
    EXPECT_EQ(owner.mappedViews(), 1u);
    {
        IrqlScope dispatch(DISPATCH_LEVEL);  // user mappings are pageable work
        CallerScope s(&owner);
        EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, 0),
                  nullptr);
    }
    EXPECT_EQ(checks.count(kBugCheckIrqlNotLessOrEqual), 1u);

    // Pages freed while views remain.
    MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
    MmFreePagesFromMdl(mdl);
    EXPECT_EQ(checks.count(kBugCheckMemoryManagement), 3u);
    IoFreeMdl(mdl);

    // A page list whose MDL is freed before its pages stays counted as a leak.
    PMDL leaked = allocatePages(PAGE_SIZE);
    IoFreeMdl(leaked);
    EXPECT_EQ(pages::outstanding().pageLists, 1u);
}

TEST_F(Memory, AProcessThatEndsTakesItsViewsWithIt) {
    PMDL mdl = allocatePages(PAGE_SIZE);
    {
        InProcessCallerContext process;
        CallerScope s(&process);
        EXPECT_NE(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, 0),
                  nullptr);
        EXPECT_EQ(pages::outstanding().userViews, 1u);
    }
    EXPECT_EQ(pages::outstanding().userViews, 0u);
    BugCheckRecorder checks;
    MmFreePagesFromMdl(mdl);
    IoFreeMdl(mdl);
    EXPECT_EQ(checks.count(), 0u);
}

// A process whose views all land at one address, as separate address spaces allow.
class OneAddressProcess final : public CallerContext {
  public:
    OneAddressProcess(std::uint32_t id, void* address) : id_(id), address_(address) {}
    std::uint32_t processId() const override { return id_; }
    void* mapRegion(int, std::size_t) override { return address_; }
    bool unmapRegion(void*, std::size_t) override {
        ++unmaps;
        return true;
    }
    EventLookup lookupEvent(HANDLE) override { return {}; }
    void* currentThreadObject() override { return nullptr; }
    int unmaps = 0;

  private:
    std::uint32_t id_;
    void* address_;
};

TEST_F(Memory, TwoProcessesWithViewsAtOneAddressEachUnmapTheirOwn) {
    BugCheckRecorder checks;
    PMDL mdl = allocatePages(PAGE_SIZE);
    static char spot;
    OneAddressProcess first(0x4001, &spot), second(0x4002, &spot);
    for (OneAddressProcess* process : {&first, &second}) {
        CallerScope s(process);
        EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, 0), &spot);
    }
    {
        CallerScope s(&second);
        MmUnmapLockedPages(&spot, mdl);
    }
    EXPECT_EQ(checks.count(), 0u);
    EXPECT_EQ(second.unmaps, 1);
    EXPECT_EQ(first.unmaps, 0);
    EXPECT_EQ(pages::outstanding().userViews, 1u);
    {
        CallerScope s(&second);  // its view is gone; the other process's is not its to unmap
        MmUnmapLockedPages(&spot, mdl);
    }
    EXPECT_EQ(checks.count(kBugCheckMemoryManagement), 1u);
    EXPECT_EQ(first.unmaps, 0);
    {
        CallerScope s(&first);
        MmUnmapLockedPages(&spot, mdl);
    }
    EXPECT_EQ(first.unmaps, 1);
    EXPECT_EQ(pages::outstanding().userViews, 0u);
    MmFreePagesFromMdl(mdl);
    IoFreeMdl(mdl);
    EXPECT_EQ(checks.count(), 1u);
}

}  // namespace
