// Threads, their thread objects and priorities, and waits.
//
// Every thread of the process that needs one (a thread made by CreateThread at its start, any
// other thread at its first priority call or device request) owns a slot of the process's
// thread-object block. The slot's thread object holds the thread's current priority byte,
// where the kernel host reads and writes it. A slot goes back to the block when its thread
// ends; it is given to a new thread only once the kernel holds no reference to its object.

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "link.h"
#include "objects.h"
#include "standin/host/protocol.h"
#include "standin/kernel/thread_object.h"
#include "standin/win32/scheduling.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace standin::win32 {
namespace {

namespace protocol = host::protocol;

const HANDLE kCurrentThread = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-2));

pid_t currentTid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

struct ThreadState {
    std::atomic<pid_t> tid{0};
    std::atomic<DWORD> exitCode{static_cast<DWORD>(STILL_ACTIVE)};
    std::atomic<bool> ended{false};
    int endedFd = -1;  // eventfd, readable once the thread has ended (threads of CreateThread)

    std::mutex mu;  // the fields below
    int relative = THREAD_PRIORITY_NORMAL;
    bool hasSlot = false;
    std::uint32_t slot = 0;
    std::uint64_t generation = 0;

    ~ThreadState() {
        if (endedFd >= 0) close(endedFd);
    }
};

class ThreadObject final : public detail::Waitable {
  public:
    static constexpr ObjectKind kKind = ObjectKind::Thread;
    explicit ThreadObject(std::shared_ptr<ThreadState> s) : Waitable(kKind), state(std::move(s)) {}
    int waitFd() const override { return state->endedFd; }
    bool consumedByWait() const override { return false; }
    const std::shared_ptr<ThreadState> state;
};

// ---- thread-object slots ----------------------------------------------------------------------
std::atomic_ref<std::uint32_t> blockWord(std::uint8_t* base, std::size_t offset) {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(base + offset));
}

std::atomic<std::uint32_t> gSlotCursor{0};

int byteForRelative(int relative) {
    if (relative == THREAD_PRIORITY_TIME_CRITICAL) return 15;
    if (relative == THREAD_PRIORITY_IDLE) return 1;
    return kernel::kDefaultThreadPriority + relative;
}

int relativeForByte(int byte) {
    if (byte >= 15) return THREAD_PRIORITY_TIME_CRITICAL;
    if (byte <= 1) return THREAD_PRIORITY_IDLE;
    if (byte <= 6) return THREAD_PRIORITY_LOWEST;
    if (byte >= 10) return THREAD_PRIORITY_HIGHEST;
    return byte - kernel::kDefaultThreadPriority;
}

bool validRelative(int p) {
    switch (p) {
        case THREAD_PRIORITY_IDLE:
        case THREAD_PRIORITY_LOWEST:
        case THREAD_PRIORITY_BELOW_NORMAL:
        case THREAD_PRIORITY_NORMAL:
        case THREAD_PRIORITY_ABOVE_NORMAL:
        case THREAD_PRIORITY_HIGHEST:
        case THREAD_PRIORITY_TIME_CRITICAL:
            return true;
        default:
            return false;
    }
}

std::atomic_ref<unsigned char> priorityByte(std::uint8_t* base, std::uint32_t slot) {
    return std::atomic_ref<unsigned char>(
        base[protocol::threadObjectOffset(slot) + kernel::kThreadObjectPriorityOffset]);
}

// Gives the state a slot of the current block unless it has one (state->mu held). False when
// no slot is free or no block can be made.
bool ensureSlotLocked(ThreadState& state) {
    detail::ThreadBlock block = detail::threadBlock();
    if (block.base == nullptr) return false;
    if (state.hasSlot && state.generation == block.generation) return true;
    for (std::uint32_t i = 0; i < protocol::kThreadSlots; ++i) {
        std::uint32_t s = (gSlotCursor.load() + i) % protocol::kThreadSlots;
        auto alive = blockWord(block.base, protocol::aliveWordOffset(s));
        auto refs = blockWord(block.base, protocol::kernelRefWordOffset(s));
        if (alive.load() != 0 || refs.load() != 0) continue;
        std::uint32_t expected = 0;
        if (!alive.compare_exchange_strong(expected, 1)) continue;
        if (refs.load() != 0) {  // the kernel took the old object meanwhile
            alive.store(0);
            continue;
        }
        gSlotCursor.store(s + 1);
        std::uint8_t* object = block.base + protocol::threadObjectOffset(s);
        kernel::initThreadObject(object, byteForRelative(state.relative));
        state.hasSlot = true;
        state.slot = s;
        state.generation = block.generation;
        return true;
    }
    return false;
}

void releaseSlot(ThreadState& state) {
    std::lock_guard lk(state.mu);
    if (!state.hasSlot) return;
    state.hasSlot = false;
    // A block of the parent (after fork) is not this process's to change.
    detail::ThreadBlock block = detail::threadBlock(false);
    if (block.base != nullptr && block.generation == state.generation)
        blockWord(block.base, protocol::aliveWordOffset(state.slot)).store(0);
}

// The calling thread's state, made at its first use.
struct Self {
    std::shared_ptr<ThreadState> state;
    ~Self() {
        if (state) releaseSlot(*state);
    }
};
thread_local Self tSelf;

std::shared_ptr<ThreadState> currentState() {
    if (!tSelf.state) {
        tSelf.state = std::make_shared<ThreadState>();
        tSelf.state->tid.store(currentTid());
    }
    return tSelf.state;
}

std::shared_ptr<ThreadState> stateOf(HANDLE h) {
    if (h == kCurrentThread) return currentState();
    auto object = referenceHandleAs<ThreadObject>(h);
    return object ? object->state : nullptr;
}

// ---- nice values ------------------------------------------------------------------------------
int baseNice() {
    static const int base = [] {
        errno = 0;
        int n = getpriority(PRIO_PROCESS, 0);
        return errno == 0 ? n : 0;
    }();
    return base;
}

// Time-critical threads in the real-time class (see scheduling.h), at this priority: below the
// machine's interrupt-level threads.
std::atomic<bool> gRealTimeForTimeCritical{false};
constexpr int kTimeCriticalRealTimePriority = 5;

void applyNice(pid_t tid, int relative) {
    if (tid <= 0) return;
    if (gRealTimeForTimeCritical.load(std::memory_order_relaxed)) {
        sched_param param{};
        if (relative == THREAD_PRIORITY_TIME_CRITICAL) {
            param.sched_priority = kTimeCriticalRealTimePriority;
            if (sched_setscheduler(tid, SCHED_FIFO, &param) == 0) return;
        } else {
            sched_setscheduler(tid, SCHED_OTHER, &param);  // back from the real-time class
        }
    }
    int delta = 0;
    switch (relative) {
        case THREAD_PRIORITY_TIME_CRITICAL:
            delta = -15;
            break;
        case THREAD_PRIORITY_HIGHEST:
            delta = -10;
            break;
        case THREAD_PRIORITY_ABOVE_NORMAL:
            delta = -5;
            break;
        case THREAD_PRIORITY_BELOW_NORMAL:
            delta = 5;
            break;
        case THREAD_PRIORITY_LOWEST:
            delta = 10;
            break;
        case THREAD_PRIORITY_IDLE:
            delta = 19;
            break;
        default:
            break;
    }
    int nice = baseNice() + delta;
    if (nice < -20) nice = -20;
    if (nice > 19) nice = 19;
    // Without the right to lower a nice value the thread keeps the one it has.
    setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);
}

// ---- CreateThread -----------------------------------------------------------------------------
struct StartBlock {
    std::shared_ptr<ThreadState> state;
    LPTHREAD_START_ROUTINE routine = nullptr;
    LPVOID parameter = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    bool started = false;
};

void* threadMain(void* argument) {
    auto* start = static_cast<StartBlock*>(argument);
    std::shared_ptr<ThreadState> state = start->state;
    LPTHREAD_START_ROUTINE routine = start->routine;
    LPVOID parameter = start->parameter;
    tSelf.state = state;
    state->tid.store(currentTid());
    {
        std::lock_guard lk(state->mu);
        ensureSlotLocked(*state);
    }
    {
        std::lock_guard lk(start->mu);
        start->started = true;
        start->cv.notify_all();
    }
    // `start` belongs to the creator from here on.
    DWORD code = routine(parameter);
    releaseSlot(*state);
    state->exitCode.store(code);
    state->ended.store(true);
    std::uint64_t one = 1;
    ssize_t w = write(state->endedFd, &one, sizeof one);
    (void)w;
    return nullptr;
}

// ---- waits ------------------------------------------------------------------------------------
std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

namespace detail {

bool currentThreadSlot(std::uint32_t* slot) {
    auto state = currentState();
    std::lock_guard lk(state->mu);
    if (!ensureSlotLocked(*state)) return false;
    *slot = state->slot;
    return true;
}

}  // namespace detail

int threadObjectPriority(HANDLE thread) {
    auto state = stateOf(thread);
    if (!state) return -1;
    std::lock_guard lk(state->mu);
    detail::ThreadBlock block = detail::threadBlock(false);
    if (!state->hasSlot || block.base == nullptr || block.generation != state->generation)
        return -1;
    return priorityByte(block.base, state->slot).load(std::memory_order_relaxed);
}

}  // namespace standin::win32

using namespace standin::win32;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES /*lpThreadAttributes*/, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (lpStartAddress == nullptr ||
        (dwCreationFlags &
         ~static_cast<DWORD>(CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION)) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (dwCreationFlags & CREATE_SUSPENDED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto state = std::make_shared<ThreadState>();
    state->endedFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->endedFd < 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HANDLE handle = insertHandle(std::make_shared<ThreadObject>(state));
    if (handle == nullptr) return nullptr;  // last error set

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (dwStackSize > 0) {
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        std::size_t size = (dwStackSize + page - 1) / page * page;
        if (size < static_cast<std::size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
        pthread_attr_setstacksize(&attr, size);
    }
    StartBlock start;
    start.state = state;
    start.routine = lpStartAddress;
    start.parameter = lpParameter;
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, threadMain, &start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        removeHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    {
        std::unique_lock lk(start.mu);
        start.cv.wait(lk, [&] { return start.started; });
    }
    if (lpThreadId != nullptr) *lpThreadId = static_cast<DWORD>(state->tid.load());
    return handle;
}

HANDLE WINAPI GetCurrentThread() {
    return kCurrentThread;
}

DWORD WINAPI GetCurrentThreadId() {
    return static_cast<DWORD>(currentTid());
}

BOOL WINAPI SetThreadPriority(HANDLE hThread, int nPriority) {
    auto state = stateOf(hThread);
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!validRelative(nPriority)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        std::lock_guard lk(state->mu);
        state->relative = nPriority;
        if (hThread == kCurrentThread) ensureSlotLocked(*state);
        detail::ThreadBlock block = detail::threadBlock(false);
        if (state->hasSlot && block.base != nullptr && block.generation == state->generation) {
            priorityByte(block.base, state->slot)
                .store(static_cast<unsigned char>(byteForRelative(nPriority)),
                       std::memory_order_relaxed);
        }
    }
    if (!state->ended.load()) applyNice(state->tid.load(), nPriority);
    return TRUE;
}

int WINAPI GetThreadPriority(HANDLE hThread) {
    auto state = stateOf(hThread);
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return THREAD_PRIORITY_ERROR_RETURN;
    }
    std::lock_guard lk(state->mu);
    detail::ThreadBlock block = detail::threadBlock(false);
    if (state->hasSlot && block.base != nullptr && block.generation == state->generation)
        return relativeForByte(
            priorityByte(block.base, state->slot).load(std::memory_order_relaxed));
    return state->relative;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto state = stateOf(hThread);
    if (!state) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpExitCode == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpExitCode = state->exitCode.load();
    return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    if (hHandle == kCurrentThread) {
        // A thread waiting for its own end waits for ever, as on the platform.
        if (dwMilliseconds == INFINITE) {
            for (;;) pause();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
        return WAIT_TIMEOUT;
    }
    auto object = referenceHandle(hHandle);
    if (!object || (object->kind() != ObjectKind::Event && object->kind() != ObjectKind::Thread)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    auto* waitable = static_cast<detail::Waitable*>(object.get());
    const int fd = waitable->waitFd();
    const bool forever = dwMilliseconds == INFINITE;
    const std::int64_t deadline =
        nowMs() + (forever ? 0 : static_cast<std::int64_t>(dwMilliseconds));
    for (;;) {
        int timeout = -1;
        if (!forever) {
            std::int64_t left = deadline - nowMs();
            if (left < 0) left = 0;
            timeout = static_cast<int>(left > INT_MAX ? INT_MAX : left);
        }
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, timeout);
        if (r < 0) {
            if (errno == EINTR) continue;
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (r > 0 && !(p.revents & POLLIN)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (r > 0) {
            if (!waitable->consumedByWait()) return WAIT_OBJECT_0;
            std::uint64_t value;
            if (read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value))
                return WAIT_OBJECT_0;
            continue;  // another waiter took the signal first
        }
        if (!forever && nowMs() >= deadline) return WAIT_TIMEOUT;
    }
}

namespace standin::win32 {

void setRealTimeForTimeCritical(bool on) {
    gRealTimeForTimeCritical.store(on, std::memory_order_relaxed);
}

}  // namespace standin::win32
