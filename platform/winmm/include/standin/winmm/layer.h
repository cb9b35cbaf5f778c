#pragma once
// The multimedia layer stand-in's own controls, for tools and tests: what the platform does at
// its own times (loading the installed drivers when the layer starts, unloading them when the
// process leaves) and what a program cannot see.

#include <string>
#include <vector>

#include "winmm/mmddk.h"

namespace standin::winmm {

// Where the platform lists installable drivers: values "midi", "midi1" ... "midi9" of this key
// under HKEY_LOCAL_MACHINE, each naming a driver library.
inline constexpr const char* kDrivers32Key =
    "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
inline constexpr int kMidiDriverSlots = 10;

// The value name of slot i: "midi" for 0, else "midi" and the digit.
std::string midiSlotName(int slot);

// The layer loads the installed drivers at its first use in the process. These unload them
// (open ports are closed first, then DRV_CLOSE, DRV_DISABLE and DRV_FREE go to each driver and
// its library is freed) and, for reloadDrivers, read the list again and load it anew.
void unloadDrivers();
void reloadDrivers();

// The drivers loaded now: the value each came from and its library's name.
struct LoadedDriver {
    std::string slot;
    std::string library;
    UINT outputs = 0;
    UINT inputs = 0;
};
std::vector<LoadedDriver> loadedDrivers();

// The arguments of the latest DefDriverProc call in this process.
struct DefDriverProcCall {
    DWORD_PTR driverId = 0;
    HDRVR driver = nullptr;
    UINT message = 0;
    LPARAM param1 = 0;
    LPARAM param2 = 0;
    LRESULT result = 0;
};
DefDriverProcCall lastDefDriverProcCall();

}  // namespace standin::winmm
