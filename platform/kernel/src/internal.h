#pragma once
// Shared plumbing of the kernel stand-in: clock access, execution levels, bug checks and the
// reset hooks of each part.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "knt/knt.h"
#include "standin/clock.h"
#include "standin/kernel/caller_context.h"
#include "standin/kernel/machine.h"

namespace standin::kernel::detail {

// ---- clock ----
std::shared_ptr<Clock> clock();
Time100ns now();
void notifyAll();

// A task scheduled on the machine clock. The generation tells tasks of a clock that a reset
// has replaced apart from the current clock's.
struct TaskHandle {
    std::uint64_t generation = 0;
    Clock::TaskId id = 0;
    explicit operator bool() const { return id != 0; }
};

// Schedules `fn` at `due`; it runs at the execution level of `level`, with no caller context.
TaskHandle schedule(Time100ns due, RunLevel level, std::function<void()> fn);

// Marks the calling thread as running one machine task; with handOnSignals (the real clock),
// KeSetEvent hands the task's user-event signals past the first few to the signalling threads.
// With deferSignals too (a dispatch task), every signal waits until the task has returned and
// the clock has given its dispatch place back: then a few are written by the task's thread, or
// more are all handed on at once.
class MachineTaskScope {
  public:
    MachineTaskScope(bool handOnSignals, bool deferSignals);
    ~MachineTaskScope();
    MachineTaskScope(const MachineTaskScope&) = delete;
    MachineTaskScope& operator=(const MachineTaskScope&) = delete;
};
// Writes the user-event signals the calling thread's task has kept for after it (at once, or
// before a wait); ...Of: only those of one event descriptor (before its reset or state read).
void flushDeferredSignals();
void flushDeferredSignalOf(int fd);
// True when the task was removed before it started.
bool cancel(const TaskHandle& task);

inline constexpr Time100ns kForever = ~Time100ns{0};

// Waits on the machine clock until `ready` or `deadline` (kForever: no deadline). A wait for
// ever that the manual clock can never satisfy is a bug check. Returns ready()'s last answer.
bool waitUntil(const std::function<bool()>& ready, Time100ns deadline, const char* what);

// Converts a kernel time-out (negative relative, positive absolute system time, 100 ns units)
// to a machine-clock deadline.
Time100ns deadlineFor(LONGLONG timeout);

// ---- execution levels ----
KIRQL irql();
void setIrql(KIRQL level);
// Bug-checks (and returns false) when the calling thread runs above `max`.
bool requireIrqlAtMost(KIRQL max, const char* what);

// Runs code at an execution level with no caller context (machine threads, driver callbacks of
// the framework), and bug-checks when the code returns at another level (a spin lock left held).
class CallbackScope {
  public:
    CallbackScope(KIRQL level, const char* what, bool clearCaller = true);
    ~CallbackScope();
    CallbackScope(const CallbackScope&) = delete;
    CallbackScope& operator=(const CallbackScope&) = delete;

  private:
    KIRQL level_;
    KIRQL previous_;
    const char* what_;
    bool clearCaller_;
    CallerContext* previousCaller_ = nullptr;
};

// ---- bug checks ----
void bugCheck(ULONG code, const std::string& message);

// ---- caller context ----
CallerContext* swapCaller(CallerContext* caller);

// ---- system thread objects ----
void* systemThreadObject();

// ---- referenced kernel objects ----
// Kernel objects made before the latest reset belong to an older generation.
std::uint64_t kernelObjectGeneration();
// Drops a reference when the object is still a kernel object of `generation` (nothing after a
// reset has freed it).
void releaseKernelObject(void* object, std::uint64_t generation);

// ---- parts of the machine, reset by resetMachine ----
void resetPool();
void resetPages();
void resetDispatcher();
// Makes every framework reference inert (first step of a reset), then forgets the objects.
void freezeFramework();
void resetFramework();
void resetThreads();

// ---- kernel timers ----
// Bug-checks when memory about to be freed holds a kernel timer that is still set.
void checkNoActiveTimersIn(const void* begin, std::size_t size);

}  // namespace standin::kernel::detail
