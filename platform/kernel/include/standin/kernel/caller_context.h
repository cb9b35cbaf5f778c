#pragma once
// The calling process as the kernel sees it while a request runs in the caller's context:
// mapping regions into it, resolving its event handles, its threads' thread objects.
//
// A thread-local "current caller context" is set while a request runs in the caller's thread
// (the framework harness sets it around file creation, in-caller-context processing and
// cleanup). Code that runs on the machine's own threads (timers, work items, completions,
// queued requests) has none.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "standin/sync.h"
#include "knt/knt.h"
#include "standin/kernel/thread_object.h"

namespace standin::kernel {

// ---------------------------------------------------------------------------------------------
// Thread objects are kernel objects: one stays valid while a reference to it is held
// (ObReferenceObject / ObDereferenceObject), also after its thread or process has ended.
// createThreadObject allocates and fills one that holds one reference for its creator.
void* createThreadObject(KPRIORITY priority);
// Makes `object` (a thread object in memory shared with a process, for instance) a referenced
// kernel object holding one reference; `destroy` runs when the last reference goes.
void registerKernelObject(void* object, std::function<void()> destroy);

// ---------------------------------------------------------------------------------------------
struct EventLookup {
    NTSTATUS status =
        STATUS_INVALID_HANDLE;  // STATUS_SUCCESS, _INVALID_HANDLE, _OBJECT_TYPE_MISMATCH
    int eventFd = -1;  // on success: a descriptor of the event's eventfd that the caller owns
};

class CallerContext {
  public:
    virtual ~CallerContext() = default;

    virtual std::uint32_t processId() const = 0;

    // Maps `size` bytes of the memory behind `fd` (from offset 0, shared) into the process;
    // returns the address there, or null when it cannot.
    virtual void* mapRegion(int fd, std::size_t size) = 0;
    // Removes a view made by mapRegion; false when there is no such view.
    virtual bool unmapRegion(void* address, std::size_t size) = 0;

    // Resolves a handle of the process to an event.
    virtual EventLookup lookupEvent(HANDLE handle) = 0;

    // The calling thread's thread object, at an address the kernel can read and write for as
    // long as the process lives (also after the thread has ended).
    virtual void* currentThreadObject() = 0;

    // The process as a thread of another process reaches it after KeStackAttachProcess: its
    // views can be unmapped there (a context that needs no calling thread of its own). Null
    // when the process offers nothing to an attached thread.
    virtual std::shared_ptr<CallerContext> attachedContext() { return nullptr; }
};

// A process has ended: threads attached to it are waited for, its process object reports its
// exit from then on, and its views are gone with its address space.
void processEnded(std::uint32_t processId);

// The current caller context of this thread (null when none).
CallerContext* currentCaller();

// Sets the current caller context of this thread for a scope.
class CallerScope {
  public:
    explicit CallerScope(CallerContext* caller);
    ~CallerScope();
    CallerScope(const CallerScope&) = delete;
    CallerScope& operator=(const CallerScope&) = delete;

  private:
    CallerContext* previous_;
};

// ---------------------------------------------------------------------------------------------
// A process that is this process: regions are mapped a second time here, event handles come
// from a table the test fills, and every thread that calls in gets its own thread object.
class InProcessCallerContext final : public CallerContext {
  public:
    // Process ids are unique per context unless one is given.
    explicit InProcessCallerContext(std::uint32_t processId = 0);
    // Ends the process: unmaps its views and closes its handles.
    ~InProcessCallerContext() override;

    std::uint32_t processId() const override { return processId_; }
    void* mapRegion(int fd, std::size_t size) override;
    bool unmapRegion(void* address, std::size_t size) override;
    EventLookup lookupEvent(HANDLE handle) override;
    void* currentThreadObject() override;
    std::shared_ptr<CallerContext> attachedContext() override;

    // Handle table. addEvent keeps its own descriptor of `eventFd`.
    HANDLE addEvent(int eventFd);
    HANDLE addOtherObject();  // a handle to something that is not an event
    void closeHandle(HANDLE handle);

    std::size_t mappedViews() const;
    void failNextMappings(unsigned count);
    // Sets the priority byte of the calling thread's thread object.
    void setCurrentThreadPriority(KPRIORITY priority);

  private:
    struct HandleEntry {
        bool isEvent = false;
        int fd = -1;
    };

    const std::uint32_t processId_;
    mutable standin::Mutex mu_;
    std::map<std::uintptr_t, HandleEntry> handles_;
    std::uintptr_t nextHandle_ = 0x104;
    std::map<void*, std::size_t> views_;
    unsigned failMappings_ = 0;
    struct ThreadObject {
        void* block = nullptr;         // holds one reference
        std::uint64_t generation = 0;  // of the machine's kernel objects when it was made
    };
    std::map<std::thread::id, ThreadObject> threadObjects_;
};

// ---------------------------------------------------------------------------------------------
// An event of a user process as the machine implements it: an eventfd that is readable while
// the event is signalled (manual reset: until reset; automatic reset: a wait consumes it).
class UserEvent {
  public:
    explicit UserEvent(bool manualReset = true, bool initialState = false);
    ~UserEvent();
    UserEvent(const UserEvent&) = delete;
    UserEvent& operator=(const UserEvent&) = delete;

    int fd() const { return fd_; }
    void set();
    void reset();
    bool isSignalled() const;
    // Waits up to `timeoutMs` of real time; consumes the signal of an automatic-reset event.
    bool wait(int timeoutMs);

  private:
    int fd_ = -1;
    bool manualReset_;
};

}  // namespace standin::kernel
