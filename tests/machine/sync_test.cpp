// Events, waits, threads and priorities of the user-mode side (no machine needed, except for
// events named across processes, which process_test.cpp covers).

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "machine_fixture.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace {

using Clock = std::chrono::steady_clock;

long elapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class Events : public ::testing::Test {
  protected:
    standin::win32::ScopedFreshMachine root;  // no machine runs on it
};

TEST_F(Events, ManualResetStaysSignalledUntilReset) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(CloseHandle(e));

    HANDLE initial = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(initial, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    CloseHandle(initial);
}

TEST_F(Events, AutomaticResetReleasesOneWaiterPerSet) {
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(e, nullptr);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_TRUE(SetEvent(e));  // a second set of a signalled event changes nothing
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Each set releases exactly one of the waiting threads.
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (WaitForSingleObject(e, 10000) == WAIT_OBJECT_0) ++woken;
        });
    }
    for (int released = 1; released <= 3; ++released) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(e);
        ASSERT_TRUE(machinetest::eventually([&] { return woken.load() >= released; }, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(woken.load(), released);
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(e);
}

TEST_F(Events, WaitsTimeOutAndWakeWhenSet) {
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(e, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_GE(elapsedMs(start), 95);
    EXPECT_LT(elapsedMs(start), 3000);

    std::thread setter([e] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SetEvent(e);
    });
    start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_LT(elapsedMs(start), 5000);
    setter.join();
    CloseHandle(e);
}

TEST_F(Events, CallsOnHandlesThatAreNoEventsFail) {
    HANDLE bogus = reinterpret_cast<HANDLE>(std::uintptr_t{0x7FFFFFF0});
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(bogus, 0), static_cast<DWORD>(WAIT_FAILED));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(bogus));
    EXPECT_FALSE(ResetEvent(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(e);
    EXPECT_EQ(WaitForSingleObject(e, 0), static_cast<DWORD>(WAIT_FAILED));
    EXPECT_FALSE(SetEvent(e));
}

TEST_F(Events, NamedEventsAreOneObjectPerName) {
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    EXPECT_EQ(sd.Control & SE_DACL_PRESENT, SE_DACL_PRESENT);
    // The 12 bytes of a 32-bit record, as the product fills it in.
    SECURITY_ATTRIBUTES sa{12, &sd, FALSE};

    HANDLE a = CreateEventA(&sa, TRUE, FALSE, "VexaVq36AsioBufferReady0");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE b = CreateEventA(&sa, FALSE, TRUE, "VexaVq36AsioBufferReady0");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_NE(a, b);
    // The second creation kept the first one's reset mode and state.
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(b, 0), static_cast<DWORD>(WAIT_OBJECT_0));

    HANDLE global = OpenEventA(EVENT_ALL_ACCESS, FALSE, "Global\\VexaVq36AsioBufferReady0");
    ASSERT_NE(global, nullptr);
    ResetEvent(global);
    EXPECT_EQ(WaitForSingleObject(a, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    // Names are case-sensitive; the object goes with its last handle.
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "vexavq36asiobufferready0"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(global);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "VexaVq36AsioBufferReady0"), nullptr);

    std::string tooLong(MAX_PATH + 1, 'x');
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, tooLong.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "a\\b"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_PATHNAME));
}

TEST_F(Events, SecurityDescriptorsCheckTheirRevision) {
    SECURITY_DESCRIPTOR sd;
    EXPECT_FALSE(InitializeSecurityDescriptor(&sd, 2));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorDacl(&sd, FALSE, nullptr, FALSE));
    EXPECT_EQ(sd.Control & SE_DACL_PRESENT, 0);
    sd.Revision = 7;
    EXPECT_FALSE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_UNKNOWN_REVISION));
}

// ---------------------------------------------------------------------------------------------
DWORD WINAPI returnParameter(LPVOID p) {
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p));
}

struct Gate {
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> id{0};
    std::atomic<int> priority{THREAD_PRIORITY_ERROR_RETURN};
    ~Gate() { CloseHandle(go); }
};

DWORD WINAPI waitForGate(LPVOID p) {
    auto* gate = static_cast<Gate*>(p);
    // The id is stored last: the test reads the priority once it sees the id.
    gate->priority = GetThreadPriority(GetCurrentThread());
    gate->id = GetCurrentThreadId();
    WaitForSingleObject(gate->go, INFINITE);
    return 7;
}

TEST(Threads, RunReportTheirExitCodeAndCanBeWaitedFor) {
    Gate gate;
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, waitForGate, &gate, 0, &id);
    ASSERT_NE(t, nullptr);
    ASSERT_TRUE(machinetest::eventually([&] { return gate.id.load() != 0; }));
    EXPECT_EQ(id, gate.id.load());
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(gate.priority.load(), THREAD_PRIORITY_NORMAL);

    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(WaitForSingleObject(t, 20), static_cast<DWORD>(WAIT_TIMEOUT));
    SetEvent(gate.go);
    EXPECT_EQ(WaitForSingleObject(t, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(t, 0), static_cast<DWORD>(WAIT_OBJECT_0));  // stays signalled
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(t));

    HANDLE u = CreateThread(nullptr, 64 * 1024, returnParameter,
                            reinterpret_cast<LPVOID>(std::uintptr_t{1234}), 0, nullptr);
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(WaitForSingleObject(u, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(GetExitCodeThread(u, &code));
    EXPECT_EQ(code, 1234u);
    CloseHandle(u);
    EXPECT_FALSE(GetExitCodeThread(u, &code));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Threads, RefuseWhatIsNotOffered) {
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(CreateThread(nullptr, 0, returnParameter, nullptr, CREATE_SUSPENDED, nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(SetThreadPriority(event, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetThreadPriority(event), THREAD_PRIORITY_ERROR_RETURN);
    CloseHandle(event);
}

TEST(Threads, PrioritiesLiveInTheThreadObjectAsTheKernelSeesThem) {
    struct Case {
        int relative;
        int byte;
    };
    const Case cases[] = {{THREAD_PRIORITY_IDLE, 1},          {THREAD_PRIORITY_LOWEST, 6},
                          {THREAD_PRIORITY_BELOW_NORMAL, 7},  {THREAD_PRIORITY_NORMAL, 8},
                          {THREAD_PRIORITY_ABOVE_NORMAL, 9},  {THREAD_PRIORITY_HIGHEST, 10},
                          {THREAD_PRIORITY_TIME_CRITICAL, 15}};
    // On a thread of its own: lowered nice values cannot always be raised again.
    std::thread([&] {
        HANDLE self = GetCurrentThread();
        EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_NORMAL);
        for (const Case& c : cases) {
            EXPECT_TRUE(SetThreadPriority(self, c.relative));
            EXPECT_EQ(GetThreadPriority(self), c.relative);
            EXPECT_EQ(standin::win32::threadObjectPriority(self), c.byte);
        }
        EXPECT_FALSE(SetThreadPriority(self, 3));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_EQ(GetThreadPriority(self), THREAD_PRIORITY_TIME_CRITICAL);
    }).join();

    // Another thread's priority through its handle.
    Gate gate;
    HANDLE t = CreateThread(nullptr, 0, waitForGate, &gate, 0, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_HIGHEST);
    EXPECT_EQ(standin::win32::threadObjectPriority(t), 10);
    SetEvent(gate.go);
    WaitForSingleObject(t, 5000);
    // An ended thread has no thread object any more; its priority is what was set.
    EXPECT_EQ(standin::win32::threadObjectPriority(t), -1);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_HIGHEST);
    CloseHandle(t);
}

DWORD WINAPI nothing(LPVOID) {
    return 0;
}

TEST(Threads, SlotsOfEndedThreadsServeNewThreads) {
    // More threads over time than the block has slots.
    for (int round = 0; round < 5000; ++round) {
        HANDLE t = CreateThread(nullptr, 0, nothing, nullptr, 0, nullptr);
        ASSERT_NE(t, nullptr) << "thread " << round;
        ASSERT_EQ(WaitForSingleObject(t, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(t);
    }
}

}  // namespace
