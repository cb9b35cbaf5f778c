#pragma once
// A small driver for the kernel stand-in's tests: every callback records itself and defers to a
// hook the test sets; plus the fixture that gives each test a fresh machine.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "knt/knt.h"
#include "standin/kernel/caller_context.h"
#include "standin/kernel/harness.h"
#include "standin/kernel/io_target.h"
#include "standin/kernel/machine.h"
#include "standin/kernel/memory.h"

struct TestDeviceContext {
    int value;
    WDFQUEUE queue;
    KEVENT event;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TestDeviceContext, GetTestDeviceContext)

struct TestFileContext {
    std::uint32_t id;
    void* view;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TestFileContext, GetTestFileContext)

struct TestDriverHooks {
    std::mutex mu;
    std::vector<std::string> log;

    WDF_SYNCHRONIZATION_SCOPE deviceScope = WdfSynchronizationScopeNone;
    WDF_EXECUTION_LEVEL deviceLevel = WdfExecutionLevelDispatch;
    bool inCallerContext = true;
    std::function<NTSTATUS(WDFDEVICE)> prepare;
    std::function<NTSTATUS(WDFDEVICE)> d0Entry;
    std::function<NTSTATUS(WDFDEVICE, WDFREQUEST, WDFFILEOBJECT)> create;
    // Returns true when it handled the request in the caller's context.
    std::function<bool(WDFDEVICE, WDFREQUEST)> inCaller;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t, size_t, ULONG)> ioctl;
    std::function<void(WDFFILEOBJECT)> cleanup;

    void record(const std::string& what) {
        std::lock_guard lk(mu);
        log.push_back(what);
    }
    std::vector<std::string> entries() {
        std::lock_guard lk(mu);
        return log;
    }
};

TestDriverHooks& hooks();
NTSTATUS TestDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// Serves a target: completes each request `delay` after it arrives with `status`, or holds it
// until the framework gives it up (`never`).
class FakeBackend final : public standin::kernel::IoTargetBackend {
  public:
    standin::Time100ns delay = 0;
    bool never = false;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    // Runs in submit before the backend takes the request (a slow hand-over).
    std::function<void()> beforeTaking;
    std::atomic<int> submitted{0};
    std::atomic<int> cancelled{0};
    std::atomic<int> starts{0};
    std::atomic<int> stops{0};

    NTSTATUS start() override;
    void stop() override { ++stops; }
    void submit(const std::shared_ptr<standin::kernel::IoSubmission>& s) override;
    void cancel(const std::shared_ptr<standin::kernel::IoSubmission>& s) override;
    std::size_t holding();

  private:
    std::mutex mu_;
    std::vector<std::shared_ptr<standin::kernel::IoSubmission>> held_;
};

class TestFormat final : public standin::kernel::RequestFormat {
  public:
    WDF_REQUEST_TYPE type() const override { return WdfRequestTypeDeviceControlInternal; }
};

class TestPhysicalDevice final : public standin::kernel::PhysicalDevice {
  public:
    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
    std::shared_ptr<standin::kernel::IoTargetBackend> lowerTargetBackend() override {
        return backend;
    }
};

// A fresh machine on a manual clock for each test; the driver is loaded on demand.
class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Loads the test driver and adds (and optionally starts) one device.
    WDFDEVICE addDevice(bool start = true);
    standin::kernel::FrameworkHarness& harness() { return *harness_; }
    std::shared_ptr<TestPhysicalDevice> physical = std::make_shared<TestPhysicalDevice>();
    std::shared_ptr<standin::Clock> clock;

    std::unique_ptr<standin::kernel::FrameworkHarness> harness_;
};

inline constexpr ULONG kTestTag = 'kdvq';
