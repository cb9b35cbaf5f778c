// Machine-wide state: the clock, execution levels, bug checks, time and timer resolution.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

#include "standin/sync.h"
#include "internal.h"

namespace standin::kernel {
namespace {

struct MachineState {
    standin::Mutex mu;
    std::shared_ptr<Clock> clock;
    std::uint64_t generation = 1;
    BugCheckHandler bugCheckHandler;
    TimerResolution resolution;
};

MachineState& machine() {
    // Never destroyed: machine threads may still run while the process exits.
    static MachineState* state = new MachineState;
    return *state;
}

thread_local KIRQL tIrql = PASSIVE_LEVEL;

void defaultBugCheck(const BugCheck& check) {
    std::fprintf(stderr, "*** STOP 0x%08X: %s\n", static_cast<unsigned>(check.code),
                 check.message.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
std::shared_ptr<Clock> machineClock() {
    return detail::clock();
}

void resetMachine(std::shared_ptr<Clock> clock) {
    if (!clock) clock = makeManualClock();
    detail::freezeFramework();
    std::shared_ptr<Clock> old;
    {
        auto& m = machine();
        std::lock_guard lk(m.mu);
        old = std::move(m.clock);
        m.clock = std::move(clock);
        ++m.generation;
        m.bugCheckHandler = nullptr;
        m.resolution = TimerResolution{};
    }
    // Stopping the old clock first keeps its threads from running driver code while the
    // parts below are emptied. A task of a real clock may hold the clock for a moment: let it
    // go first, so that the clock's threads are joined here and never by one of themselves.
    if (old && !old->isManual()) {
        for (int i = 0; i < 5000 && old.use_count() > 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    old.reset();
    detail::resetFramework();
    detail::resetDispatcher();
    detail::resetPages();
    detail::resetPool();
    detail::resetThreads();
    tIrql = PASSIVE_LEVEL;
}

BugCheckHandler setBugCheckHandler(BugCheckHandler handler) {
    auto& m = machine();
    std::lock_guard lk(m.mu);
    return std::exchange(m.bugCheckHandler, std::move(handler));
}

struct BugCheckRecorder::State {
    mutable standin::Mutex mu;
    std::vector<BugCheck> checks;
};

BugCheckRecorder::BugCheckRecorder() : state_(std::make_shared<State>()) {
    auto state = state_;
    previous_ = setBugCheckHandler([state](const BugCheck& check) {
        std::lock_guard lk(state->mu);
        state->checks.push_back(check);
    });
}

BugCheckRecorder::~BugCheckRecorder() {
    setBugCheckHandler(std::move(previous_));
}

std::vector<BugCheck> BugCheckRecorder::checks() const {
    std::lock_guard lk(state_->mu);
    return state_->checks;
}

std::size_t BugCheckRecorder::count() const {
    std::lock_guard lk(state_->mu);
    return state_->checks.size();
}

std::size_t BugCheckRecorder::count(ULONG code) const {
    std::lock_guard lk(state_->mu);
    std::size_t n = 0;
    for (const auto& c : state_->checks)
        if (c.code == code) ++n;
    return n;
}

void BugCheckRecorder::clear() {
    std::lock_guard lk(state_->mu);
    state_->checks.clear();
}

IrqlScope::IrqlScope(KIRQL level) : previous_(tIrql) {
    tIrql = level;
}
IrqlScope::~IrqlScope() {
    tIrql = previous_;
}

TimerResolution timerResolution() {
    auto& m = machine();
    std::lock_guard lk(m.mu);
    TimerResolution r = m.resolution;
    if (r.currentResolution == 0) r.currentResolution = kTimeIncrement;
    return r;
}

// ---------------------------------------------------------------------------------------------
namespace detail {

std::shared_ptr<Clock> clock() {
    auto& m = machine();
    std::lock_guard lk(m.mu);
    if (!m.clock) m.clock = makeRealClock();
    return m.clock;
}

Time100ns now() {
    return clock()->now();
}

void notifyAll() {
    clock()->notifyAll();
}

TaskHandle schedule(Time100ns due, RunLevel level, std::function<void()> fn) {
    std::uint64_t gen;
    std::shared_ptr<Clock> c;
    {
        auto& m = machine();
        std::lock_guard lk(m.mu);
        if (!m.clock) m.clock = makeRealClock();
        c = m.clock;
        gen = m.generation;
    }
    KIRQL taskLevel = level == RunLevel::Dispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    auto id = c->schedule(due, level, [fn = std::move(fn), taskLevel, real = !c->isManual()] {
        CallbackScope scope(taskLevel, "a machine task");
        MachineTaskScope task(real, taskLevel == DISPATCH_LEVEL);
        fn();
    });
    return TaskHandle{gen, id};
}

bool cancel(const TaskHandle& task) {
    if (!task) return false;
    std::shared_ptr<Clock> c;
    {
        auto& m = machine();
        std::lock_guard lk(m.mu);
        if (m.generation != task.generation || !m.clock) return false;
        c = m.clock;
    }
    return c->cancel(task.id);
}

bool waitUntil(const std::function<bool()>& ready, Time100ns deadline, const char* what) {
    flushDeferredSignals();  // what the task waits for may hang on a program it has signalled
    auto c = clock();
    if (deadline != kForever) return c->waitUntil(ready, deadline);
    if (c->isManual()) {
        // Nothing outside this thread moves a manual clock: a wait that an hour of machine
        // time does not satisfy never ends.
        if (c->waitUntil(ready, c->now() + 3600 * kUnitsPerSecond)) return true;
        bugCheck(kBugCheckThreadStuck, std::string("a wait for ever never ends: ") + what);
        return false;
    }
    for (;;) {
        if (c->waitUntil(ready, c->now() + kUnitsPerSecond)) return true;
    }
}

Time100ns deadlineFor(LONGLONG timeout) {
    Time100ns t = now();
    if (timeout < 0) {
        auto rel = static_cast<Time100ns>(-(timeout + 1)) + 1;
        return rel > kForever - t ? kForever - 1 : t + rel;
    }
    if (timeout == 0) return t;
    // Absolute system time: the machine's system time is its interrupt time (the machine
    // started at the epoch), so an absolute time in the past expires at once.
    return static_cast<Time100ns>(timeout) > t ? static_cast<Time100ns>(timeout) : t;
}

KIRQL irql() {
    return tIrql;
}
void setIrql(KIRQL level) {
    tIrql = level;
}

bool requireIrqlAtMost(KIRQL max, const char* what) {
    if (tIrql <= max) return true;
    bugCheck(kBugCheckIrqlNotLessOrEqual, std::string(what) + " called at IRQL " +
                                              std::to_string(tIrql) + " (allowed up to " +
                                              std::to_string(max) + ")");
    return false;
}

CallbackScope::CallbackScope(KIRQL level, const char* what, bool clearCaller)
    : level_(level), previous_(tIrql), what_(what), clearCaller_(clearCaller) {
    tIrql = level;
    if (clearCaller_) previousCaller_ = swapCaller(nullptr);
}

CallbackScope::~CallbackScope() {
    if (tIrql != level_) {
        KIRQL returned = tIrql;
        tIrql = previous_;
        bugCheck(kBugCheckIrqlNotLessOrEqual,
                 std::string(what_) + " returned at IRQL " + std::to_string(returned) +
                     " instead of " + std::to_string(level_) + " (a spin lock left held?)");
    }
    tIrql = previous_;
    if (clearCaller_) swapCaller(previousCaller_);
}

void bugCheck(ULONG code, const std::string& message) {
    BugCheckHandler handler;
    {
        auto& m = machine();
        std::lock_guard lk(m.mu);
        handler = m.bugCheckHandler;
    }
    BugCheck check{code, message};
    if (handler)
        handler(check);
    else
        defaultBugCheck(check);
}

}  // namespace detail
}  // namespace standin::kernel

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;

extern "C" KIRQL NTAPI KeGetCurrentIrql(void) {
    return detail::irql();
}

extern "C" VOID NTAPI StandinCheckPagedCode(const char* where) {
    detail::requireIrqlAtMost(APC_LEVEL, where ? where : "pageable code");
}

extern "C" ULONGLONG NTAPI KeQueryInterruptTime(void) {
    return detail::now();
}

extern "C" VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    if (!CurrentCount) return;
    CurrentCount->QuadPart = static_cast<LONGLONG>(detail::now() / kTimeIncrement);
}

extern "C" ULONG NTAPI KeQueryTimeIncrement(void) {
    return kTimeIncrement;
}

extern "C" ULONG NTAPI ExSetTimerResolution(ULONG DesiredTime, BOOLEAN SetResolution) {
    constexpr ULONG kMinimumResolution = 5000;  // 0.5 ms, the finest the machine offers
    auto& m = machine();
    std::lock_guard lk(m.mu);
    auto& r = m.resolution;
    if (SetResolution) {
        ++r.setCalls;
        r.requested = true;
        r.requestedTime = DesiredTime;
        ULONG t = DesiredTime < kMinimumResolution ? kMinimumResolution : DesiredTime;
        r.currentResolution = t > kTimeIncrement ? kTimeIncrement : t;
    } else {
        ++r.clearCalls;
        r.requested = false;
        r.currentResolution = kTimeIncrement;
    }
    return r.currentResolution;
}
