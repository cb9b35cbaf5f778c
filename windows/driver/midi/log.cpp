// The driver's own debug log: the same marker file, file name and line format as the ASIO
// driver library's, its own stream, and the constant level 2.

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "midi_driver.h"

namespace {

constexpr const char* kEnableFlag = "c:\\temp\\VexaEnableDebugLog.flag";

std::once_flag gLogOpened;
FILE* gLogStream = nullptr;

}  // namespace

void FormatLogPath(char* buffer, std::size_t size, DWORD processId) {
    std::snprintf(buffer, size, "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_%06x.log", processId);
}

void OpenMidiDebugLog() {
    std::call_once(gLogOpened, [] {
        if (GetFileAttributesA(kEnableFlag) == INVALID_FILE_ATTRIBUTES) return;
        char path[MAX_PATH];
        FormatLogPath(path, sizeof path, GetCurrentProcessId());
        // The ASIO driver library, loaded into the same process, writes the same file through a
        // stream of its own. Emptying the file here ("w") would throw away the library's lines,
        // and writing at a private position would overwrite them: this stream appends, so each
        // of its lines lands whole at the end of the file.
        gLogStream = _fsopen(path, "a", _SH_DENYNO);
    });
}

void MidiLog(const char* format, ...) {
    OpenMidiDebugLog();
    FILE* stream = gLogStream;
    if (stream == nullptr) return;
    std::fputs("VQ36: ", stream);
    std::fflush(stream);
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fflush(stream);
    std::fputs("\n", stream);
    std::fflush(stream);
}

void CloseMidiDebugLog() {
    if (gLogStream != nullptr) std::fclose(gLogStream);
    gLogStream = nullptr;
}
