#pragma once
// How this process's thread priorities meet the system's scheduler.
//
// By default priorities become nice values (time-critical: 15 below the process's). A program
// whose time-critical threads only ever wait between their bursts of work (an audio host's
// streaming thread) may ask for the real-time class for them: such a thread then runs in the
// first-in first-out class at a low real-time priority, below the machine's own interrupt-level
// threads, where the system permits it, and keeps the nice value where it does not.

namespace standin::win32 {

// Real-time class for time-critical threads from now on (threads that are time-critical
// already keep what they have until their priority is set again).
void setRealTimeForTimeCritical(bool on);

}  // namespace standin::win32
