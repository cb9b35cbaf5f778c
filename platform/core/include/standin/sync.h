#pragma once
// Locks of the machine.
//
// The machine's dispatch-level threads run in the real-time class where the system permits it,
// while the threads that serve programs (work items, requests in the caller's context) run as
// ordinary threads. With a plain mutex, an ordinary thread that the scheduler puts aside while it
// holds a lock of the bus or the kernel keeps every real-time thread that needs that lock waiting
// for as long as the processors are busy with other programs (milliseconds on a loaded machine):
// the machine's interrupts would stall behind a program. The machine's locks therefore inherit
// priority: a thread holding one runs at the priority of the highest thread waiting for it, until
// it lets go (on the platform a thread holding a spin lock is not put aside at all).
//
// A condition variable of the C library is no better: to wake a thread, a notifier may have to
// wait until the threads it woke before have run far enough to leave their wait, and a woken
// ordinary thread on a busy machine may not run for milliseconds. So `CondVar` is a counter of
// notifications that waiters sleep on: a notification adds one and wakes the kernel's waiters
// (none when there are none), and never waits for anyone.
//
// `Mutex` and `CondVar` are drop-in replacements for std::mutex and std::condition_variable
// (they work with std::lock_guard and std::unique_lock); waits with a deadline sleep until that
// moment of the system's monotonic clock.

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>  // std::cv_status
#include <cstdint>
#include <mutex>

namespace standin {

class Mutex {
  public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void lock();
    bool try_lock();
    void unlock();

    pthread_mutex_t* native_handle() { return &m_; }

  private:
    pthread_mutex_t m_;
};

class CondVar {
  public:
    using Clock = std::chrono::steady_clock;  // the system's monotonic clock

    CondVar() = default;
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;

    void notify_one() noexcept;
    void notify_all() noexcept;

    void wait(std::unique_lock<Mutex>& lk);
    template <typename Pred>
    void wait(std::unique_lock<Mutex>& lk, Pred pred) {
        while (!pred()) wait(lk);
    }

    // Sleeps until notified or until `deadline` (absolute, monotonic); timeout when it passed.
    std::cv_status wait_until(std::unique_lock<Mutex>& lk, const timespec& deadline);
    template <typename Duration>
    std::cv_status wait_until(std::unique_lock<Mutex>& lk,
                              const std::chrono::time_point<Clock, Duration>& deadline) {
        return wait_until(lk, toTimespec(deadline.time_since_epoch()));
    }
    template <typename Duration, typename Pred>
    bool wait_until(std::unique_lock<Mutex>& lk,
                    const std::chrono::time_point<Clock, Duration>& deadline, Pred pred) {
        while (!pred()) {
            if (wait_until(lk, deadline) == std::cv_status::timeout) return pred();
        }
        return true;
    }
    template <typename Rep, typename Period>
    std::cv_status wait_for(std::unique_lock<Mutex>& lk,
                            const std::chrono::duration<Rep, Period>& d) {
        return wait_until(lk, Clock::now() + std::chrono::ceil<Clock::duration>(d));
    }
    template <typename Rep, typename Period, typename Pred>
    bool wait_for(std::unique_lock<Mutex>& lk, const std::chrono::duration<Rep, Period>& d,
                  Pred pred) {
        return wait_until(lk, Clock::now() + std::chrono::ceil<Clock::duration>(d),
                          std::move(pred));
    }

  private:
    template <typename Duration>
    static timespec toTimespec(Duration sinceEpoch) {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch).count();
        if (ns <= 0) return timespec{0, 0};
        return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    }

    // Sleeps until a notification or until `deadline` (nullptr: none), the lock
    // released meanwhile; false when the deadline passed.
    bool sleep(std::unique_lock<Mutex>& lk, const timespec* deadline);

    std::atomic<std::uint32_t> notifications_{0};
    std::atomic<std::uint32_t> waiters_{0};
};

}  // namespace standin
