// The library's debug log: one file per process, opened at the first line written.

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "library.h"

std::atomic<std::int32_t> gLogLevel{2};

namespace {

constexpr const char* kEnableFlag = "c:\\temp\\VexaEnableDebugLog.flag";

// The open runs once per process, on whichever thread logs first; threads that log meanwhile
// wait for it.
std::atomic<bool> gOpenAttempted{false};
std::mutex gOpenMutex;
std::atomic<FILE*> gLogStream{nullptr};
char gLogFileName[MAX_PATH];

bool levelAllows(int level) {
    return gLogLevel.load(std::memory_order_relaxed) >= level;
}

// The stream when a line of this level is to be written, opening the log if not yet tried.
FILE* streamFor(int level) {
    if (!levelAllows(level)) return nullptr;
    if (!gOpenAttempted.load(std::memory_order_acquire)) OpenDebugLog();
    return gLogStream.load(std::memory_order_acquire);
}

}  // namespace

void FormatDebugLogFileName(char* buffer, std::size_t size, DWORD processId) {
    std::snprintf(buffer, size, "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_%06x.log", processId);
}

void OpenDebugLog() {
    std::lock_guard lock(gOpenMutex);
    if (gOpenAttempted.load(std::memory_order_relaxed)) return;
    // Whatever happens below, the open is not tried again in this process.
    if (GetFileAttributesA(kEnableFlag) != INVALID_FILE_ATTRIBUTES) {
        FormatDebugLogFileName(gLogFileName, sizeof gLogFileName, GetCurrentProcessId());
        FILE* stream = _fsopen(gLogFileName, "w", _SH_DENYNO);
        // Emptied, the file is written on at its end: the MIDI driver, loaded into the same
        // process, appends its lines to the same file through a stream of its own, and a
        // private write position would overwrite them.
        if (stream != nullptr) {
            std::fclose(stream);
            stream = _fsopen(gLogFileName, "a", _SH_DENYNO);
        }
        if (stream == nullptr) gLogFileName[0] = '\0';  // no log: no name to hand out
        gLogStream.store(stream, std::memory_order_release);
    }
    gOpenAttempted.store(true, std::memory_order_release);
}

void DebugLog(int level, const char* format, ...) {
    if (FILE* stream = streamFor(level)) {
        std::fputs("VQ36: ", stream);
        std::fflush(stream);
    }
    if (FILE* stream = streamFor(level)) {
        va_list args;
        va_start(args, format);
        std::vfprintf(stream, format, args);
        va_end(args);
        std::fflush(stream);
    }
    if (FILE* stream = streamFor(level)) {
        std::fputs("\n", stream);
        std::fflush(stream);
    }
}

void DebugLogFragment(int level, const char* format, ...) {
    if (FILE* stream = streamFor(level)) {
        va_list args;
        va_start(args, format);
        std::vfprintf(stream, format, args);
        va_end(args);
        std::fflush(stream);
    }
}

const char* DebugLogFileName() {
    return gLogFileName;
}

void CloseDebugLog() {
    std::lock_guard lock(gOpenMutex);
    if (FILE* stream = gLogStream.exchange(nullptr)) std::fclose(stream);
}
