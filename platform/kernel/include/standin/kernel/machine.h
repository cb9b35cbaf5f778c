#pragma once
// The kernel stand-in's machine-wide state: its clock, the bug-check handler, execution levels,
// the recorded timer resolution, and a reset for tests.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "knt/knt.h"
#include "standin/clock.h"

namespace standin::kernel {

// ---------------------------------------------------------------------------------------------
// Clock. Interrupt time, tick counts, kernel timers, framework timers, work items, queued
// requests and request time-outs all run on it. Until a clock is installed the machine uses a
// real clock.
std::shared_ptr<Clock> machineClock();

// Puts the machine back into its start state: installs `clock` (a fresh manual clock when
// null), frees every pool block and page list still outstanding, forgets framework objects,
// clears the fault settings, the recorded timer resolution and the bug-check handler. Call it
// only when no driver code runs and no FrameworkHarness exists (between tests).
void resetMachine(std::shared_ptr<Clock> clock = nullptr);

// ---------------------------------------------------------------------------------------------
// Bug checks: the faults the kernel and the framework catch (a wait at dispatch level, a
// request completed twice, an invalid handle, a bad pool free ...).
inline constexpr ULONG kBugCheckIrqlNotLessOrEqual = 0x0A;
inline constexpr ULONG kBugCheckMemoryManagement = 0x1A;
inline constexpr ULONG kBugCheckBadPoolCaller = 0xC2;
inline constexpr ULONG kBugCheckTimerOrDpcInvalid = 0xC7;
inline constexpr ULONG kBugCheckIoManagerViolation = 0xC9;
inline constexpr ULONG kBugCheckThreadStuck = 0xEA;
inline constexpr ULONG kBugCheckWdfViolation = 0x10D;

struct BugCheck {
    ULONG code = 0;
    std::string message;
};

using BugCheckHandler = std::function<void(const BugCheck&)>;

// Installs the handler called for every bug check and returns the previous one. The default
// handler prints the bug check and aborts the process. A handler that returns lets the caught
// call go on as safely as it can (the call fails or does nothing).
BugCheckHandler setBugCheckHandler(BugCheckHandler handler);

// Records bug checks instead of stopping, while it lives.
class BugCheckRecorder {
  public:
    BugCheckRecorder();
    ~BugCheckRecorder();
    BugCheckRecorder(const BugCheckRecorder&) = delete;
    BugCheckRecorder& operator=(const BugCheckRecorder&) = delete;

    std::vector<BugCheck> checks() const;
    std::size_t count() const;
    std::size_t count(ULONG code) const;
    void clear();

  private:
    struct State;
    std::shared_ptr<State> state_;
    BugCheckHandler previous_;
};

// ---------------------------------------------------------------------------------------------
// Execution level of the calling thread, raised for a scope (tests, and stand-ins that call
// driver code at a given level).
class IrqlScope {
  public:
    explicit IrqlScope(KIRQL level);
    ~IrqlScope();
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

  private:
    KIRQL previous_;
};

// ---------------------------------------------------------------------------------------------
// Timer resolution as drivers asked for it.
struct TimerResolution {
    bool requested = false;       // a request is in effect
    ULONG requestedTime = 0;      // the desired time of the latest request (100 ns units)
    ULONG currentResolution = 0;  // what the machine runs at now
    unsigned setCalls = 0;
    unsigned clearCalls = 0;
};
TimerResolution timerResolution();

// Interval at which the tick count advances (100 ns units), as KeQueryTimeIncrement reports.
inline constexpr ULONG kTimeIncrement = 156250;

}  // namespace standin::kernel
