// The deliverable's device link across a load and an unload: the status monitor thread a
// handle starts is gone when the library is, and so is whatever the program left open.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "standin/win32/handles.h"
#include "standin/win32/testing.h"
#include "ui/standin_ui.h"
#include "win32/windows.h"

namespace {

const std::string kLibrary = VQ36_ASIO_DLL_PATH;

using OpenFunction = void* (*)();
using CloseFunction = void (*)(void*);

std::size_t threadCount() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

bool eventually(const std::function<bool()>& ready, int ms = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class LinkLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(machine.host("c:\\temp\\VexaAsioLog"));
        std::ofstream(machine.host("c:\\temp\\VexaEnableDebugLog.flag")).close();
        // A thread made and ended first: a sanitizer's own helper thread starts with the first
        // thread of the process and would count as left behind.
        std::thread([] {}).join();
        threads = threadCount();
        sections = standin::win32::liveCriticalSections();
        handles = standin::win32::openHandleCount();
        gdiplusSessions = standin::ui::gdiplusCounters().liveSessions;
        library = LoadLibraryA(kLibrary.c_str());
        ASSERT_NE(library, nullptr) << standin::win32::lastLoaderMessage();
        open = reinterpret_cast<OpenFunction>(GetProcAddress(library, "VQ36_open"));
        close = reinterpret_cast<CloseFunction>(GetProcAddress(library, "VQ36_close"));
        ASSERT_NE(open, nullptr);
        ASSERT_NE(close, nullptr);
    }

    // After FreeLibrary: nothing of the library is left in the process.
    void expectNothingLeft() {
        EXPECT_EQ(GetModuleHandleA("VexaAsioVq36.dll"), nullptr);
        EXPECT_TRUE(eventually([&] { return threadCount() == threads; }))
            << threadCount() << " threads, " << threads << " before";
        EXPECT_EQ(standin::win32::liveCriticalSections(), sections);
        EXPECT_EQ(standin::win32::openHandleCount(), handles);
        EXPECT_EQ(standin::ui::gdiplusCounters().liveSessions, gdiplusSessions);
    }

    std::string logText() {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_%06x.log",
                      GetCurrentProcessId());
        std::ifstream in(machine.host(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    standin::win32::ScopedFreshMachine machine;
    HMODULE library = nullptr;
    OpenFunction open = nullptr;
    CloseFunction close = nullptr;
    std::size_t threads = 0;
    long sections = 0;
    std::size_t handles = 0;
    long gdiplusSessions = 0;
};

TEST_F(LinkLoad, AHandleOpenedAndClosedLeavesNothingBehind) {
    void* w = open();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(eventually([&] { return threadCount() > threads; }));  // the status monitor
    close(w);
    EXPECT_NE(logText().find("End ASIO event notification thread"), std::string::npos);
    EXPECT_TRUE(FreeLibrary(library));
    expectNothingLeft();
}

TEST_F(LinkLoad, UnloadingWithHandlesLeftOpenStopsTheMonitorAndReleasesThem) {
    void* first = open();
    void* second = open();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(eventually([&] {
        return logText().find("Begin ASIO event notification thread") != std::string::npos;
    }));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    expectNothingLeft();
    const std::string log = logText();
    const std::size_t end = log.find("End ASIO event notification thread");
    ASSERT_NE(end, std::string::npos);
    // The thread ended before the lock went.
    EXPECT_LT(end, log.find("Deleting critical section"));
    EXPECT_EQ(log.find("Failed to wait for status monitor thread"), std::string::npos);
}

}  // namespace
