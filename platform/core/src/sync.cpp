#include "standin/sync.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

namespace standin {

namespace {

void check(int rc, const char* what) {
    if (rc != 0) throw std::system_error(rc, std::generic_category(), what);
}

}  // namespace

Mutex::Mutex() {
    pthread_mutexattr_t attr;
    check(pthread_mutexattr_init(&attr), "pthread_mutexattr_init");
    // Without priority inheritance (a system that lacks it) the lock is a plain one.
    if (pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT) != 0)
        (void)pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_NONE);
    check(pthread_mutex_init(&m_, &attr), "pthread_mutex_init");
    pthread_mutexattr_destroy(&attr);
}

Mutex::~Mutex() {
    pthread_mutex_destroy(&m_);
}

void Mutex::lock() {
    // A lock that cannot be taken is a fault of the caller (taken twice by one thread); the
    // standard mutex reports it the same way.
    check(pthread_mutex_lock(&m_), "pthread_mutex_lock");
}

bool Mutex::try_lock() {
    return pthread_mutex_trylock(&m_) == 0;
}

void Mutex::unlock() {
    pthread_mutex_unlock(&m_);
}

void CondVar::notify_one() noexcept {
    notifications_.fetch_add(1);
    if (waiters_.load() != 0)
        syscall(SYS_futex, &notifications_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void CondVar::notify_all() noexcept {
    notifications_.fetch_add(1);
    if (waiters_.load() != 0)
        syscall(SYS_futex, &notifications_, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

bool CondVar::sleep(std::unique_lock<Mutex>& lk, const timespec* deadline) {
    // Counted and read under the caller's lock: a notifier that changes the waited-for state
    // under that lock afterwards sees the waiter, and the count differs from `seen` by then.
    waiters_.fetch_add(1);
    const std::uint32_t seen = notifications_.load();
    lk.unlock();
    bool timedOut = false;
    // The bit-set wait takes an absolute moment of the monotonic clock; a notification between
    // the unlock and the wait changes the count, and the wait returns at once.
    const long rc = syscall(SYS_futex, &notifications_, FUTEX_WAIT_BITSET_PRIVATE, seen, deadline,
                            nullptr, FUTEX_BITSET_MATCH_ANY);
    if (rc != 0 && errno == ETIMEDOUT) timedOut = true;
    waiters_.fetch_sub(1);
    lk.lock();
    return !timedOut;
}

void CondVar::wait(std::unique_lock<Mutex>& lk) {
    (void)sleep(lk, nullptr);
}

std::cv_status CondVar::wait_until(std::unique_lock<Mutex>& lk, const timespec& deadline) {
    return sleep(lk, &deadline) ? std::cv_status::no_timeout : std::cv_status::timeout;
}

}  // namespace standin
