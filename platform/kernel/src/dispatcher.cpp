// Kernel events and timers, waits on them, and referenced kernel objects (the events of user
// processes behind their handles, thread objects).

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "internal.h"
#include "standin/clock.h"
#include "standin/sync.h"

namespace standin::kernel {
namespace {

constexpr UCHAR kEventNotification = 0;
constexpr UCHAR kEventSynchronization = 1;
constexpr UCHAR kTimerNotification = 8;
constexpr UCHAR kUserEvent = 0x7E;
constexpr ULONG kInitializedMagic = 0x6B4F624A;
// The largest value an event descriptor's counter holds.
constexpr std::uint64_t kSignalledCount = 0xFFFFFFFFFFFFFFFEull;

// The bug check for an object that is not what the call needs.
constexpr ULONG kBugCheckInvalidObject = 0x93;

// A process's event descriptor, closed when the last user lets go of it. Its lane is the
// signalling thread that writes the signals handed on for it, so that they stay in order.
struct EventFd {
    EventFd(int f, unsigned l) : fd(f), lane(l) {}
    ~EventFd() { close(fd); }
    EventFd(const EventFd&) = delete;
    EventFd& operator=(const EventFd&) = delete;
    const int fd;
    const unsigned lane;
};

struct ReferencedEvent {
    KEVENT event;  // first: the object pointer handed out is this event
    std::shared_ptr<EventFd> fd;
};

// Signals one event descriptor: one write both signals and tells the previous state. Adding the
// counter's largest value succeeds only on a counter at 0 (not signalled); a signalled counter
// refuses it (the descriptor is non-blocking) and stays signalled. Readers only ask whether the
// counter is above 0, and a reset reads it back to 0 whatever it holds. True when it was not
// signalled before.
bool signalFd(int fd) {
    std::uint64_t signal = kSignalledCount;
    return write(fd, &signal, sizeof signal) == static_cast<ssize_t>(sizeof signal);
}

// Waking a program's thread costs the writer a good part of the wake-up. A machine task that
// signals many programs' events at once (a block boundary with a hundred clients) would hold up
// the bus behind it, so past the first few of a task the signals go to threads of their own, at
// dispatch priority. The events stay open until they are written.
constexpr unsigned kDirectSignalsPerTask = 4;

// One thread writing a hundred signals one after another takes most of a 2 ms block on a
// virtual machine, whose wake-ups cost tens of microseconds each: the last program hears of the
// boundary that much later than the first. So a few threads share the writes, each on the
// processor the system gives it, and each event keeps to one of them.
constexpr unsigned kMostSignallingLanes = 4;

unsigned signallingLanes() {
    static const unsigned lanes =
        std::clamp(std::thread::hardware_concurrency() / 2, 1u, kMostSignallingLanes);
    return lanes;
}

std::atomic<unsigned> gNextLane{0};

// A task that hands this many signals on or more (a boundary of many clients) hands its first
// few on with them; with fewer its thread writes those few itself, soonest.
constexpr std::size_t kHandAllOnFrom = 16;

thread_local bool tInMachineTask = false;
thread_local unsigned tSignalsThisTask = 0;

// A dispatch task's signals wait until the task has returned. The write that wakes a program's
// thread may stand still for milliseconds (the system's wake-up waits for the processor the woken
// thread last ran on, and a virtual processor may be held by its host); made in the middle of a
// completion it would hold up the rest of it (the next read to the device) and keep the
// machine's dispatch place taken, so that nothing else covers the timers meanwhile. After the
// task the clock has given the place back: the task's thread writes the first few itself and
// hands the rest on with one wake-up, or, when there are many, hands them all on. The events
// stay open until they are written.
thread_local bool tDeferSignals = false;
struct DeferredSignals {
    std::array<std::shared_ptr<EventFd>, kDirectSignalsPerTask> fds;
    unsigned count = 0;
    std::vector<std::shared_ptr<EventFd>> handOn;
};
thread_local DeferredSignals tDeferred;

// Where the process may, a signalling thread runs in the real-time class one step below the
// machine's dispatch-level threads: ahead of every program, but never keeping the timer's keeper
// or the stand-by thread off a processor while it writes (threads of one first-in first-out
// priority do not put each other aside).
void runJustBelowTheMachine() {
    runAheadOfPrograms();
    int policy = 0;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) != 0 || policy != SCHED_FIFO ||
        param.sched_priority <= 1)
        return;
    param.sched_priority -= 1;
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

// The signalling threads. Everything handed on goes to the first lane's thread. A large batch
// it spreads: each other lane gets its share (one wake-up each, only for a lane that has
// something) before the first writes its own; a lane writes in the order it was given. A small
// one (a boundary of a few clients) it writes alone, adding no wake-up, unless another lane
// still holds signals. So the machine task pays for one wake-up, whatever the number of
// signals, and one event's signals keep their order.
class Signaller {
  public:
    explicit Signaller(unsigned lanes) : lanes_(lanes) {
        for (auto& lane : lanes_) lane.queue.reserve(kReserved);
        shares_.resize(lanes);
        for (auto& share : shares_) share.reserve(kReserved);
    }

    void post(std::shared_ptr<EventFd> fd) {
        Lane& head = lanes_[0];
        std::lock_guard lk(head.mu);
        head.queue.push_back(std::move(fd));
        wakeLocked(0);
    }

    // Takes the signals out of `batch`, which keeps its memory.
    void post(std::vector<std::shared_ptr<EventFd>>& batch) {
        Lane& head = lanes_[0];
        {
            std::lock_guard lk(head.mu);
            head.queue.insert(head.queue.end(), std::make_move_iterator(batch.begin()),
                              std::make_move_iterator(batch.end()));
            wakeLocked(0);
        }
        batch.clear();
    }

  private:
    static constexpr std::size_t kReserved = 128;
    static constexpr std::size_t kSpreadFrom = 16;

    struct Lane {
        standin::Mutex mu;
        standin::CondVar cv;
        std::vector<std::shared_ptr<EventFd>> queue;
        bool waiting = false;
        bool started = false;
    };

    void wakeLocked(unsigned i) {
        Lane& lane = lanes_[i];
        if (!lane.started) {
            lane.started = true;
            std::thread([this, i] { loop(i); }).detach();
        } else if (lane.waiting) {
            lane.cv.notify_one();
        }
    }

    // Only the first lane's thread uses shares_.
    void spread(std::vector<std::shared_ptr<EventFd>>& batch) {
        const auto n = static_cast<unsigned>(lanes_.size());
        std::size_t kept = 0;
        for (auto& e : batch) {
            const unsigned to = e->lane % n;
            if (to == 0)
                batch[kept++] = std::move(e);
            else
                shares_[to].push_back(std::move(e));
        }
        batch.resize(kept);
        for (unsigned i = 1; i < n; ++i) {
            if (shares_[i].empty()) continue;
            Lane& lane = lanes_[i];
            elsewhere_.fetch_add(shares_[i].size(), std::memory_order_relaxed);
            {
                std::lock_guard lk(lane.mu);
                lane.queue.insert(lane.queue.end(), std::make_move_iterator(shares_[i].begin()),
                                  std::make_move_iterator(shares_[i].end()));
                wakeLocked(i);
            }
            shares_[i].clear();
        }
    }

    void loop(unsigned i) {
        runJustBelowTheMachine();
        Lane& lane = lanes_[i];
        std::vector<std::shared_ptr<EventFd>> batch;
        batch.reserve(kReserved);
        std::unique_lock lk(lane.mu);
        for (;;) {
            lane.waiting = true;
            lane.cv.wait(lk, [&] { return !lane.queue.empty(); });
            lane.waiting = false;
            batch.swap(lane.queue);
            lk.unlock();
            if (i == 0 && lanes_.size() > 1 &&
                (batch.size() >= kSpreadFrom || elsewhere_.load(std::memory_order_acquire) != 0))
                spread(batch);
            for (const auto& e : batch) signalFd(e->fd);
            if (i != 0) elsewhere_.fetch_sub(batch.size(), std::memory_order_release);
            batch.clear();  // the last user of an event closes its descriptor here
            lk.lock();
        }
    }

    std::vector<Lane> lanes_;
    std::vector<std::vector<std::shared_ptr<EventFd>>> shares_;
    // Signals given to the other lanes and not yet written. While there are none, the first
    // lane may write any event's signal itself without passing an earlier one of that event.
    std::atomic<std::size_t> elsewhere_{0};
};

Signaller& signaller() {
    static Signaller* s = new Signaller(signallingLanes());  // its threads live as long as the
                                                             // process
    return *s;
}

struct KernelObject {
    long references = 1;
    std::function<void()> destroy;
};

struct ActiveTimer {
    std::uint64_t serial = 0;
    detail::TaskHandle task;
    Time100ns due = 0;
};

struct DispatcherState {
    standin::Mutex mu;
    std::unordered_map<PKTIMER, ActiveTimer> timers;
    std::uint64_t nextSerial = 1;
    std::unordered_map<void*, KernelObject> objects;
    std::uint64_t objectGeneration = 1;
};

DispatcherState& state() {
    static DispatcherState* s = new DispatcherState;
    return *s;
}

struct OpaqueObjectType {
    int unused = 0;
};
OpaqueObjectType gEventType;
POBJECT_TYPE gEventTypePointer = reinterpret_cast<POBJECT_TYPE>(&gEventType);

LONG& signalState(DISPATCHER_HEADER& h) {
    return h.SignalState;
}

LONG loadState(DISPATCHER_HEADER& h) {
    return std::atomic_ref<LONG>(signalState(h)).load(std::memory_order_acquire);
}

LONG exchangeState(DISPATCHER_HEADER& h, LONG v) {
    return std::atomic_ref<LONG>(signalState(h)).exchange(v, std::memory_order_acq_rel);
}

bool validEvent(PRKEVENT event, const char* what) {
    if (event && event->Header.Initialized == kInitializedMagic &&
        (event->Header.Type == kEventNotification || event->Header.Type == kEventSynchronization ||
         event->Header.Type == kUserEvent))
        return true;
    detail::bugCheck(kBugCheckInvalidObject,
                     std::string(what) + " on something that is not an initialised event");
    return false;
}

ReferencedEvent* userEvent(PRKEVENT event) {
    return static_cast<ReferencedEvent*>(event->Header.Binding);
}

int userFd(PRKEVENT event) {
    return userEvent(event)->fd->fd;
}

bool fdReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

// One read takes the whole counter back to 0.
void drainFd(int fd) {
    std::uint64_t v;
    ssize_t r = read(fd, &v, sizeof v);
    (void)r;
}

}  // namespace

namespace detail {

MachineTaskScope::MachineTaskScope(bool handOnSignals, bool deferSignals) {
    tInMachineTask = handOnSignals;
    tDeferSignals = handOnSignals && deferSignals;
    tSignalsThisTask = 0;
}

MachineTaskScope::~MachineTaskScope() {
    tInMachineTask = false;
    tDeferSignals = false;
    // Also when the task ends by an exception: no signal is lost.
    if ((tDeferred.count != 0 || !tDeferred.handOn.empty()) && !runAfterTask(&flushDeferredSignals))
        flushDeferredSignals();
}

void flushDeferredSignals() {
    if (tDeferred.handOn.size() >= kHandAllOnFrom) {
        // The first few go ahead of the rest: this thread, which keeps the machine's timer, then
        // waits for no program's wake-up at all.
        auto& handOn = tDeferred.handOn;
        handOn.insert(handOn.begin(), std::make_move_iterator(tDeferred.fds.begin()),
                      std::make_move_iterator(tDeferred.fds.begin() + tDeferred.count));
        tDeferred.count = 0;
        signaller().post(handOn);
        return;
    }
    if (!tDeferred.handOn.empty()) signaller().post(tDeferred.handOn);
    // Taken out one by one before the write: each is written once, whatever the write does.
    for (unsigned i = 0; i < tDeferred.count; ++i) {
        std::shared_ptr<EventFd> fd = std::move(tDeferred.fds[i]);
        signalFd(fd->fd);
    }
    tDeferred.count = 0;
}

// Writes the signals of `fd` that the calling thread's task still keeps: a signal set before a
// reset or a read of the event's state comes before it. The others keep waiting for the task's
// end.
void flushDeferredSignalOf(int fd) {
    bool written = false;
    unsigned kept = 0;
    for (unsigned i = 0; i < tDeferred.count; ++i) {
        std::shared_ptr<EventFd> e = std::move(tDeferred.fds[i]);
        if (e->fd != fd) {
            tDeferred.fds[kept++] = std::move(e);
        } else if (!written) {
            written = true;
            signalFd(fd);
        }
    }
    tDeferred.count = kept;
    auto& handOn = tDeferred.handOn;
    const auto before = handOn.size();
    std::erase_if(handOn, [fd](const std::shared_ptr<EventFd>& e) { return e->fd == fd; });
    if (handOn.size() != before && !written) signalFd(fd);
}

void checkNoActiveTimersIn(const void* begin, std::size_t size) {
    auto* lo = static_cast<const unsigned char*>(begin);
    auto* hi = lo + size;
    std::vector<std::string> stillSet;
    Time100ns t = now();
    {
        auto& s = state();
        std::lock_guard lk(s.mu);
        for (auto it = s.timers.begin(); it != s.timers.end();) {
            auto* p = reinterpret_cast<const unsigned char*>(it->first);
            if (p >= lo && p < hi) {
                // A timer whose time has come is only waiting for its turn on the clock: it
                // expires now. One still due later is a timer freed while it is set.
                if (it->second.due > t) stillSet.push_back("a kernel timer due later");
                cancel(it->second.task);
                it = s.timers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& what : stillSet)
        bugCheck(kBugCheckTimerOrDpcInvalid, "memory freed while it holds " + what);
}

void resetDispatcher() {
    std::unordered_map<void*, KernelObject> objects;
    {
        auto& s = state();
        std::lock_guard lk(s.mu);
        s.timers.clear();
        objects.swap(s.objects);
        ++s.objectGeneration;
    }
    for (auto& [o, entry] : objects)
        if (entry.destroy) entry.destroy();
}

std::uint64_t kernelObjectGeneration() {
    auto& s = state();
    std::lock_guard lk(s.mu);
    return s.objectGeneration;
}

void releaseKernelObject(void* object, std::uint64_t generation) {
    std::function<void()> destroy;
    {
        auto& s = state();
        std::lock_guard lk(s.mu);
        if (generation != s.objectGeneration) return;
        auto it = s.objects.find(object);
        if (it == s.objects.end() || --it->second.references > 0) return;
        destroy = std::move(it->second.destroy);
        s.objects.erase(it);
    }
    if (destroy) destroy();
}

}  // namespace detail

void registerKernelObject(void* object, std::function<void()> destroy) {
    auto& s = state();
    std::lock_guard lk(s.mu);
    s.objects[object] = KernelObject{1, std::move(destroy)};
}

}  // namespace standin::kernel

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;

POBJECT_TYPE* ExEventObjectType = &gEventTypePointer;

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (!Event) {
        detail::bugCheck(kBugCheckInvalidObject, "KeInitializeEvent of a null event");
        return;
    }
    std::memset(Event, 0, sizeof(KEVENT));
    Event->Header.Type = Type == SynchronizationEvent ? kEventSynchronization : kEventNotification;
    Event->Header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.Initialized = kInitializedMagic;
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    if (!validEvent(Event, "KeSetEvent")) return 0;
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent")) return 0;
    if (Event->Header.Type == kUserEvent) {
        if (tDeferSignals) {
            // Written or handed on after the task (its previous state is not known here either).
            ++tSignalsThisTask;
            if (tDeferred.count < tDeferred.fds.size()) {
                tDeferred.fds[tDeferred.count++] = userEvent(Event)->fd;
            } else {
                if (tDeferred.handOn.capacity() == 0) tDeferred.handOn.reserve(128);
                tDeferred.handOn.push_back(userEvent(Event)->fd);
            }
            return 0;
        }
        if (tInMachineTask && ++tSignalsThisTask > kDirectSignalsPerTask) {
            // Handed on: its previous state is not known here, and is reported as not
            // signalled.
            signaller().post(userEvent(Event)->fd);
            return 0;
        }
        return signalFd(userFd(Event)) ? 0 : 1;
    }
    LONG previous = exchangeState(Event->Header, 1);
    detail::notifyAll();
    return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
    KeResetEvent(Event);
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
    if (!validEvent(Event, "KeResetEvent")) return 0;
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent")) return 0;
    if (Event->Header.Type == kUserEvent) {
        int fd = userFd(Event);
        detail::flushDeferredSignalOf(fd);
        LONG previous = fdReadable(fd) ? 1 : 0;
        drainFd(fd);
        return previous;
    }
    return exchangeState(Event->Header, 0);
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    if (!validEvent(Event, "KeReadStateEvent")) return 0;
    if (Event->Header.Type == kUserEvent) {
        detail::flushDeferredSignalOf(userFd(Event));
        return fdReadable(userFd(Event)) ? 1 : 0;
    }
    return loadState(Event->Header) != 0 ? 1 : 0;
}

extern "C" VOID NTAPI KeInitializeTimer(PKTIMER Timer) {
    if (!Timer) {
        detail::bugCheck(kBugCheckInvalidObject, "KeInitializeTimer of a null timer");
        return;
    }
    {
        auto& s = state();
        std::lock_guard lk(s.mu);
        auto it = s.timers.find(Timer);
        if (it != s.timers.end()) {
            detail::cancel(it->second.task);
            s.timers.erase(it);
        }
    }
    std::memset(Timer, 0, sizeof(KTIMER));
    Timer->Header.Type = kTimerNotification;
    Timer->Header.Size = static_cast<UCHAR>(sizeof(KTIMER) / sizeof(LONG));
    Timer->Header.Initialized = kInitializedMagic;
}

extern "C" BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    if (!Timer || Timer->Header.Initialized != kInitializedMagic ||
        Timer->Header.Type != kTimerNotification) {
        detail::bugCheck(kBugCheckInvalidObject, "KeSetTimer on an uninitialised timer");
        return FALSE;
    }
    if (Dpc) {
        detail::bugCheck(kBugCheckTimerOrDpcInvalid,
                         "KeSetTimer with a DPC: this kernel runs no DPCs for timers");
        return FALSE;
    }
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer")) return FALSE;
    Time100ns due = detail::deadlineFor(DueTime.QuadPart);
    auto& s = state();
    std::lock_guard lk(s.mu);
    BOOLEAN wasSet = FALSE;
    auto it = s.timers.find(Timer);
    if (it != s.timers.end()) {
        detail::cancel(it->second.task);
        s.timers.erase(it);
        wasSet = TRUE;
    }
    exchangeState(Timer->Header, 0);
    Timer->DueTime.QuadPart = due;
    std::uint64_t serial = s.nextSerial++;
    ActiveTimer entry;
    entry.serial = serial;
    entry.due = due;
    entry.task = detail::schedule(due, RunLevel::Dispatch, [Timer, serial] {
        {
            auto& st = state();
            std::lock_guard lk2(st.mu);
            auto t = st.timers.find(Timer);
            if (t == st.timers.end() || t->second.serial != serial) return;
            st.timers.erase(t);
            exchangeState(Timer->Header, 1);
        }
        detail::notifyAll();
    });
    s.timers.emplace(Timer, entry);
    return wasSet;
}

extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                                KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    if (!header || header->Initialized != kInitializedMagic ||
        (header->Type != kEventNotification && header->Type != kEventSynchronization &&
         header->Type != kTimerNotification && header->Type != kUserEvent)) {
        detail::bugCheck(kBugCheckInvalidObject,
                         "KeWaitForSingleObject on something that is not a dispatcher object");
        return STATUS_INVALID_PARAMETER;
    }
    bool pollOnly = Timeout && Timeout->QuadPart == 0;
    if (!detail::requireIrqlAtMost(pollOnly ? DISPATCH_LEVEL : APC_LEVEL,
                                   "KeWaitForSingleObject with a non-zero time-out"))
        return STATUS_TIMEOUT;

    std::function<bool()> ready;
    if (header->Type == kEventSynchronization) {
        ready = [header] {
            LONG expected = 1;
            return std::atomic_ref<LONG>(header->SignalState)
                .compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
        };
    } else if (header->Type == kUserEvent) {
        int fd = static_cast<ReferencedEvent*>(header->Binding)->fd->fd;
        ready = [fd] { return fdReadable(fd); };
    } else {
        ready = [header] { return loadState(*header) != 0; };
    }
    if (pollOnly) return ready() ? STATUS_SUCCESS : STATUS_TIMEOUT;

    Time100ns deadline = Timeout ? detail::deadlineFor(Timeout->QuadPart) : detail::kForever;
    bool satisfied;
    if (header->Type == kUserEvent && !detail::clock()->isManual()) {
        // A user process sets its event without telling the clock: look again every ms.
        satisfied = false;
        for (;;) {
            Time100ns t = detail::now();
            if (ready()) {
                satisfied = true;
                break;
            }
            if (t >= deadline) break;
            Time100ns slice = t + kUnitsPerMs;
            detail::waitUntil(ready, slice < deadline ? slice : deadline, "a user event");
        }
    } else {
        satisfied = detail::waitUntil(ready, deadline, "KeWaitForSingleObject");
    }
    return satisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation) {
    if (!Object) return STATUS_INVALID_PARAMETER;
    *Object = nullptr;
    if (!detail::requireIrqlAtMost(APC_LEVEL, "ObReferenceObjectByHandle"))
        return STATUS_INVALID_DEVICE_STATE;
    CallerContext* caller = currentCaller();
    // Handles of the kernel's own are not kept here: only those of the calling process.
    if (AccessMode != UserMode || !caller) return STATUS_INVALID_HANDLE;
    EventLookup found = caller->lookupEvent(Handle);
    if (!NT_SUCCESS(found.status)) return found.status;
    if (found.eventFd < 0) return STATUS_INVALID_HANDLE;
    if (ObjectType && ObjectType != *ExEventObjectType) {
        close(found.eventFd);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // The kernel never blocks on the event's descriptor.
    int flags = fcntl(found.eventFd, F_GETFL);
    if (flags >= 0) fcntl(found.eventFd, F_SETFL, flags | O_NONBLOCK);
    auto* ref = new ReferencedEvent;
    std::memset(&ref->event, 0, sizeof(KEVENT));
    ref->event.Header.Type = kUserEvent;
    ref->event.Header.Initialized = kInitializedMagic;
    ref->event.Header.Binding = ref;
    ref->fd =
        std::make_shared<EventFd>(found.eventFd, gNextLane.fetch_add(1, std::memory_order_relaxed));
    registerKernelObject(&ref->event, [ref] {
        ref->event.Header.Initialized = 0;
        delete ref;
    });
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    *Object = &ref->event;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI ObReferenceObject(PVOID Object) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "ObReferenceObject")) return;
    {
        auto& s = state();
        std::lock_guard lk(s.mu);
        auto it = s.objects.find(Object);
        if (it != s.objects.end()) {
            ++it->second.references;
            return;
        }
    }
    detail::bugCheck(kBugCheckInvalidObject,
                     "ObReferenceObject of something that is not a "
                     "kernel object (or one already gone)");
}

extern "C" VOID NTAPI ObDereferenceObject(PVOID Object) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "ObDereferenceObject")) return;
    std::function<void()> destroy;
    {
        auto& s = state();
        std::lock_guard lk(s.mu);
        auto it = s.objects.find(Object);
        if (it == s.objects.end()) {
            destroy = nullptr;
        } else {
            if (--it->second.references > 0) return;
            destroy = std::move(it->second.destroy);
            s.objects.erase(it);
            if (!destroy) destroy = [] {};
        }
    }
    if (destroy) {
        destroy();
        return;
    }
    detail::bugCheck(kBugCheckInvalidObject,
                     "ObDereferenceObject of an object that holds no reference");
}
