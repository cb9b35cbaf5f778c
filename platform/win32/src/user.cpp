// Message boxes and ANSI lower-casing.

#include <cstdio>
#include <mutex>

#include "standin/win32/machine.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace {

std::mutex gBoxMutex;
bool gRecording = false;
std::vector<standin::win32::MessageBoxRecord>& records() {
    static auto* r = new std::vector<standin::win32::MessageBoxRecord>();
    return *r;
}

// The id of the first button of each button set (the low four bits of the type).
int firstButton(UINT type) {
    switch (type & 0xF) {
        case 2:
            return 3;  // abort, retry, ignore
        case 3:        // yes, no, cancel
        case 4:
            return 6;  // yes, no
        case 5:
            return 4;  // retry, cancel
        case 6:
            return 2;  // cancel, try again, continue
        default:
            return IDOK;
    }
}

}  // namespace

int WINAPI MessageBoxA(HWND /*hWnd*/, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    const char* text = lpText ? lpText : "";
    const char* caption = lpCaption ? lpCaption : "Error";
    {
        std::lock_guard lock(gBoxMutex);
        if (gRecording) {
            records().push_back({text, caption, uType});
            return firstButton(uType);
        }
    }
    std::fprintf(stderr, "[message box] %s: %s\n", caption, text);
    return firstButton(uType);
}

LPSTR WINAPI CharLowerA(LPSTR lpsz) {
    auto value = reinterpret_cast<std::uintptr_t>(lpsz);
    if ((value >> 16) == 0) {
        // One character in the low byte.
        auto c = static_cast<char>(value & 0xFF);
        return reinterpret_cast<LPSTR>(
            static_cast<std::uintptr_t>(static_cast<unsigned char>(standin::win32::lowerAnsi(c))));
    }
    for (char* p = lpsz; *p; ++p) *p = standin::win32::lowerAnsi(*p);
    return lpsz;
}

namespace standin::win32 {

void setMessageBoxRecording(bool on) {
    std::lock_guard lock(gBoxMutex);
    gRecording = on;
}

std::vector<MessageBoxRecord> recordedMessageBoxes() {
    std::lock_guard lock(gBoxMutex);
    return records();
}

void clearRecordedMessageBoxes() {
    std::lock_guard lock(gBoxMutex);
    records().clear();
}

}  // namespace standin::win32
