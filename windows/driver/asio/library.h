#pragma once
// VexaAsioVq36: what the parts of the library share. This part holds the application object,
// the global lock of the device link, the debug log and the per-user settings.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "ui/afx.h"
#include "win32/windows.h"

// ---- Application object ----------------------------------------------------------------------

// The library's application object: the framework creates it when a process loads the library
// (InitInstance) and tears it down when the process unloads it (ExitInstance).
class ADllApp : public CWinApp {
  public:
    ADllApp();

    BOOL InitInstance() override;
    int ExitInstance() override;

    // Set once by ExitInstance; the status monitor thread polls it once per pass.
    BYTE IsShuttingDown() const { return shuttingDown.load(std::memory_order_relaxed); }

  private:
    std::atomic<BYTE> shuttingDown;
    ULONG_PTR gdiplusToken;
    Gdiplus::NotificationHookProc notificationHook;
    Gdiplus::NotificationUnhookProc notificationUnhook;
    ULONG_PTR notificationToken;
    bool gdiplusStarted;

    DECLARE_MESSAGE_MAP()
};

extern ADllApp theApp;

// Guards the device link's list of open wrappers; created by InitInstance, deleted by
// ExitInstance.
extern CRITICAL_SECTION gOpenWrapperLock;

// ---- Debug log -----------------------------------------------------------------------------

// A line of level k is written when gLogLevel >= k: 1 errors and main events, 2 progress and
// traces, 3 details. It starts at 2 and is only ever lowered.
extern std::atomic<std::int32_t> gLogLevel;

// Opens the log once per process: only when "c:\temp\VexaEnableDebugLog.flag" exists, into
// "c:\temp\VexaAsioLog\VexaAsioLogDLL_<process id>.log" (the folder is never created).
void OpenDebugLog();

// One line of level k: "VQ36: ", the formatted message and "\n", each written and flushed on
// its own.
void DebugLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The middle piece alone (no prefix, no line end), for trace fragments that run into the next
// line.
void DebugLogFragment(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The log file's name, or "" when no log was opened.
const char* DebugLogFileName();

// Formats the log file's name for a process id.
void FormatDebugLogFileName(char* buffer, std::size_t size, DWORD processId);

// Closes the log when the library is unloaded.
void CloseDebugLog();

// ---- Settings --------------------------------------------------------------------------------

// DWORD values under HKEY_CURRENT_USER\SOFTWARE\Vexa\VQ36, read anew at every call.
DWORD getBufferSizeMillisecs();  // default 8; 0 reads 1, above 50 reads 50
bool isRealTimeEnabled();        // default true; any nonzero value is true
DWORD getMidiInChannel();        // default 0
DWORD getMidiOutChannel();       // default 1

void setBufferSizeMillisecs(DWORD milliseconds);
void setMidiInChannel(DWORD channel);
void setMidiOutChannel(DWORD channel);

// Writes one REG_DWORD under the settings key, creating the key when needed.
void writeSettingDword(const char* valueName, DWORD value);

// Reads a value of any type into `buffer` as a zero-terminated string. False (and the buffer
// untouched) when the key or value is missing, or the value with its terminator does not fit.
bool readRegistryString(HKEY root, const char* subkeyPath, const char* valueName, char* buffer,
                        DWORD bufferSize);
