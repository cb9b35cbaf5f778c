#include "standin/clock.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
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

struct Task {
    Clock::TaskId id = 0;
    RunLevel level = RunLevel::Dispatch;
    std::function<void()> fn;
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

    mutable std::mutex mu_;
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

// ---------------------------------------------------------------------------------------------
class RealClock final : public Clock {
  public:
    RealClock(unsigned dispatchThreads, unsigned passiveThreads) {
        if (dispatchThreads == 0) dispatchThreads = 1;
        if (passiveThreads == 0) passiveThreads = 1;
        timerThread_ = std::thread([this] {
            runAheadOfPrograms();
            timerLoop();
        });
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
        }
        timerCv_.notify_all();
        workCv_.notify_all();
        timerThread_.join();
        for (auto& t : workers_) t.join();
    }

    bool isManual() const override { return false; }
    Time100ns now() const override { return monotonicNow(); }

    TaskId schedule(Time100ns due, RunLevel level, std::function<void()> fn) override {
        std::lock_guard lk(mu_);
        TaskId id = ++nextId_;
        Key key{due, id};
        bool earliest = tasks_.empty() || key < tasks_.begin()->first;
        tasks_.emplace(key, Task{id, level, std::move(fn)});
        keys_.emplace(id, key);
        if (earliest) timerCv_.notify_one();
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
            waitCv_.wait_for(lk, std::chrono::nanoseconds((deadline - t) * 100),
                             [&] { return generation_ != gen; });
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
    static int index(RunLevel l) { return l == RunLevel::Dispatch ? 0 : 1; }

    void timerLoop() {
        std::unique_lock lk(mu_);
        while (!stopping_) {
            if (tasks_.empty()) {
                timerCv_.wait(lk);
                continue;
            }
            auto it = tasks_.begin();
            Time100ns t = monotonicNow();
            if (it->first.first > t) {
                timerCv_.wait_for(lk, std::chrono::nanoseconds((it->first.first - t) * 100));
                continue;
            }
            Task task = std::move(it->second);
            keys_.erase(task.id);
            tasks_.erase(it);
            ready_[index(task.level)].push_back(std::move(task));
            workCv_.notify_all();
        }
    }

    void workerLoop(RunLevel level) {
        auto& q = ready_[index(level)];
        std::unique_lock lk(mu_);
        for (;;) {
            workCv_.wait(lk, [&] { return stopping_ || !q.empty(); });
            if (stopping_) return;
            Task task = std::move(q.front());
            q.pop_front();
            lk.unlock();
            task.fn();
            lk.lock();
        }
    }

    mutable std::mutex mu_;
    std::condition_variable timerCv_;
    std::condition_variable workCv_;
    bool stopping_ = false;
    TaskId nextId_ = 0;
    std::map<Key, Task> tasks_;
    std::unordered_map<TaskId, Key> keys_;
    std::deque<Task> ready_[2];
    std::thread timerThread_;
    std::vector<std::thread> workers_;

    std::mutex waitMu_;
    std::condition_variable waitCv_;
    std::uint64_t generation_ = 0;
};

}  // namespace

std::shared_ptr<Clock> makeRealClock(unsigned dispatchThreads, unsigned passiveThreads) {
    return std::make_shared<RealClock>(dispatchThreads, passiveThreads);
}

std::shared_ptr<Clock> makeManualClock(Time100ns start) {
    return std::make_shared<ManualClock>(start);
}

}  // namespace standin
