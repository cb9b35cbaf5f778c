// Framework objects: parents and children, destroy order, typed contexts, handle misuse.

#include "test_driver.h"

using namespace standin;
using namespace standin::kernel;

namespace {

struct NodeContext {
    int name;
    std::uint64_t payload[4];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NodeContext, GetNodeContext)

struct OtherContext {
    int x;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OtherContext, GetOtherContext)

std::vector<std::string> gEvents;

VOID NodeCleanup(WDFOBJECT o) {
    gEvents.push_back("cleanup " + std::to_string(GetNodeContext(o)->name));
}
VOID NodeDestroy(WDFOBJECT o) {
    // The context is still there while the destroy callback runs.
    gEvents.push_back("destroy " + std::to_string(GetNodeContext(o)->name));
}

WDFMEMORY makeNode(WDFOBJECT parent, int name, bool* contextWasZero = nullptr) {
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&a, NodeContext);
    a.ParentObject = parent;
    a.EvtCleanupCallback = NodeCleanup;
    a.EvtDestroyCallback = NodeDestroy;
    WDFMEMORY m = nullptr;
    EXPECT_EQ(WdfMemoryCreate(&a, NonPagedPool, kTestTag, 16, &m, nullptr), STATUS_SUCCESS);
    auto* ctx = GetNodeContext(m);
    if (contextWasZero)
        *contextWasZero = ctx->name == 0 && ctx->payload[0] == 0 && ctx->payload[3] == 0;
    ctx->name = name;
    return m;
}

class FrameworkObjects : public KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        gEvents.clear();
    }
};

TEST_F(FrameworkObjects, DeletingAParentDeletesItsChildrenFirst) {
    WDFDEVICE device = addDevice(false);
    bool zeroed = false;
    WDFMEMORY root = makeNode(device, 1, &zeroed);
    EXPECT_TRUE(zeroed);
    WDFMEMORY child = makeNode(root, 2);
    makeNode(child, 3);
    makeNode(root, 4);
    EXPECT_EQ(pool::outstanding(kTestTag).allocations, 4u);

    WdfObjectDelete(root);
    EXPECT_EQ(gEvents,
              (std::vector<std::string>{"cleanup 4", "destroy 4", "cleanup 3", "destroy 3",
                                        "cleanup 2", "destroy 2", "cleanup 1", "destroy 1"}));
    EXPECT_EQ(pool::outstanding(kTestTag).allocations, 0u);
}

TEST_F(FrameworkObjects, ADeviceTakesItsObjectsWithItWhenItGoes) {
    WDFDEVICE device = addDevice(true);
    makeNode(device, 7);
    FileId file;
    InProcessCallerContext process;
    ASSERT_EQ(harness().openFile(device, process, &file), STATUS_SUCCESS);

    harness().surpriseRemoveDevice(device);
    // An open handle keeps the device object (and its children) alive after removal.
    EXPECT_TRUE(harness().deviceExists(device));
    EXPECT_TRUE(gEvents.empty());
    harness().closeFile(file, process);
    EXPECT_FALSE(harness().deviceExists(device));
    EXPECT_EQ(gEvents, (std::vector<std::string>{"cleanup 7", "destroy 7"}));
    auto log = hooks().entries();
    EXPECT_EQ(log.back(), "device destroyed");
}

TEST_F(FrameworkObjects, TypedContextsAnswerOnlyForTheirType) {
    WDFDEVICE device = addDevice(false);
    WDFMEMORY node = makeNode(device, 5);
    EXPECT_NE(GetNodeContext(node), nullptr);
    EXPECT_EQ(GetOtherContext(node), nullptr);
    EXPECT_EQ(WdfObjectGetTypedContext(node, NodeContext), GetNodeContext(node));
    EXPECT_EQ(GetNodeContext(device), nullptr);
    EXPECT_NE(GetTestDeviceContext(device), nullptr);

    WDFMEMORY plain;
    EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, kTestTag, 8, &plain, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(GetNodeContext(plain), nullptr);
    WdfObjectDelete(plain);
}

TEST_F(FrameworkObjects, MisusedHandlesAreCaught) {
    WDFDEVICE device = addDevice(false);
    WDFMEMORY node = makeNode(device, 1);
    WdfObjectDelete(node);

    BugCheckRecorder checks;
    WdfObjectDelete(node);  // deleted already
    EXPECT_EQ(checks.count(kBugCheckWdfViolation), 1u);
    WdfObjectDelete(device);  // owned by the framework, not the driver
    EXPECT_EQ(checks.count(kBugCheckWdfViolation), 2u);
    EXPECT_TRUE(harness().deviceExists(device));
    // A handle of one kind where another is expected.
    EXPECT_EQ(WdfIoQueueGetDevice(reinterpret_cast<WDFQUEUE>(device)), nullptr);
    EXPECT_EQ(checks.count(kBugCheckWdfViolation), 3u);
}

TEST_F(FrameworkObjects, ObjectCreationFailsWhenPoolRunsOut) {
    WDFDEVICE device = addDevice(false);
    pool::failNextAllocations(1, pool::tagFromText("Vq36"));
    WDF_OBJECT_ATTRIBUTES a;
    WDF_OBJECT_ATTRIBUTES_INIT(&a);
    a.ParentObject = device;
    WDFSPINLOCK lock = nullptr;
    EXPECT_EQ(WdfSpinLockCreate(&a, &lock), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(lock, nullptr);
    EXPECT_EQ(WdfSpinLockCreate(&a, &lock), STATUS_SUCCESS);

    // A timer needs a parent, and a device among its ancestors.
    WDF_TIMER_CONFIG tc;
    WDF_TIMER_CONFIG_INIT(&tc, [](WDFTIMER) {});
    WDFTIMER timer;
    EXPECT_EQ(WdfTimerCreate(&tc, WDF_NO_OBJECT_ATTRIBUTES, &timer), STATUS_INVALID_PARAMETER);
    WDF_OBJECT_ATTRIBUTES underDriver;
    WDF_OBJECT_ATTRIBUTES_INIT(&underDriver);
    underDriver.ParentObject = harness().driver();
    EXPECT_EQ(WdfTimerCreate(&tc, &underDriver, &timer), STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace
