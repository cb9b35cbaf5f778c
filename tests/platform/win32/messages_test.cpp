// Per-thread message queues: posting, order, filters, the quit message and the queue's limit.

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "win32/windows.h"

namespace {

// Makes the calling thread's queue, as programs do before others post to them.
void makeQueue() {
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
}

TEST(MessageQueue, PostedMessagesComeInOrderWithPeekAndFilters) {
    makeQueue();
    const DWORD self = GetCurrentThreadId();
    ASSERT_TRUE(PostThreadMessageA(self, WM_USER + 1, 10, 11));
    ASSERT_TRUE(PostMessageW(nullptr, WM_APP + 2, 20, 21));  // a null window: this thread
    ASSERT_TRUE(PostThreadMessageW(self, WM_USER + 3, 30, 31));

    MSG msg{};
    // PM_NOREMOVE leaves the message where it is.
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
    // A range filter passes over the messages outside it, which stay queued.
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_APP + 2));
    EXPECT_EQ(msg.wParam, 20u);
    EXPECT_EQ(msg.lParam, 21);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP + 10, PM_REMOVE));

    // Thread messages only ((HWND)-1) still finds them.
    const HWND threadOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));
    ASSERT_TRUE(GetMessageA(&msg, threadOnly, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 1));
    EXPECT_EQ(msg.wParam, 10u);
    ASSERT_TRUE(GetMessageW(&msg, nullptr, 0, 0));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_USER + 3));
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));

    // A window that does not exist.
    HWND bogus = reinterpret_cast<HWND>(static_cast<LONG_PTR>(0x7777));
    EXPECT_FALSE(PostMessageA(bogus, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(GetMessageA(&msg, bogus, 0, 0), -1);
}

TEST(MessageQueue, ThreadsGetTheirQueueAtTheFirstCallAndLoseItAtTheEnd) {
    std::atomic<DWORD> workerId{0};
    std::atomic<bool> mayMakeQueue{false};
    std::vector<MSG> seen;
    int exitCode = -1;
    std::thread worker([&] {
        workerId = GetCurrentThreadId();
        while (!mayMakeQueue) std::this_thread::yield();
        makeQueue();
        MSG msg;
        BOOL rc;
        // GetMessage waits until another thread posts; the loop ends at WM_QUIT.
        while ((rc = GetMessageA(&msg, nullptr, 0, 0)) != 0) {
            if (rc == -1) break;
            seen.push_back(msg);
            if (msg.message == WM_USER + 2) PostQuitMessage(7);
            // Posted after the quit: still comes before it.
            if (msg.message == WM_USER + 2)
                PostThreadMessageA(GetCurrentThreadId(), WM_USER + 3, 0, 0);
        }
        exitCode = static_cast<int>(msg.wParam);
    });
    while (workerId == 0) std::this_thread::yield();
    // No queue yet: the post fails and nothing is kept for later.
    EXPECT_FALSE(PostThreadMessageA(workerId, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
    mayMakeQueue = true;
    while (!PostThreadMessageA(workerId, WM_USER + 1, 1, 0)) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the worker waits meanwhile
    ASSERT_TRUE(PostThreadMessageW(workerId, WM_USER + 2, 2, 0));
    const DWORD ended = workerId;
    worker.join();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].message, static_cast<UINT>(WM_USER + 1));
    EXPECT_EQ(seen[1].message, static_cast<UINT>(WM_USER + 2));
    EXPECT_EQ(seen[2].message, static_cast<UINT>(WM_USER + 3));
    EXPECT_EQ(exitCode, 7);
    EXPECT_FALSE(PostThreadMessageA(ended, WM_USER, 0, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_THREAD_ID));
}

TEST(MessageQueue, AFullQueueRefusesFurtherPostsAndKeepsWhatItHolds) {
    std::thread([] {
        makeQueue();
        const DWORD self = GetCurrentThreadId();
        for (int i = 0; i < 10000; ++i) ASSERT_TRUE(PostThreadMessageA(self, WM_USER, i, 0));
        EXPECT_FALSE(PostThreadMessageA(self, WM_USER, 10000, 0));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_QUOTA));
        MSG msg;
        for (int i = 0; i < 10000; ++i) {
            ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
            ASSERT_EQ(msg.wParam, static_cast<WPARAM>(i));
        }
        EXPECT_FALSE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
        EXPECT_TRUE(PostThreadMessageA(self, WM_USER, 0, 0));  // room again
    }).join();
}

}  // namespace
