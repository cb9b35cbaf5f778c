// Two companions of the streaming thread: the priority negotiation with the kernel driver's
// probe, and the statistics thread that prints the kernel's streaming figures once a second.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "asio_driver.h"
#include "device_link.h"
#include "library.h"

namespace {

constexpr int kNegotiationSteps = 20;
constexpr DWORD kStatisticsPassMs = 1000;
constexpr DWORD kStatisticsIdleMs = 100;
constexpr std::uint32_t kStatisticsWords = sizeof(vq36::AsioInfoStatistics) / 4;  // 66
constexpr std::uint32_t kCounterWords = 9;  // readsOk .. kernOver are added up
constexpr std::uint32_t kTotalsClearIteration = 5;

// Process-wide, shared by the statistics threads of the process without a lock (each word read
// and written whole).
std::atomic<std::uint32_t> statisticsTotals[kStatisticsWords];
std::atomic<std::uint32_t> statisticsIteration{0};

void printFigures(const char* heading, const std::uint32_t* w) {
    auto d = [w](int i) { return static_cast<int>(w[i]); };
    auto x = [w](int i) { return static_cast<unsigned>(w[i]); };
    DebugLog(2,
             "%s\nreads:               %d/%d/%d\nwrites:              %d/%d/%d\nuser slips:   "
             "       %d\nkern under/over:     %d/%d\nrd req error:        %x\nrd urb error:   "
             "     %x\nrd uframe error:     %x\nrd uframe error idxs:%x\nwr req error:        "
             "%x\nwr urb error:        %x\nwr uframe error:     %x\nunused usb rd buf:   "
             "%d\npending rd frames:   %d\npattern mismatches:  %d\nhidi packets:        "
             "%d\nest. sample rate:    %d\ngeneric flags:       %x\n",
             heading, d(0), d(1), d(2), d(3), d(4), d(5), d(6), d(7), d(8), x(9), x(10), x(11),
             x(12), x(13), x(14), x(15), d(16), d(17), d(20), d(19), d(18), x(21));
    DebugLog(2, "\n\n");
}

// One line: the heading and the ring's ten values in slot order (its index word is not
// printed).
void printRing(const char* heading, const std::uint32_t* ring) {
    char line[192];
    std::size_t used = 0;
    auto append = [&](const char* format, auto value) {
        const int n = std::snprintf(line + used, sizeof line - used, format, value);
        if (n > 0) used = std::min(sizeof line - 1, used + static_cast<std::size_t>(n));
    };
    append("%s", heading);
    for (int i = 1; i <= 10; ++i) append("%d,", static_cast<int>(ring[i]));
    DebugLog(2, "%s", line);
}

}  // namespace

BYTE uNegotiateElevatedPriority(AudioDeviceInterfaceWrapper* w) {
    vq36::AsioInfo* info = uGetAsioInfo(w);
    if (info == nullptr) return 0;
    if (vq36::Load8(&info->priorityOffsetKnown) == 0) {
        HANDLE thread = GetCurrentThread();
        if (thread == nullptr) {
            DebugLog(1, "Failed to get ASIO thread handle");
            return 0;
        }
        // The kernel matches its probe against this thread's priority, alternating between
        // normal (even steps) and time-critical (odd steps); the last step is 19.
        for (int i = 0; i < kNegotiationSteps; ++i) {
            const bool timeCritical = (i & 1) != 0;
            if (!SetThreadPriority(thread, timeCritical ? THREAD_PRIORITY_TIME_CRITICAL
                                                        : THREAD_PRIORITY_NORMAL)) {
                DebugLog(1, "Failed to set ASIO thread priority");
            }
            DebugLog(2, "Negotiating elevated priority: about to invoke ioctl");
            std::uint32_t input[2] = {timeCritical ? 1u : 0u,
                                      i == kNegotiationSteps - 1 ? 1u : 0u};
            std::uint32_t output[2] = {0, 0};  // restartNeeded, offset
            if (!uWrappedDeviceIoControl(w, vq36::kIoCtlNegotiatePriority, input, sizeof input,
                                         output, sizeof output)) {
                DebugLog(2, "Negotiating elevated priority: failed, giving up");
                DebugLog(1, "Bad result from negotiate thread priority IOCTL");
                break;
            }
            if (output[0] != 0) {
                DebugLog(2, "Negotiating elevated priority: needs loop restart");
                i = 0;  // the next step is step 1
                continue;
            }
            if (i == kNegotiationSteps - 1) {
                DebugLog(2,
                         "Negotiating elevated priority: successfully found _KTHREAD.Priority at "
                         "offset: 0x%x",
                         static_cast<unsigned>(output[1]));
            }
        }
    }
    if (vq36::Load8(&info->priorityOffsetKnown) == 0) return 0;
    if (!uWrappedDeviceIoControl(w, vq36::kIoCtlSavePriorityOffset, nullptr, 0, nullptr, 0)) {
        DebugLog(2, "Saving elevated priority offset failed");
        return 0;
    }
    return 1;
}

DWORD WINAPI uAsioDebugLogThread(LPVOID argument) {
    auto* driver = static_cast<AAsio*>(argument);
    DebugLog(2, "Starting debug log thread, creating device handle");
    // A wrapper of its own (own handle and lock), so that its I/O controls never wait for the
    // streaming thread's.
    AudioDeviceInterfaceWrapper* w = uCreateVexaAudioDeviceInterfaceWrapper(0);
    if (w == nullptr) {
        DebugLog(1, "uAsioDebugLogThread: Bad handle from OpenUsbDevice");
        uCloseVexaAudioDevice(nullptr);  // the end of the thread, with its log line
        return 0;
    }
    bool firstPass = true;
    while (driver->initialized != 0) {
        if (driver->started == 0) {
            firstPass = true;
            Sleep(kStatisticsIdleMs);
            continue;
        }
        if (vq36::AsioInfo* info = uGetAsioInfo(w)) {
            // Copied and cleared without a lock: what the kernel adds in between is lost.
            std::uint32_t run[kStatisticsWords];
            std::memcpy(run, &info->statistics, sizeof run);
            std::memset(&info->statistics, 0, sizeof run);

            const std::uint32_t iteration = statisticsIteration.fetch_add(1) + 1;
            if (firstPass || iteration == kTotalsClearIteration) {
                for (auto& word : statisticsTotals) word.store(0, std::memory_order_relaxed);
                if (!firstPass) {
                    DebugLog(2, "\n\n\n****CLEARING STATS AFTER FIRST 5 SECONDS****\n\n\n");
                }
            }
            firstPass = false;
            std::uint32_t totals[kStatisticsWords];
            for (std::uint32_t i = 0; i < kStatisticsWords; ++i) {
                std::uint32_t total = statisticsTotals[i].load(std::memory_order_relaxed);
                if (i < kCounterWords) {
                    total += run[i];
                } else if (run[i] != 0) {
                    total = run[i];  // the latest non-zero report
                }
                statisticsTotals[i].store(total, std::memory_order_relaxed);
                totals[i] = total;
            }

            DebugLog(2, "iteration:           %d\n\n", static_cast<int>(iteration));
            printFigures("(TOTALS)\n", totals);
            printFigures("(THIS RUN)\n", run);
            printRing("\nuframe samples: ", run + 22);
            printRing("\nusb rd frames: ", run + 33);
            printRing("\nusb leftover rd buf: ", run + 44);
            printRing("\nread req samples: ", run + 55);
            DebugLog(2, "\n\n-----------------------\n");
        }
        Sleep(kStatisticsPassMs);
    }
    uCloseVexaAudioDevice(w);
    return 0;
}
