#include "standin/clock.h"

#include "standin/sync.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace standin {

Time100ns monotonicNow() {
    auto d = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<Time100ns>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() /
                                  100);
}

namespace {

// A moment of the monotonic clock as the system's waits take it.
timespec timespecOf(Time100ns t) {
    return timespec{static_cast<time_t>(t / kUnitsPerSecond),
                    static_cast<long>(t % kUnitsPerSecond) * 100};
}

struct Task {
    Clock::TaskId id = 0;
    RunLevel level = RunLevel::Dispatch;
    std::function<void()> fn;
    Time100ns queued = 0;           // when it went to a ready queue
    const void* follows = nullptr;  // the worker that queued it to run after its current task
};

using Key = std::pair<Time100ns, std::uint64_t>;  // due, order of scheduling

// ---------------------------------------------------------------------------------------------
class ManualClock final : public Clock {
  public:
    explicit ManualClock(Time100ns start) : now_(start) {}

    bool isManual() const override { return true; }

    Time100ns now() const override {
        std::lock_guard lk(mu_);
        return now_;
    }

    TaskId schedule(Time100ns due, RunLevel level, std::function<void()> fn) override {
        std::lock_guard lk(mu_);
        TaskId id = ++nextId_;
        Key key{due, id};
        tasks_.emplace(key, Task{id, level, std::move(fn)});
        keys_.emplace(id, key);
        return id;
    }

    bool cancel(TaskId id) override {
        Task removed;  // destroyed after the lock is dropped: its function may call the clock
        std::lock_guard lk(mu_);
        auto it = keys_.find(id);
        if (it == keys_.end()) return false;
        auto task = tasks_.find(it->second);
        removed = std::move(task->second);
        tasks_.erase(task);
        keys_.erase(it);
        return true;
    }

    bool waitUntil(const std::function<bool()>& ready, Time100ns deadline) override {
        for (;;) {
            if (ready()) return true;
            if (!runOneDueBy(deadline)) {
                std::lock_guard lk(mu_);
                if (now_ < deadline) now_ = deadline;
                break;
            }
        }
        return ready();
    }

    void notifyAll() override {}

    void advance(Time100ns delta) override {
        Time100ns target;
        {
            std::lock_guard lk(mu_);
            target = now_ + delta;
        }
        while (runOneDueBy(target)) {
        }
        std::lock_guard lk(mu_);
        if (now_ < target) now_ = target;
    }

    void runDue() override {
        while (runOneDueBy(now())) {
        }
    }

    std::size_t pendingTasks() const override {
        std::lock_guard lk(mu_);
        return tasks_.size();
    }

  private:
    // Runs the earliest task due at or before `limit`, moving time to its due time.
    bool runOneDueBy(Time100ns limit) {
        Task task;
        {
            std::lock_guard lk(mu_);
            auto it = tasks_.begin();
            if (it == tasks_.end() || it->first.first > limit) return false;
            if (now_ < it->first.first) now_ = it->first.first;
            task = std::move(it->second);
            keys_.erase(task.id);
            tasks_.erase(it);
        }
        task.fn();
        return true;
    }

    mutable Mutex mu_;
    Time100ns now_;
    TaskId nextId_ = 0;
    std::map<Key, Task> tasks_;
    std::unordered_map<TaskId, Key> keys_;
};

// The timer thread and the dispatch-level workers stand for the processor's interrupts and
// DPCs, which run ahead of every program's thread. Where the process may, they run in the
// first-in first-out real-time class (at a low real-time priority, so the system's own real-time
// threads still come first); otherwise they ask for a nice value this much lower than the
// process's. Without the right to either they keep what they have, and the machine still
// works, only more at the mercy of a loaded processor.
constexpr int kInterruptLevelRealTimePriority = 10;
constexpr int kInterruptLevelNiceDelta = -15;

}  // namespace

void runAheadOfPrograms() {
    sched_param param{};
    param.sched_priority = kInterruptLevelRealTimePriority;
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0) return;
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, 0);
    if (errno != 0) return;
    const int nice = std::max(base + kInterruptLevelNiceDelta, -20);
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);
}

namespace {

// ---------------------------------------------------------------------------------------------
// The real clock has no timer thread of its own: one idle dispatch-level worker at a time keeps
// the timer. It sleeps until the earliest task is due and then runs that task itself, so a timer
// costs one wake-up. While it runs the task, another idle dispatch worker takes the timer over
// only when the next task is due soon; otherwise the worker comes back to the timer when it is
// done. A task due at once goes straight to its level's queue and wakes one worker of that level,
// except when a dispatch worker schedules dispatch work: like a deferred procedure call queued on
// the processor that runs, it then runs in that worker right after the current task (or in
// another worker, should this one block in a wait first).
//
// A real-time thread that the system wakes on time can still wait for its processor: a program's
// thread in a long stretch of kernel code on that processor is not put aside until it leaves it,
// and a virtual processor may itself be held up by its host, for milliseconds on a busy machine;
// a timer that fires that late costs a device its isochronous schedule. So a stand-by thread,
// also at dispatch level and kept off the keeper's processor, sleeps until kBackupDelay after the
// earliest task is due (its own timer, on its own processor). When it wakes and finds that task
// still waiting (the keeper is late or busy with a long task), it runs every task that is
// overdue, as a dispatch worker would; otherwise it sleeps again until the next one.
class RealClock final : public Clock {
  public:
    RealClock(unsigned dispatchThreads, unsigned passiveThreads) {
        if (dispatchThreads == 0) dispatchThreads = 1;
        if (passiveThreads == 0) passiveThreads = 1;
        dispatchLimit_ = dispatchThreads;
        if (sched_getaffinity(0, sizeof allowed_, &allowed_) != 0) CPU_ZERO(&allowed_);
        workers_.emplace_back([this] {
            runAheadOfPrograms();
            backupLoop();
        });
        backupThread_ = workers_.back().native_handle();
        for (unsigned i = 0; i < dispatchThreads; ++i) {
            workers_.emplace_back([this] {
                runAheadOfPrograms();
                workerLoop(RunLevel::Dispatch);
            });
        }
        for (unsigned i = 0; i < passiveThreads; ++i)
            workers_.emplace_back([this] { workerLoop(RunLevel::Passive); });
    }

    ~RealClock() override {
        {
            std::lock_guard lk(mu_);
            stopping_ = true;
            backupStop_.store(true);
        }
        timerCv_.notify_all();
        workCv_[0].notify_all();
        workCv_[1].notify_all();
        wakeBackup();
        for (auto& t : workers_) t.join();
    }

    bool isManual() const override { return false; }
    Time100ns now() const override { return monotonicNow(); }

    TaskId schedule(Time100ns due, RunLevel level, std::function<void()> fn) override {
        const Time100ns t = monotonicNow();
        std::lock_guard lk(mu_);
        TaskId id = ++nextId_;
        const int l = index(level);
        if (due <= t) {
            // A dispatch worker that schedules dispatch work for now takes it when its task
            // ends. Passive work may block for long (a request that calls back into a process),
            // so it always gets a worker of its own.
            const bool follows = l == 0 && tCurrent.clock == this && tCurrent.level == 0;
            ready_[l].push_back(Task{id, level, std::move(fn), t, follows ? &tCurrent : nullptr});
            if (!follows) {
                wakeOneLocked(l);
                if (l == 0 && t + kBackupDelay < backupWakes_.load()) wakeBackup();
            }
            return id;
        }
        Key key{due, id};
        bool earliest = tasks_.empty() || key < tasks_.begin()->first;
        tasks_.emplace(key, Task{id, level, std::move(fn)});
        keys_.emplace(id, key);
        if (earliest) {
            publishEarliestLocked();
            if (due + kBackupDelay < backupWakes_.load()) wakeBackup();
            if (timerWaiting_) {
                timerCv_.notify_one();
            } else if (!timerHeld_ && idle_[0] > 0 &&
                       (tCurrent.clock != this || tCurrent.level != 0 || due < t + kHandOver)) {
                // Nobody keeps the timer and no dispatch worker of ours comes back to it soon.
                workCv_[0].notify_one();
            }
        }
        return id;
    }

    bool cancel(TaskId id) override {
        Task removed;  // destroyed after the lock is dropped: its function may call the clock
        std::lock_guard lk(mu_);
        auto it = keys_.find(id);
        if (it != keys_.end()) {
            auto task = tasks_.find(it->second);
            removed = std::move(task->second);
            tasks_.erase(task);
            keys_.erase(it);
            publishEarliestLocked();
            return true;
        }
        for (auto* q : {&ready_[0], &ready_[1]}) {
            for (auto qi = q->begin(); qi != q->end(); ++qi) {
                if (qi->id == id) {
                    removed = std::move(*qi);
                    q->erase(qi);
                    return true;
                }
            }
        }
        return false;
    }

    bool waitUntil(const std::function<bool()>& ready, Time100ns deadline) override {
        const bool dispatchTask = tCurrent.clock == this && tCurrent.level == 0;
        if (tCurrent.clock == this) {
            // A worker about to block leaves its queued work, its place among the dispatch
            // tasks that run at once, and the timer to the others.
            std::lock_guard lk(mu_);
            for (Task& queued : ready_[tCurrent.level])
                if (queued.follows == &tCurrent) queued.follows = nullptr;
            if (dispatchTask) leaveDispatchLocked();
            if (!ready_[tCurrent.level].empty()) wakeOneLocked(tCurrent.level);
            if (!timerHeld_ && !tasks_.empty() && idle_[0] > 0) workCv_[0].notify_one();
        }
        struct Rejoin {
            RealClock* clock;
            bool dispatch;
            ~Rejoin() {
                if (!dispatch) return;
                std::lock_guard lk(clock->mu_);
                clock->enterDispatchLocked();
            }
        } rejoin{this, dispatchTask};
        for (;;) {
            std::uint64_t gen;
            {
                std::lock_guard lk(waitMu_);
                gen = generation_;
            }
            if (ready()) return true;
            Time100ns t = now();
            if (t >= deadline) return ready();
            std::unique_lock lk(waitMu_);
            while (generation_ == gen) {
                if (waitCv_.wait_until(lk, timespecOf(deadline)) == std::cv_status::timeout) break;
            }
        }
    }

    void notifyAll() override {
        {
            std::lock_guard lk(waitMu_);
            ++generation_;
        }
        waitCv_.notify_all();
    }

    void advance(Time100ns delta) override {
        std::this_thread::sleep_for(std::chrono::nanoseconds(delta * 100));
    }

    void runDue() override {}

    std::size_t pendingTasks() const override {
        std::lock_guard lk(mu_);
        return tasks_.size() + ready_[0].size() + ready_[1].size();
    }

  private:
    // A task due this soon after the timer's keeper took one gets another worker to keep the
    // timer meanwhile; a later one waits for the keeper to come back.
    static constexpr Time100ns kHandOver = 3 * kUnitsPerMs / 10;
    // How late the keeper may be before the stand-by thread runs a due task itself: a wake-up
    // this late is rare on a busy machine, and still leaves the device's schedule room.
    static constexpr Time100ns kBackupDelay = 25 * kUnitsPerMs / 100;
    static constexpr Time100ns kNever = ~Time100ns{0};

    struct Current {
        const RealClock* clock = nullptr;
        int level = 0;
    };
    static thread_local Current tCurrent;
    static thread_local bool tBackup;

  public:
    static thread_local void (*tAfterTask)();
    static bool onClockThread() { return tCurrent.clock != nullptr; }

  private:
    static int index(RunLevel l) { return l == RunLevel::Dispatch ? 0 : 1; }

    void wakeOneLocked(int l) {
        if (idle_[l] > 0) {
            workCv_[l].notify_one();
        } else if (l == 0 && timerWaiting_) {
            timerCv_.notify_one();
        }
    }

    // Dispatch tasks run at most dispatchLimit_ at a time, the stand-by thread's included, so
    // that with one dispatch worker they never run beside each other.
    bool dispatchSlotFreeLocked() const { return runningDispatch_ < dispatchLimit_; }

    void enterDispatchLocked() {
        ++runningDispatch_;
        slotsFull_.store(!dispatchSlotFreeLocked(), std::memory_order_relaxed);
    }

    // A dispatch task ends (or blocks): a worker that waits for the place is told.
    void leaveDispatchLocked() {
        --runningDispatch_;
        slotsFull_.store(false, std::memory_order_relaxed);
        if (timerWaiting_) {
            timerCv_.notify_one();
        } else if (idle_[0] > 0 && !ready_[0].empty()) {
            workCv_[0].notify_one();
        }
    }

    // What the task just ended left for after it (runAfterTask), run without the lock once the
    // task's dispatch place is given back.
    static void runAfterTaskUnlocked(std::unique_lock<Mutex>& lk) {
        if (tAfterTask == nullptr) return;
        void (*fn)() = std::exchange(tAfterTask, nullptr);
        lk.unlock();
        fn();
        lk.lock();
    }

    // Whether this worker may take the first task of its level's queue: not one that another
    // worker queued to follow its own current task.
    bool mayTakeLocked(int l) const {
        const auto& q = ready_[l];
        return !q.empty() && (q.front().follows == nullptr || q.front().follows == &tCurrent);
    }

    // Keeps the timer until a task falls due (returned, to run in this thread), work arrives in
    // the dispatch queue or the clock stops. Tasks of the passive level that fall due go to
    // their queue.
    std::optional<Task> keepTimer(std::unique_lock<Mutex>& lk) {
        timerHeld_ = true;
        std::optional<Task> due;
        while (!stopping_ && !(mayTakeLocked(0) && dispatchSlotFreeLocked())) {
            if (tasks_.empty() || !dispatchSlotFreeLocked()) {
                timerWaiting_ = true;
                timerCv_.wait(lk);
                timerWaiting_ = false;
                continue;
            }
            auto it = tasks_.begin();
            const Time100ns t = monotonicNow();
            if (it->first.first > t) {
                timerWaiting_ = true;
                timerCv_.wait_until(lk, timespecOf(it->first.first));
                timerWaiting_ = false;
                continue;
            }
            Task task = std::move(it->second);
            keys_.erase(task.id);
            tasks_.erase(it);
            publishEarliestLocked();
            if (tCurrent.clock == this && !tBackup) keepBackupAwayLocked();
            if (task.level == RunLevel::Passive) {
                ready_[1].push_back(std::move(task));
                wakeOneLocked(1);
                continue;
            }
            due = std::move(task);
            break;
        }
        timerHeld_ = false;
        return due;
    }

    // Before a dispatch worker runs a task: when the next timed task is due soon, an idle
    // worker keeps the timer meanwhile.
    void handOverTimerLocked() {
        if (timerHeld_ || idle_[0] == 0 || tasks_.empty()) return;
        if (tasks_.begin()->first.first < monotonicNow() + kHandOver) workCv_[0].notify_one();
    }

    // The stand-by thread stays off the processor of the keeper (which arms its timer): when
    // that processor is held up, the stand-by thread is not held up with it.
    void keepBackupAwayLocked() {
        const int cpu = sched_getcpu();
        if (cpu < 0 || cpu == backupAvoids_ || !CPU_ISSET(cpu, &allowed_) ||
            CPU_COUNT(&allowed_) < 2)
            return;
        cpu_set_t set = allowed_;
        CPU_CLR(cpu, &set);
        if (pthread_setaffinity_np(backupThread_, sizeof set, &set) == 0) backupAvoids_ = cpu;
    }

    void publishEarliestLocked() {
        earliest_.store(tasks_.empty() ? kNever : tasks_.begin()->first.first,
                        std::memory_order_relaxed);
    }

    void wakeBackup() {
        backupWord_.fetch_add(1);
        syscall(SYS_futex, &backupWord_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

    // Sleeps until `until` (or a wake-up), then for as long as the earliest task is not overdue,
    // without the clock's lock.
    void sleepBackupUntil(Time100ns until) {
        for (;;) {
            const std::uint32_t seen = backupWord_.load();
            backupWakes_.store(until);
            if (backupStop_.load()) break;
            if (until == kNever) {
                syscall(SYS_futex, &backupWord_, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
            } else {
                const timespec at = timespecOf(until);
                syscall(SYS_futex, &backupWord_, FUTEX_WAIT_BITSET_PRIVATE, seen, &at, nullptr,
                        FUTEX_BITSET_MATCH_ANY);
            }
            backupWakes_.store(kNever);
            if (backupWord_.load() != seen) break;  // told: look under the lock
            const Time100ns e = earliest_.load(std::memory_order_relaxed);
            const Time100ns t = monotonicNow();
            if (t < until) continue;  // woken early for nothing
            // An overdue task while the dispatch tasks' places are taken: the keeper is busy, not
            // late, and takes it next.
            if (e != kNever && e + kBackupDelay <= t) {
                if (!slotsFull_.load(std::memory_order_relaxed)) break;
                until = t + kBackupDelay;
                continue;
            }
            until = e == kNever ? kNever : e + kBackupDelay;
        }
        backupWakes_.store(kNever);
    }

    void backupLoop() {
        tCurrent = Current{this, 0};
        tBackup = true;
        std::unique_lock lk(mu_);
        while (!stopping_) {
            // Tasks left waiting by a late or busy keeper run here, in due order; dispatch work
            // that a task run here queued for now follows it at once. Work that a worker queued
            // to follow its own current task stays that worker's.
            std::optional<Task> task;
            const Time100ns t = monotonicNow();
            Time100ns next = kNever;
            if (!ready_[0].empty()) {
                Task& front = ready_[0].front();
                if (front.follows != &tCurrent || !dispatchSlotFreeLocked()) {
                    // Work a task run here queued to follow it, which this thread does not take
                    // now (another thread has taken the dispatch place meanwhile, or other work
                    // stands before it): it is anybody's. Left as this thread's, it would stop
                    // the queue when it comes to the head, where no worker may take it (nor
                    // anything behind it), while this thread sleeps on the timers.
                    bool handed = false;
                    for (Task& queued : ready_[0]) {
                        if (queued.follows == &tCurrent) {
                            queued.follows = nullptr;
                            handed = true;
                        }
                    }
                    if (handed) wakeOneLocked(0);
                }
                const bool mine = front.follows == &tCurrent;
                if (mine || front.follows == nullptr) {
                    const Time100ns at = mine ? t : front.queued + kBackupDelay;
                    if (at > t) {
                        next = at;
                    } else if (!dispatchSlotFreeLocked()) {
                        next = t + kBackupDelay;
                    } else {
                        task = std::move(ready_[0].front());
                        ready_[0].pop_front();
                    }
                }
            }
            if (!task && !tasks_.empty()) {
                auto it = tasks_.begin();
                if (it->first.first + kBackupDelay <= t && !dispatchSlotFreeLocked()) {
                    // The keeper is busy with a task, not late: it takes this one next.
                    next = std::min(next, t + kBackupDelay);
                } else if (it->first.first + kBackupDelay <= t) {
                    Task taken = std::move(it->second);
                    keys_.erase(taken.id);
                    tasks_.erase(it);
                    publishEarliestLocked();
                    if (taken.level == RunLevel::Passive) {
                        taken.queued = t;
                        ready_[1].push_back(std::move(taken));
                        wakeOneLocked(1);
                        continue;
                    }
                    task = std::move(taken);
                } else {
                    next = std::min(next, it->first.first + kBackupDelay);
                }
            }
            if (task) {
                enterDispatchLocked();
                lk.unlock();
                task->fn();
                task.reset();
                lk.lock();
                leaveDispatchLocked();
                runAfterTaskUnlocked(lk);
                continue;
            }
            lk.unlock();
            sleepBackupUntil(next);
            lk.lock();
        }
    }

    void workerLoop(RunLevel level) {
        const int l = index(level);
        tCurrent = Current{this, l};
        auto& q = ready_[l];
        std::unique_lock lk(mu_);
        while (!stopping_) {
            std::optional<Task> task;
            if (mayTakeLocked(l) && (l == 1 || dispatchSlotFreeLocked())) {
                task = std::move(q.front());
                q.pop_front();
                if (l == 1 && !q.empty()) wakeOneLocked(l);
            } else if (l == 0 && !timerHeld_) {
                task = keepTimer(lk);
                if (!task) continue;
            } else {
                ++idle_[l];
                workCv_[l].wait(lk);
                --idle_[l];
                continue;
            }
            if (l == 0) {
                enterDispatchLocked();
                handOverTimerLocked();
            }
            lk.unlock();
            task->fn();
            task.reset();  // its function's captures go before the lock is taken again
            lk.lock();
            if (l == 0) {
                if (tAfterTask != nullptr) {
                    // The place goes back before the work left for after the task, and whoever
                    // waits for it is told: the stand-by thread may run what falls due meanwhile.
                    leaveDispatchLocked();
                } else {
                    --runningDispatch_;
                    slotsFull_.store(false, std::memory_order_relaxed);
                }
            }
            runAfterTaskUnlocked(lk);
        }
    }

    mutable Mutex mu_;
    CondVar timerCv_;
    CondVar workCv_[2];
    unsigned idle_[2] = {0, 0};
    unsigned dispatchLimit_ = 1;
    unsigned runningDispatch_ = 0;        // dispatch tasks running now
    std::atomic<bool> slotsFull_{false};  // ... as many as may run at once
    bool timerHeld_ = false;              // a dispatch worker keeps the timer
    bool timerWaiting_ = false;           // ... and sleeps on timerCv_
    bool stopping_ = false;
    TaskId nextId_ = 0;
    std::map<Key, Task> tasks_;
    std::unordered_map<TaskId, Key> keys_;
    std::deque<Task> ready_[2];
    std::vector<std::thread> workers_;
    // The stand-by thread sleeps on backupWord_ until backupWakes_ (kNever: no deadline); it
    // looks at earliest_ (the due time of the earliest timed task) without the lock, so that
    // a keeper on time never waits for it.
    std::atomic<std::uint32_t> backupWord_{0};
    std::atomic<Time100ns> backupWakes_{kNever};
    std::atomic<Time100ns> earliest_{kNever};
    std::atomic<bool> backupStop_{false};
    pthread_t backupThread_{};
    cpu_set_t allowed_{};    // the processors the process may run on
    int backupAvoids_ = -1;  // the processor the stand-by thread keeps off

    Mutex waitMu_;
    CondVar waitCv_;
    std::uint64_t generation_ = 0;
};

thread_local RealClock::Current RealClock::tCurrent;
thread_local bool RealClock::tBackup = false;
thread_local void (*RealClock::tAfterTask)() = nullptr;

}  // namespace

bool runAfterTask(void (*fn)()) {
    if (!RealClock::onClockThread()) return false;
    RealClock::tAfterTask = fn;
    return true;
}

std::shared_ptr<Clock> makeRealClock(unsigned dispatchThreads, unsigned passiveThreads) {
    return std::make_shared<RealClock>(dispatchThreads, passiveThreads);
}

std::shared_ptr<Clock> makeManualClock(Time100ns start) {
    return std::make_shared<ManualClock>(start);
}

}  // namespace standin
