// The calling process: the thread-local caller context, the in-process implementation, user
// events, and thread objects (of user threads and of the machine's own threads).

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <map>
#include <shared_mutex>
#include <vector>

#include "standin/sync.h"
#include "internal.h"
#include "standin/kernel/memory.h"

namespace standin::kernel {
namespace {

thread_local CallerContext* tCaller = nullptr;

std::atomic<std::uint32_t> gNextProcessId{1000};

struct SystemThreads {
    standin::Mutex mu;
    std::uint64_t generation = 1;
};

SystemThreads& systemThreads() {
    static SystemThreads* s = new SystemThreads;
    return *s;
}

struct ThreadSlot {
    std::uint64_t generation = 0;
    void* block = nullptr;
};
thread_local ThreadSlot tSystemThread;

constexpr std::uint32_t kSystemProcessId = 4;
constexpr ULONG kBugCheckInvalidProcessAttach = 0x05;
constexpr ULONG kBugCheckInvalidProcessDetach = 0x06;

// A process object: a kernel object for as long as the process lives (the table's reference)
// or the kernel holds one. Attached threads hold its rundown shared; its end takes it whole.
struct ProcessObject {
    std::uint32_t processId = 0;
    std::uint64_t generation = 0;
    std::shared_mutex rundown;
    std::atomic<bool> ended{false};
    std::shared_ptr<CallerContext> attached;  // under rundown
};

struct ProcessTable {
    standin::Mutex mu;
    std::map<std::uint32_t, ProcessObject*> live;
};

ProcessTable& processTable() {
    static auto* t = new ProcessTable;
    return *t;
}

// The context of a thread attached to another process: the process's views and handles, the
// thread's own thread object.
class AttachedCaller final : public CallerContext {
  public:
    AttachedCaller(CallerContext* thread, ProcessObject* process)
        : thread_(thread), process_(process) {}

    std::uint32_t processId() const override { return process_->processId; }
    void* mapRegion(int fd, std::size_t size) override {
        CallerContext* c = target();
        return c ? c->mapRegion(fd, size) : nullptr;
    }
    bool unmapRegion(void* address, std::size_t size) override {
        // A process that has ended took its views with it.
        CallerContext* c = target();
        return c ? c->unmapRegion(address, size) : true;
    }
    EventLookup lookupEvent(HANDLE handle) override {
        CallerContext* c = target();
        return c ? c->lookupEvent(handle) : EventLookup{};
    }
    void* currentThreadObject() override {
        return thread_ ? thread_->currentThreadObject() : detail::systemThreadObject();
    }
    std::shared_ptr<CallerContext> attachedContext() override { return process_->attached; }

  private:
    CallerContext* target() {
        if (thread_ && thread_->processId() == process_->processId) return thread_;
        return process_->attached.get();
    }

    CallerContext* thread_;
    ProcessObject* process_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
void* createThreadObject(KPRIORITY priority) {
    auto* block = new unsigned char[kThreadObjectSize];
    initThreadObject(block, priority);
    registerKernelObject(block, [block] { delete[] block; });
    return block;
}

CallerContext* currentCaller() {
    return tCaller;
}

CallerScope::CallerScope(CallerContext* caller) : previous_(tCaller) {
    tCaller = caller;
}
CallerScope::~CallerScope() {
    tCaller = previous_;
}

namespace detail {

CallerContext* swapCaller(CallerContext* caller) {
    CallerContext* previous = tCaller;
    tCaller = caller;
    return previous;
}

void* systemThreadObject() {
    auto& s = systemThreads();
    std::lock_guard lk(s.mu);
    if (tSystemThread.generation != s.generation || !tSystemThread.block) {
        // Machine threads keep their thread objects until the machine is reset.
        tSystemThread = ThreadSlot{s.generation, createThreadObject(kDefaultThreadPriority)};
    }
    return tSystemThread.block;
}

void resetThreads() {
    {
        auto& s = systemThreads();
        std::lock_guard lk(s.mu);
        ++s.generation;  // the objects themselves went with the machine's kernel objects
        tCaller = nullptr;
    }
    auto& t = processTable();
    std::lock_guard lk(t.mu);
    t.live.clear();  // so did the process objects
}

}  // namespace detail

// ---------------------------------------------------------------------------------------------
InProcessCallerContext::InProcessCallerContext(std::uint32_t processId)
    : processId_(processId ? processId : gNextProcessId.fetch_add(1)) {}

InProcessCallerContext::~InProcessCallerContext() {
    processEnded(processId_);
    std::lock_guard lk(mu_);
    for (auto& [address, size] : views_) munmap(address, size);
    views_.clear();
    for (auto& [h, entry] : handles_)
        if (entry.fd >= 0) close(entry.fd);
    handles_.clear();
    // A thread object the kernel still references outlives the process.
    for (auto& [id, t] : threadObjects_) detail::releaseKernelObject(t.block, t.generation);
    threadObjects_.clear();
}

void* InProcessCallerContext::mapRegion(int fd, std::size_t size) {
    std::lock_guard lk(mu_);
    if (failMappings_ > 0) {
        --failMappings_;
        return nullptr;
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return nullptr;
    views_.emplace(p, size);
    return p;
}

bool InProcessCallerContext::unmapRegion(void* address, std::size_t size) {
    std::lock_guard lk(mu_);
    auto it = views_.find(address);
    if (it == views_.end() || it->second != size) return false;
    munmap(address, size);
    views_.erase(it);
    return true;
}

EventLookup InProcessCallerContext::lookupEvent(HANDLE handle) {
    std::lock_guard lk(mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) return {STATUS_INVALID_HANDLE, -1};
    if (!it->second.isEvent) return {STATUS_OBJECT_TYPE_MISMATCH, -1};
    int fd = dup(it->second.fd);
    if (fd < 0) return {STATUS_INSUFFICIENT_RESOURCES, -1};
    return {STATUS_SUCCESS, fd};
}

void* InProcessCallerContext::currentThreadObject() {
    std::lock_guard lk(mu_);
    auto& t = threadObjects_[std::this_thread::get_id()];
    std::uint64_t generation = detail::kernelObjectGeneration();
    if (!t.block || t.generation != generation)
        t = ThreadObject{createThreadObject(kDefaultThreadPriority), generation};
    return t.block;
}

std::shared_ptr<CallerContext> InProcessCallerContext::attachedContext() {
    // Not owned: the process object lets go of it when this process ends.
    return std::shared_ptr<CallerContext>(std::shared_ptr<CallerContext>(), this);
}

void processEnded(std::uint32_t processId) {
    ProcessObject* process = nullptr;
    {
        auto& t = processTable();
        std::lock_guard lk(t.mu);
        auto it = t.live.find(processId);
        if (it != t.live.end()) {
            process = it->second;
            t.live.erase(it);
        }
    }
    if (process != nullptr) {
        std::unique_lock rundown(process->rundown);
        process->ended.store(true);
        process->attached.reset();
    }
    pages::processGone(processId);
    if (process != nullptr) detail::releaseKernelObject(process, process->generation);
}

HANDLE InProcessCallerContext::addEvent(int eventFd) {
    std::lock_guard lk(mu_);
    std::uintptr_t h = nextHandle_;
    nextHandle_ += 4;
    handles_[h] = HandleEntry{true, dup(eventFd)};
    return reinterpret_cast<HANDLE>(h);
}

HANDLE InProcessCallerContext::addOtherObject() {
    std::lock_guard lk(mu_);
    std::uintptr_t h = nextHandle_;
    nextHandle_ += 4;
    handles_[h] = HandleEntry{false, -1};
    return reinterpret_cast<HANDLE>(h);
}

void InProcessCallerContext::closeHandle(HANDLE handle) {
    std::lock_guard lk(mu_);
    auto it = handles_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == handles_.end()) return;
    if (it->second.fd >= 0) close(it->second.fd);
    handles_.erase(it);
}

std::size_t InProcessCallerContext::mappedViews() const {
    std::lock_guard lk(mu_);
    return views_.size();
}

void InProcessCallerContext::failNextMappings(unsigned count) {
    std::lock_guard lk(mu_);
    failMappings_ = count;
}

void InProcessCallerContext::setCurrentThreadPriority(KPRIORITY priority) {
    setThreadObjectPriority(currentThreadObject(), priority);
}

// ---------------------------------------------------------------------------------------------
UserEvent::UserEvent(bool manualReset, bool initialState) : manualReset_(manualReset) {
    fd_ = eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
}

UserEvent::~UserEvent() {
    if (fd_ >= 0) close(fd_);
}

void UserEvent::set() {
    std::uint64_t one = 1;
    ssize_t w = write(fd_, &one, sizeof one);
    (void)w;
}

void UserEvent::reset() {
    std::uint64_t v;
    while (read(fd_, &v, sizeof v) == static_cast<ssize_t>(sizeof v)) {
    }
}

bool UserEvent::isSignalled() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool UserEvent::wait(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0 || !(p.revents & POLLIN)) return false;
    if (!manualReset_) {
        std::uint64_t v;
        if (read(fd_, &v, sizeof v) != static_cast<ssize_t>(sizeof v)) return false;
    }
    return true;
}

}  // namespace standin::kernel

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;

extern "C" PKTHREAD NTAPI KeGetCurrentThread(void) {
    CallerContext* caller = currentCaller();
    void* block = caller ? caller->currentThreadObject() : detail::systemThreadObject();
    return static_cast<PKTHREAD>(block);
}

extern "C" PETHREAD NTAPI PsGetCurrentThread(void) {
    return reinterpret_cast<PETHREAD>(KeGetCurrentThread());
}

extern "C" HANDLE NTAPI PsGetCurrentProcessId(void) {
    // Outside any caller's context a thread runs in the system process.
    CallerContext* caller = currentCaller();
    return ULongToHandle(caller ? caller->processId() : kSystemProcessId);
}

extern "C" PEPROCESS NTAPI PsGetCurrentProcess(void) {
    CallerContext* caller = currentCaller();
    const std::uint32_t id = caller ? caller->processId() : kSystemProcessId;
    const std::uint64_t generation = detail::kernelObjectGeneration();
    auto& t = processTable();
    std::lock_guard lk(t.mu);
    auto it = t.live.find(id);
    if (it != t.live.end() && it->second->generation == generation)
        return reinterpret_cast<PEPROCESS>(it->second);
    auto* process = new ProcessObject;
    process->processId = id;
    process->generation = generation;
    if (caller) process->attached = caller->attachedContext();
    registerKernelObject(process, [process] { delete process; });
    t.live[id] = process;
    return reinterpret_cast<PEPROCESS>(process);
}

extern "C" HANDLE NTAPI PsGetProcessId(PEPROCESS Process) {
    return ULongToHandle(reinterpret_cast<ProcessObject*>(Process)->processId);
}

extern "C" NTSTATUS NTAPI PsGetProcessExitStatus(PEPROCESS Process) {
    return reinterpret_cast<ProcessObject*>(Process)->ended.load() ? STATUS_SUCCESS
                                                                   : STATUS_PENDING;
}

extern "C" VOID NTAPI KeStackAttachProcess(PRKPROCESS Process, PRKAPC_STATE ApcState) {
    if (!Process || !ApcState) {
        detail::bugCheck(kBugCheckInvalidProcessAttach, "KeStackAttachProcess without a process");
        return;
    }
    if (!detail::requireIrqlAtMost(APC_LEVEL, "KeStackAttachProcess")) return;
    auto* process = reinterpret_cast<ProcessObject*>(Process);
    process->rundown.lock_shared();
    auto* attached = new AttachedCaller(currentCaller(), process);
    ApcState->Reserved[0] = process;
    ApcState->Reserved[1] = attached;
    ApcState->Reserved[2] = detail::swapCaller(attached);
}

extern "C" VOID NTAPI KeUnstackDetachProcess(PRKAPC_STATE ApcState) {
    auto* process = static_cast<ProcessObject*>(ApcState->Reserved[0]);
    auto* attached = static_cast<AttachedCaller*>(ApcState->Reserved[1]);
    if (!process || currentCaller() != attached) {
        detail::bugCheck(kBugCheckInvalidProcessDetach,
                         "KeUnstackDetachProcess without the matching KeStackAttachProcess");
        return;
    }
    detail::swapCaller(static_cast<CallerContext*>(ApcState->Reserved[2]));
    delete attached;
    ApcState->Reserved[0] = ApcState->Reserved[1] = nullptr;
    process->rundown.unlock_shared();
}

extern "C" KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) {
    if (!Thread) {
        detail::bugCheck(kBugCheckIrqlNotLessOrEqual, "KeQueryPriorityThread of a null thread");
        return 0;
    }
    return threadObjectPriority(Thread);
}
