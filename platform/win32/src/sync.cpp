// Critical sections, Sleep, tick counts, the version and the process id.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include <atomic>

#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace {

// Marks a section between InitializeCriticalSection and DeleteCriticalSection.
constexpr DWORD kSectionLive = 0x43534C56;  // "CSLV"
constexpr DWORD kSectionDeleted = 0x43534444;

std::atomic<long> gLiveSections{0};
std::atomic<std::int64_t> gTickOffsetMs{0};

[[noreturn]] void sectionFault(const char* what, LPCRITICAL_SECTION section) {
    std::fprintf(stderr, "win32 stand-in: %s (critical section %p)\n", what,
                 static_cast<void*>(section));
    std::abort();
}

void checkLive(LPCRITICAL_SECTION section, const char* call) {
    if (section == nullptr) sectionFault(call, section);
    if (section->state == kSectionDeleted)
        sectionFault("use of a deleted critical section", section);
    if (section->state != kSectionLive) {
        sectionFault("use of a critical section that was never initialised", section);
    }
}

std::uint64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);  // the machine clock's source (standin::monotonicNow)
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) sectionFault("null critical section", lpCriticalSection);
    // A section initialised again without a delete in between is counted once.
    const bool wasLive = lpCriticalSection->state == kSectionLive;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lpCriticalSection->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    lpCriticalSection->state = kSectionLive;
    if (!wasLive) gLiveSections.fetch_add(1);
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    checkLive(lpCriticalSection, "EnterCriticalSection on null");
    if (pthread_mutex_lock(&lpCriticalSection->mutex) != 0) {
        sectionFault("EnterCriticalSection failed", lpCriticalSection);
    }
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    checkLive(lpCriticalSection, "LeaveCriticalSection on null");
    if (pthread_mutex_unlock(&lpCriticalSection->mutex) != 0) {
        sectionFault("LeaveCriticalSection by a thread that does not own the section",
                     lpCriticalSection);
    }
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    checkLive(lpCriticalSection, "TryEnterCriticalSection on null");
    return pthread_mutex_trylock(&lpCriticalSection->mutex) == 0 ? TRUE : FALSE;
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    checkLive(lpCriticalSection, "DeleteCriticalSection on null");
    if (pthread_mutex_destroy(&lpCriticalSection->mutex) != 0) {
        sectionFault("DeleteCriticalSection of a section that is held", lpCriticalSection);
    }
    lpCriticalSection->state = kSectionDeleted;
    gLiveSections.fetch_sub(1);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;) pause();
    }
    timespec ts{static_cast<time_t>(dwMilliseconds / 1000),
                static_cast<long>(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

DWORD WINAPI GetTickCount() {
    return static_cast<DWORD>(static_cast<std::int64_t>(monotonicMs()) + gTickOffsetMs.load());
}

DWORD WINAPI timeGetTime() {
    return GetTickCount();
}

DWORD WINAPI GetVersion() {
    constexpr DWORD kMajor = 6, kMinor = 2, kBuild = 9200;
    return kMajor | (kMinor << 8) | (kBuild << 16);
}

DWORD WINAPI GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

namespace standin::win32 {

long liveCriticalSections() {
    return gLiveSections.load();
}

void addTickCountOffset(std::int64_t milliseconds) {
    gTickOffsetMs.fetch_add(milliseconds);
}

}  // namespace standin::win32
