#pragma once
// Hooks of the Win32 stand-in for tests and tools: what the product cannot see.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "win32/windows.h"

namespace standin::win32 {

// ---- Message boxes -------------------------------------------------------------------------
struct MessageBoxRecord {
    std::string text;
    std::string caption;
    UINT type;
};
// While recording is on, MessageBoxA appends to a process-wide list instead of printing.
void setMessageBoxRecording(bool on);
std::vector<MessageBoxRecord> recordedMessageBoxes();
void clearRecordedMessageBoxes();

// ---- Time ----------------------------------------------------------------------------------
// Adds `milliseconds` to what GetTickCount and timeGetTime report in this process (only), for
// example to make a gap between two heartbeats appear.
void addTickCountOffset(std::int64_t milliseconds);

// ---- Processes -----------------------------------------------------------------------------
// Waits up to `milliseconds` for the process of a process handle (CreateProcessA) to end.
// True when it ended; its exit code (128 + the signal number when a signal ended it) is then
// stored when exitCode is not null.
bool waitForProcessExit(HANDLE process, DWORD milliseconds, DWORD* exitCode);

// ---- Critical sections ---------------------------------------------------------------------
// Sections initialised and not yet deleted in this process.
long liveCriticalSections();

// ---- Modules -------------------------------------------------------------------------------
// The host loader's message about the calling thread's latest failed LoadLibraryA.
std::string lastLoaderMessage();

// ---- Threads and devices ------------------------------------------------------------------
// The priority byte of a thread's thread object as the kernel sees it (a thread handle, or
// GetCurrentThread()); -1 when the thread has no thread object (yet, or any more).
int threadObjectPriority(HANDLE thread);
// Views of shared regions that the machine's driver has mapped into this process and not
// unmapped.
std::size_t mappedKernelViews();
// After the next `after` views the machine maps into this process, `count` mappings fail (as
// in a process out of address space).
void failNextKernelMappings(unsigned count, unsigned after = 0);
// The Win32 error DeviceIoControl reports for a request's NT status.
DWORD errorFromNtStatus(LONG status);

// ---- Machine root --------------------------------------------------------------------------
// A fresh, empty machine (a new folder under /tmp, with drive_c and c:\Windows\System32) made
// current for the object's lifetime; the destructor returns to the previous root and removes
// the folder.
class ScopedFreshMachine {
  public:
    ScopedFreshMachine();
    ~ScopedFreshMachine();
    ScopedFreshMachine(const ScopedFreshMachine&) = delete;
    ScopedFreshMachine& operator=(const ScopedFreshMachine&) = delete;

    const std::string& root() const { return root_; }
    // The host path of a Windows path on this machine.
    std::string host(const char* windowsPath) const;

  private:
    std::string previous_;
    std::string root_;
};

}  // namespace standin::win32
