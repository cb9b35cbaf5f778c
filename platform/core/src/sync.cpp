#include "standin/sync.h"

#include <cerrno>
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

CondVar::CondVar() {
    pthread_condattr_t attr;
    check(pthread_condattr_init(&attr), "pthread_condattr_init");
    check(pthread_condattr_setclock(&attr, CLOCK_MONOTONIC), "pthread_condattr_setclock");
    check(pthread_cond_init(&c_, &attr), "pthread_cond_init");
    pthread_condattr_destroy(&attr);
}

CondVar::~CondVar() {
    pthread_cond_destroy(&c_);
}

void CondVar::notify_one() noexcept {
    pthread_cond_signal(&c_);
}

void CondVar::notify_all() noexcept {
    pthread_cond_broadcast(&c_);
}

void CondVar::wait(std::unique_lock<Mutex>& lk) {
    check(pthread_cond_wait(&c_, lk.mutex()->native_handle()), "pthread_cond_wait");
}

std::cv_status CondVar::wait_until(std::unique_lock<Mutex>& lk, const timespec& deadline) {
    const int rc = pthread_cond_timedwait(&c_, lk.mutex()->native_handle(), &deadline);
    if (rc == ETIMEDOUT) return std::cv_status::timeout;
    check(rc, "pthread_cond_timedwait");
    return std::cv_status::no_timeout;
}

}  // namespace standin
