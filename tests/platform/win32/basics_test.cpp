// Handles, last errors and messages, critical sections, interlocked operations, time and the
// odds and ends of the user-mode stand-in.

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "standin/win32/handles.h"
#include "standin/win32/testing.h"
#include "test_support.h"
#include "win32/windows.h"

namespace {

using standin::win32::KernelObject;
using standin::win32::ObjectKind;

// A kind of object of the tests' own, which reports its destruction.
class Probe : public KernelObject {
  public:
    static constexpr ObjectKind kKind = static_cast<ObjectKind>(1000);
    explicit Probe(std::atomic<int>* destroyed) : KernelObject(kKind), destroyed_(destroyed) {}
    ~Probe() override { ++*destroyed_; }

  private:
    std::atomic<int>* destroyed_;
};

TEST(Handles, AreSmallNonZeroWordsThatCloseOnce) {
    std::atomic<int> destroyed{0};
    HANDLE h = standin::win32::insertHandle(std::make_shared<Probe>(&destroyed));
    ASSERT_NE(h, nullptr);
    auto value = reinterpret_cast<std::uintptr_t>(h);
    EXPECT_EQ(value % 4, 0u);
    EXPECT_LE(value, 0x7FFFFFFFu);
    EXPECT_EQ(standin::win32::wordToHandle(standin::win32::handleToWord(h)), h);

    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(destroyed.load(), 1);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE,
                       reinterpret_cast<HANDLE>(std::uintptr_t{0x7FFFFFFC}),
                       reinterpret_cast<HANDLE>(std::uintptr_t{6})}) {
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
}

TEST(Handles, ObjectOutlivesItsHandleWhileReferenced) {
    std::atomic<int> destroyed{0};
    HANDLE h = standin::win32::insertHandle(std::make_shared<Probe>(&destroyed));
    auto held = standin::win32::referenceHandleAs<Probe>(h);
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(standin::win32::referenceHandle(h), nullptr);
    held.reset();
    EXPECT_EQ(destroyed.load(), 1);
}

TEST(LastError, BelongsToEachThread) {
    SetLastError(ERROR_MORE_DATA);
    DWORD seenByOther = 1;
    std::thread([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_ACCESS_DENIED);
    }).join();
    EXPECT_EQ(seenByOther, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
}

TEST(FormatMessage, SystemTextsAllocatedOrCopied) {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, ERROR_FILE_NOT_FOUND, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "The system cannot find the file specified.\r\n");
    EXPECT_EQ(n, std::strlen(text));
    EXPECT_EQ(LocalFree(text), nullptr);

    char small[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small,
                             sizeof small, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    char big[128];
    EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, big,
                             sizeof big, nullptr),
              0u);
    EXPECT_STREQ(big, "Access is denied.\r\n");

    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x12345, 0, big, sizeof big, nullptr),
        0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

TEST(FormatMessage, LocalFreeRefusesWhatItDidNotHandOut) {
    int notOurs = 0;
    EXPECT_EQ(LocalFree(&notOurs), static_cast<HLOCAL>(&notOurs));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(LocalFree(nullptr), nullptr);
}

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    const long live = standin::win32::liveCriticalSections();
    InitializeCriticalSection(&cs);
    EXPECT_EQ(standin::win32::liveCriticalSections(), live + 1);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EXPECT_TRUE(TryEnterCriticalSection(&cs));  // a third level, by the owner

    auto otherThreadGetsIt = [&] {
        BOOL got = FALSE;
        std::thread([&] {
            got = TryEnterCriticalSection(&cs);
            if (got) LeaveCriticalSection(&cs);
        }).join();
        return got != FALSE;
    };
    LeaveCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    EXPECT_FALSE(otherThreadGetsIt());  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_TRUE(otherThreadGetsIt());

    DeleteCriticalSection(&cs);
    EXPECT_EQ(standin::win32::liveCriticalSections(), live);
}

TEST(CriticalSectionDeathTest, UseAfterDeleteIsCaught) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    EXPECT_DEATH(EnterCriticalSection(&cs), "deleted critical section");
    CRITICAL_SECTION never{};
    EXPECT_DEATH(EnterCriticalSection(&never), "never initialised");
}

TEST(Interlocked, ResultsAndAtomicity) {
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 9);  // no match: unchanged
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
    EXPECT_EQ(value, 1);

    LONG volatile shared = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i) InterlockedIncrement(&shared);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(shared, 200000);
}

TEST(CharLower, StringsAndSingleCharacters) {
    char text[] = "VexaAsioVQ36.DLL \xC4\xD7\x8A";
    EXPECT_EQ(CharLowerA(text), text);
    EXPECT_STREQ(text, "vexaasiovq36.dll \xE4\xD7\x9A");
    LPSTR one = CharLowerA(reinterpret_cast<LPSTR>(static_cast<std::uintptr_t>('Q')));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(one), static_cast<std::uintptr_t>('q'));
}

TEST(Time, TickCountIsSharedByProcessesAndCanBeOffset) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    win32test::inChild([&] {
        DWORD t = GetTickCount();
        ASSERT_EQ(write(fds[1], &t, sizeof t), static_cast<ssize_t>(sizeof t));
    });
    DWORD childTick = 0;
    ASSERT_EQ(read(fds[0], &childTick, sizeof childTick), static_cast<ssize_t>(sizeof childTick));
    close(fds[0]);
    close(fds[1]);
    const DWORD now = GetTickCount();
    EXPECT_LT(static_cast<DWORD>(now - childTick), 5000u);  // same clock, a moment apart

    const DWORD before = timeGetTime();
    standin::win32::addTickCountOffset(7000);
    const DWORD after = GetTickCount();
    standin::win32::addTickCountOffset(-7000);
    EXPECT_GE(static_cast<DWORD>(after - before), 7000u);
    EXPECT_LT(static_cast<DWORD>(after - before), 12000u);
}

TEST(MessageBox, RecordedWithoutBlocking) {
    standin::win32::setMessageBoxRecording(true);
    standin::win32::clearRecordedMessageBoxes();
    EXPECT_EQ(
        MessageBoxA(nullptr, "Register Server failed! (-101)", "Vexa VQ36 ASIO Driver", MB_OK),
        IDOK);
    auto boxes = standin::win32::recordedMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Register Server failed! (-101)");
    EXPECT_EQ(boxes[0].caption, "Vexa VQ36 ASIO Driver");
    EXPECT_EQ(boxes[0].type, static_cast<UINT>(MB_OK));
    standin::win32::clearRecordedMessageBoxes();
    EXPECT_TRUE(standin::win32::recordedMessageBoxes().empty());
    standin::win32::setMessageBoxRecording(false);
}

}  // namespace
