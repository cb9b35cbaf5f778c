#pragma once
// The machine's clock and task runner, shared by the kernel stand-in and the USB bus.
//
// Time is counted in 100 ns units, as interrupt time is. Two kinds exist:
//  - real: time is the system's monotonic clock (so every process of a machine agrees on it);
//    tasks run on the clock's own threads: dispatch-level tasks (timer callbacks, USB
//    completions) on a small pool, passive-level tasks (work items) on another.
//  - manual: time moves only when a thread calls advance() or waits in waitUntil(); every task
//    that falls due then runs in that thread, in time order (ties in the order they were
//    scheduled). Nothing runs behind a test's back, so every step is deterministic.

#include <cstdint>
#include <functional>
#include <memory>

namespace standin {

using Time100ns = std::uint64_t;
inline constexpr Time100ns kUnitsPerMs = 10000;
inline constexpr Time100ns kUnitsPerSecond = 10000000;

// Level a task runs at; the kernel stand-in maps these onto its execution levels.
enum class RunLevel { Dispatch, Passive };

class Clock {
  public:
    using TaskId = std::uint64_t;

    virtual ~Clock() = default;
    Clock() = default;
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    virtual bool isManual() const = 0;

    // Monotonic time in 100 ns units.
    virtual Time100ns now() const = 0;

    // Runs fn once, at or after `due`. Never runs fn inside schedule() itself. Returns an id
    // for cancel(); ids are never 0.
    virtual TaskId schedule(Time100ns due, RunLevel level, std::function<void()> fn) = 0;

    // Removes a task that has not started yet. True when it was removed (it will not run).
    virtual bool cancel(TaskId id) = 0;

    // Blocks until ready() is true or `deadline` has passed; returns ready()'s last answer.
    // ready() is evaluated under no lock of the clock's. Threads that change what ready()
    // looks at call notifyAll() afterwards. On the manual clock the waiting thread moves
    // time forward itself: it runs every task due before the deadline, in order, and when
    // none is left it sets the time to the deadline (a wait never blocks for real).
    virtual bool waitUntil(const std::function<bool()>& ready, Time100ns deadline) = 0;

    // Wakes every waiter so that it evaluates its condition again.
    virtual void notifyAll() = 0;

    // Manual clock: moves time forward by delta, running every task that falls due on the
    // way, in time order, in the calling thread. Real clock: sleeps for delta.
    virtual void advance(Time100ns delta) = 0;

    // Manual clock: runs every task that is due now without moving time. Real clock: nothing.
    virtual void runDue() = 0;

    // Number of tasks scheduled and not yet run or cancelled.
    virtual std::size_t pendingTasks() const = 0;
};

// Real clock with `dispatchThreads` threads for dispatch-level tasks and `passiveThreads`
// for passive-level tasks.
std::shared_ptr<Clock> makeRealClock(unsigned dispatchThreads = 2, unsigned passiveThreads = 2);

// Manual clock starting at `start`.
std::shared_ptr<Clock> makeManualClock(Time100ns start = 0);

// The system's monotonic clock in 100 ns units (what the real clock reports).
Time100ns monotonicNow();

// Leaves `fn` for the calling thread to run once its current task of a real clock has returned
// and given back its place among the dispatch tasks that run at once, so that, should `fn` stand
// still, the clock's other threads may run the dispatch work that falls due meanwhile. One such
// function per task (a second call replaces the first). False when the calling thread is not
// one of a real clock's (a manual clock runs its tasks in the caller's thread): nothing is kept,
// and the caller does the work itself.
bool runAfterTask(void (*fn)());

// Puts the calling thread where the real clock's dispatch-level threads run: the first-in
// first-out real-time class at a low priority where the process may, else a lower nice value.
void runAheadOfPrograms();

}  // namespace standin
