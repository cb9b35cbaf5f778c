// Framework timers, work items and spin locks.

#include "wdf_internal.h"

namespace standin::kernel::wdf {
namespace {

// Timer and work-item objects need a device among their ancestors.
bool underDevice(Object* o) {
    for (Object* p = o; p; p = p->parent)
        if (p->kind == Kind::Device) return true;
    return false;
}

class Timer final : public Object {
  public:
    Timer() : Object(Kind::Timer) {}
    void onDelete() override;

    WDF_TIMER_CONFIG config{};
    standin::Mutex mu;
    detail::TaskHandle pending;
    std::uint64_t pendingSerial = 0;  // serial of the armed expiry, 0 when none
    std::uint64_t nextSerial = 1;
    int inFlight = 0;  // expiries scheduled and not finished
    int inCallback = 0;
    std::thread::id callbackThread;
    bool stopped = false;
};

void fire(const Ref& self, std::uint64_t serial);

// Arms the timer (its mutex held).
void arm(Timer* t, Time100ns due) {
    std::uint64_t serial = t->nextSerial++;
    ++t->inFlight;
    retain(t);
    Ref self(t, true);
    t->pending = detail::schedule(due, RunLevel::Dispatch, [self, serial] { fire(self, serial); });
    t->pendingSerial = serial;
}

// Disarms the timer (its mutex held); true when the expiry was still waiting.
bool disarm(Timer* t) {
    bool wasQueued = false;
    if (t->pendingSerial != 0 && detail::cancel(t->pending)) {
        wasQueued = true;
        --t->inFlight;
    }
    t->pending = {};
    t->pendingSerial = 0;
    return wasQueued;
}

void fire(const Ref& self, std::uint64_t serial) {
    auto* t = self.as<Timer>();
    bool run;
    {
        std::lock_guard lk(t->mu);
        if (serial != 0 && t->pendingSerial == serial) {
            t->pending = {};
            t->pendingSerial = 0;
        }
        run = t->alive();
        if (run) {
            ++t->inCallback;
            t->callbackThread = std::this_thread::get_id();
        }
    }
    bool ran = false;
    if (run) {
        auto body = [t, &ran] {
            ran = true;
            t->config.EvtTimerFunc(static_cast<WDFTIMER>(t->handle));
        };
        // The device's serialisation lock is this thread's own: expire again right after.
        auto retry = [self] {
            detail::schedule(detail::now(), RunLevel::Dispatch, [self] { fire(self, 0); });
        };
        runSerialized(t, t->config.AutomaticSerialization, body, retry);
    }
    {
        std::lock_guard lk(t->mu);
        if (run) --t->inCallback;
        if (run && !ran) return;  // the retry keeps this expiry in flight
        --t->inFlight;
        if (ran && t->config.Period && t->alive() && !t->stopped && t->pendingSerial == 0)
            arm(t, detail::now() + Time100ns{t->config.Period} * kUnitsPerMs);
    }
    detail::notifyAll();
}

void Timer::onDelete() {
    bool self;
    {
        std::lock_guard lk(mu);
        stopped = true;
        disarm(this);
        self = inCallback > 0 && callbackThread == std::this_thread::get_id();
    }
    if (!self && detail::irql() == PASSIVE_LEVEL) {
        detail::waitUntil(
            [this] {
                std::lock_guard lk(mu);
                return inFlight == 0;
            },
            detail::kForever, "deleting a timer whose callback runs");
    }
}

// ---------------------------------------------------------------------------------------------
class WorkItem final : public Object {
  public:
    WorkItem() : Object(Kind::WorkItem) {}
    void onDelete() override;

    WDF_WORKITEM_CONFIG config{};
    standin::Mutex mu;
    bool queued = false;
    detail::TaskHandle task;
    int inFlight = 0;
    int running = 0;
    std::thread::id runningThread;
};

void invokeWork(const Ref& self) {
    auto* w = self.as<WorkItem>();
    bool run;
    {
        std::lock_guard lk(w->mu);
        run = w->alive() || w->state.load() == ObjectState::Deleting;
        if (run) {
            ++w->running;
            w->runningThread = std::this_thread::get_id();
        }
    }
    bool ran = false;
    if (run) {
        auto body = [w, &ran] {
            ran = true;
            w->config.EvtWorkItemFunc(static_cast<WDFWORKITEM>(w->handle));
        };
        auto retry = [self] {
            detail::schedule(detail::now(), RunLevel::Passive, [self] { invokeWork(self); });
        };
        runSerialized(w, w->config.AutomaticSerialization, body, retry);
    }
    {
        std::lock_guard lk(w->mu);
        if (run) --w->running;
        if (run && !ran) return;
        --w->inFlight;
    }
    detail::notifyAll();
}

void WorkItem::onDelete() {
    bool self;
    bool canWait = detail::irql() == PASSIVE_LEVEL;
    {
        std::lock_guard lk(mu);
        // Waiting for a queued item (below) lets it run; at dispatch level it is taken back.
        if (!canWait && queued && detail::cancel(task)) {
            queued = false;
            --inFlight;
        }
        self = running > 0 && runningThread == std::this_thread::get_id();
    }
    if (!self && canWait) {
        detail::waitUntil(
            [this] {
                std::lock_guard lk(mu);
                return inFlight == 0;
            },
            detail::kForever, "deleting a work item that is queued or running");
    }
}

class SpinLock final : public Object {
  public:
    SpinLock() : Object(Kind::SpinLock) {}
    void onDelete() override {
        if (owner.load() != std::thread::id{})
            detail::bugCheck(kBugCheckWdfViolation, "a spin lock deleted while it is held");
    }
    standin::Mutex lock;
    std::atomic<std::thread::id> owner{};
    KIRQL savedIrql = PASSIVE_LEVEL;
};

}  // namespace
}  // namespace standin::kernel::wdf

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;
using wdf::Kind;

extern "C" NTSTATUS NTAPI WdfTimerCreate(PWDF_TIMER_CONFIG Config,
                                         PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer) {
    if (!Timer) return STATUS_INVALID_PARAMETER;
    *Timer = nullptr;
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfTimerCreate")) return STATUS_UNSUCCESSFUL;
    if (!Config || Config->Size != sizeof(WDF_TIMER_CONFIG) || !Config->EvtTimerFunc)
        return STATUS_INVALID_PARAMETER;
    if (!Attributes || !Attributes->ParentObject) return STATUS_INVALID_PARAMETER;
    wdf::Ref parent = wdf::lookup(Attributes->ParentObject, "WdfTimerCreate");
    if (!parent) return STATUS_INVALID_PARAMETER;
    if (!wdf::underDevice(parent.get())) return STATUS_INVALID_DEVICE_REQUEST;
    auto* t = new wdf::Timer;
    t->config = *Config;
    NTSTATUS status = wdf::registerObject(t, Attributes, nullptr);
    if (!NT_SUCCESS(status)) return status;
    *Timer = static_cast<WDFTIMER>(t->handle);
    return STATUS_SUCCESS;
}

extern "C" BOOLEAN NTAPI WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfTimerStart")) return FALSE;
    wdf::Ref r = wdf::lookupKind(Timer, Kind::Timer, "WdfTimerStart");
    if (!r) return FALSE;
    auto* t = r.as<wdf::Timer>();
    Time100ns due = detail::deadlineFor(DueTime);
    std::lock_guard lk(t->mu);
    if (!t->alive()) return FALSE;
    bool wasQueued = wdf::disarm(t);
    t->stopped = false;
    wdf::arm(t, due);
    return wasQueued ? TRUE : FALSE;
}

extern "C" BOOLEAN NTAPI WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait) {
    if (!detail::requireIrqlAtMost(Wait ? PASSIVE_LEVEL : DISPATCH_LEVEL, "WdfTimerStop"))
        return FALSE;
    wdf::Ref r = wdf::lookupKind(Timer, Kind::Timer, "WdfTimerStop");
    if (!r) return FALSE;
    auto* t = r.as<wdf::Timer>();
    bool wasQueued;
    bool ownCallback;
    {
        std::lock_guard lk(t->mu);
        wasQueued = wdf::disarm(t);
        t->stopped = true;
        ownCallback = t->inCallback > 0 && t->callbackThread == std::this_thread::get_id();
    }
    if (Wait) {
        if (ownCallback) {
            detail::bugCheck(kBugCheckWdfViolation,
                             "WdfTimerStop waiting for the timer's own callback (a deadlock)");
        } else {
            detail::waitUntil(
                [t] {
                    std::lock_guard lk(t->mu);
                    return t->inFlight == 0;
                },
                detail::kForever, "WdfTimerStop waiting for the callback");
        }
    }
    return wasQueued ? TRUE : FALSE;
}

extern "C" WDFOBJECT NTAPI WdfTimerGetParentObject(WDFTIMER Timer) {
    wdf::Ref r = wdf::lookupKind(Timer, Kind::Timer, "WdfTimerGetParentObject");
    return r && r->parent ? r->parent->handle : nullptr;
}

extern "C" NTSTATUS NTAPI WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config,
                                            PWDF_OBJECT_ATTRIBUTES Attributes,
                                            WDFWORKITEM* WorkItem) {
    if (!WorkItem) return STATUS_INVALID_PARAMETER;
    *WorkItem = nullptr;
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemCreate")) return STATUS_UNSUCCESSFUL;
    if (!Config || Config->Size != sizeof(WDF_WORKITEM_CONFIG) || !Config->EvtWorkItemFunc)
        return STATUS_INVALID_PARAMETER;
    if (!Attributes || !Attributes->ParentObject) return STATUS_INVALID_PARAMETER;
    wdf::Ref parent = wdf::lookup(Attributes->ParentObject, "WdfWorkItemCreate");
    if (!parent) return STATUS_INVALID_PARAMETER;
    if (!wdf::underDevice(parent.get())) return STATUS_INVALID_DEVICE_REQUEST;
    auto* w = new wdf::WorkItem;
    w->config = *Config;
    NTSTATUS status = wdf::registerObject(w, Attributes, nullptr);
    if (!NT_SUCCESS(status)) return status;
    *WorkItem = static_cast<WDFWORKITEM>(w->handle);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI WdfWorkItemEnqueue(WDFWORKITEM WorkItem) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfWorkItemEnqueue")) return;
    wdf::Ref r = wdf::lookupKind(WorkItem, Kind::WorkItem, "WdfWorkItemEnqueue");
    if (!r) return;
    auto* w = r.as<wdf::WorkItem>();
    std::lock_guard lk(w->mu);
    if (!w->alive() || w->queued) return;
    w->queued = true;
    ++w->inFlight;
    wdf::Ref self = r;
    w->task = detail::schedule(detail::now(), RunLevel::Passive, [self] {
        auto* item = self.as<wdf::WorkItem>();
        {
            std::lock_guard lk2(item->mu);
            item->queued = false;
            item->task = {};
        }
        wdf::invokeWork(self);
    });
}

extern "C" WDFOBJECT NTAPI WdfWorkItemGetParentObject(WDFWORKITEM WorkItem) {
    wdf::Ref r = wdf::lookupKind(WorkItem, Kind::WorkItem, "WdfWorkItemGetParentObject");
    return r && r->parent ? r->parent->handle : nullptr;
}

extern "C" NTSTATUS NTAPI WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes,
                                            WDFSPINLOCK* SpinLock) {
    if (!SpinLock) return STATUS_INVALID_PARAMETER;
    *SpinLock = nullptr;
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfSpinLockCreate")) return STATUS_UNSUCCESSFUL;
    auto* l = new wdf::SpinLock;
    NTSTATUS status = wdf::registerObject(l, SpinLockAttributes, wdf::currentDriver());
    if (!NT_SUCCESS(status)) return status;
    *SpinLock = static_cast<WDFSPINLOCK>(l->handle);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfSpinLockAcquire")) return;
    wdf::Ref r = wdf::lookupKind(SpinLock, Kind::SpinLock, "WdfSpinLockAcquire");
    if (!r) return;
    auto* l = r.as<wdf::SpinLock>();
    if (l->owner.load() == std::this_thread::get_id()) {
        detail::bugCheck(kBugCheckWdfViolation,
                         "a spin lock acquired again by the thread that holds it (a deadlock)");
        return;
    }
    l->lock.lock();
    l->owner = std::this_thread::get_id();
    l->savedIrql = detail::irql();
    detail::setIrql(DISPATCH_LEVEL);
}

extern "C" VOID NTAPI WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
    wdf::Ref r = wdf::lookupKind(SpinLock, Kind::SpinLock, "WdfSpinLockRelease");
    if (!r) return;
    auto* l = r.as<wdf::SpinLock>();
    if (l->owner.load() != std::this_thread::get_id()) {
        detail::bugCheck(kBugCheckWdfViolation,
                         "a spin lock released by a thread that does not hold it");
        return;
    }
    KIRQL saved = l->savedIrql;
    l->owner = std::thread::id{};
    l->lock.unlock();
    detail::setIrql(saved);
}
