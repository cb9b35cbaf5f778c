// Framework objects: handles, references, parents and children, typed contexts, deletion.

#include <array>
#include <atomic>
#include <cstring>
#include <unordered_map>

#include "standin/sync.h"
#include "pool_internal.h"
#include "standin/kernel/memory.h"
#include "wdf_internal.h"

namespace standin::kernel::wdf {
namespace {

// Room in front of an object's context (the context starts 16-aligned).
constexpr std::size_t kObjectHeaderBytes = 64;

// Every framework call looks its handle up here, from every thread that runs driver code at
// once: a hundred programs' requests and the block boundary's completions. Behind one lock for
// the whole table they queued up on each call, the boundary's completions behind them, so the
// table is split by handle into shards with a lock each (locks that still inherit priority).
constexpr std::size_t kShards = 64;

struct alignas(64) Shard {
    standin::Mutex mu;
    std::unordered_map<std::uintptr_t, Object*> objects;
};

struct Table {
    std::array<Shard, kShards> shards;
    std::atomic<std::uintptr_t> nextSerial{1};
    std::atomic<std::uint64_t> generation{1};

    // Handles are 16 apart: consecutive objects fall in consecutive shards.
    Shard& shardOf(std::uintptr_t handle) { return shards[(handle >> 4) % kShards]; }
};

Table& table() {
    static Table* t = new Table;
    return *t;
}

std::uintptr_t key(WDFOBJECT h) {
    return reinterpret_cast<std::uintptr_t>(h);
}

void destroyObject(Object* o);

class ExtensionObject final : public Object {
  public:
    ExtensionObject() : Object(Kind::Extension) {}
    void onDelete() override {
        if (extension) extension->onDelete();
    }
};

bool sameContextType(PCWDF_OBJECT_CONTEXT_TYPE_INFO a, PCWDF_OBJECT_CONTEXT_TYPE_INFO b) {
    if (!a || !b) return false;
    if (a == b || a->UniqueType == b || b->UniqueType == a ||
        (a->UniqueType && a->UniqueType == b->UniqueType))
        return true;
    // The same type declared in two modules (the driver and its tests) is one type.
    return a->ContextName && b->ContextName && std::strcmp(a->ContextName, b->ContextName) == 0 &&
           a->ContextSize == b->ContextSize;
}

}  // namespace

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::Driver:
            return "driver";
        case Kind::Device:
            return "device";
        case Kind::Queue:
            return "queue";
        case Kind::Request:
            return "request";
        case Kind::FileObject:
            return "file object";
        case Kind::Memory:
            return "memory";
        case Kind::Timer:
            return "timer";
        case Kind::WorkItem:
            return "work item";
        case Kind::SpinLock:
            return "spin lock";
        case Kind::IoTarget:
            return "I/O target";
        case Kind::Extension:
            return "object";
    }
    return "object";
}

// ---------------------------------------------------------------------------------------------
Ref::Ref(Object* o, bool counted)
    : object_(o), counted_(o && counted), generation_(table().generation.load()) {}

Ref::Ref(const Ref& other)
    : object_(other.object_), counted_(other.counted_), generation_(other.generation_) {
    if (counted_ && generation_ == table().generation.load()) retain(object_);
}

Ref::Ref(Ref&& other) noexcept
    : object_(other.object_), counted_(other.counted_), generation_(other.generation_) {
    other.object_ = nullptr;
    other.counted_ = false;
}

Ref& Ref::operator=(Ref other) noexcept {
    std::swap(object_, other.object_);
    std::swap(counted_, other.counted_);
    std::swap(generation_, other.generation_);
    return *this;
}

Ref::~Ref() {
    if (counted_ && generation_ == table().generation.load()) release(object_);
}

void retain(Object* o) {
    if (o) o->references.fetch_add(1);
}

void release(Object* o) {
    if (!o) return;
    if (o->references.fetch_sub(1) != 1) return;
    Shard& shard = table().shardOf(key(o->handle));
    bool destroyNow = false;
    {
        std::lock_guard lk(shard.mu);
        auto it = shard.objects.find(key(o->handle));
        // An object forgotten by a reset of the machine is no longer ours to destroy.
        if (it == shard.objects.end() || it->second != o) return;
        if (o->references.load() == 0 && o->state.load() != ObjectState::Destroying) {
            o->state = ObjectState::Destroying;
            destroyNow = true;
        }
    }
    if (destroyNow) destroyObject(o);
}

Ref find(WDFOBJECT handle) {
    Shard& shard = table().shardOf(key(handle));
    std::lock_guard lk(shard.mu);
    auto it = shard.objects.find(key(handle));
    if (it == shard.objects.end()) return Ref();
    Object* o = it->second;
    if (o->state.load() == ObjectState::Destroying || o->references.load() == 0)
        return Ref(o, false);
    o->references.fetch_add(1);
    return Ref(o, true);
}

Ref lookup(WDFOBJECT handle, const char* caller) {
    Ref r = find(handle);
    if (!r)
        detail::bugCheck(kBugCheckWdfViolation,
                         std::string(caller) +
                             " with an invalid handle (never valid, or of an "
                             "object already deleted)");
    return r;
}

Ref lookupKind(WDFOBJECT handle, Kind kind, const char* caller) {
    Ref r = lookup(handle, caller);
    if (r && r->kind != kind) {
        detail::bugCheck(kBugCheckWdfViolation, std::string(caller) + " with a handle of a " +
                                                    kindName(r->kind) + " instead of a " +
                                                    kindName(kind));
        return Ref();
    }
    return r;
}

ULONG frameworkTagOf(Object* o) {
    for (Object* p = o; p; p = p->parent)
        if (p->kind == Kind::Driver) return static_cast<Driver*>(p)->tag;
    return pool::tagFromText("FxDr");
}

WDF_EXECUTION_LEVEL effectiveExecutionLevel(Object* o) {
    for (Object* p = o; p; p = p->parent)
        if (p->executionLevel == WdfExecutionLevelPassive ||
            p->executionLevel == WdfExecutionLevelDispatch)
            return p->executionLevel;
    return WdfExecutionLevelDispatch;
}

WDF_SYNCHRONIZATION_SCOPE effectiveSynchronizationScope(Object* o) {
    for (Object* p = o; p; p = p->parent)
        if (p->synchronizationScope == WdfSynchronizationScopeDevice ||
            p->synchronizationScope == WdfSynchronizationScopeQueue ||
            p->synchronizationScope == WdfSynchronizationScopeNone)
            return p->synchronizationScope;
    return WdfSynchronizationScopeNone;
}

NTSTATUS registerObject(Object* o, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent) {
    std::unique_ptr<Object> owned(o);
    if (attributes && attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    Ref parentRef;
    Object* parent = defaultParent;
    if (attributes && attributes->ParentObject) {
        parentRef = lookup(attributes->ParentObject, "object creation (ParentObject)");
        if (!parentRef) return STATUS_INVALID_PARAMETER;
        parent = parentRef.get();
    }
    if (parent && !parent->alive()) return STATUS_DELETE_PENDING;

    PCWDF_OBJECT_CONTEXT_TYPE_INFO type = attributes ? attributes->ContextTypeInfo : nullptr;
    std::size_t contextSize = 0;
    if (type) {
        if (type->UniqueType) type = type->UniqueType;
        contextSize = type->ContextSize;
        if (attributes->ContextSizeOverride) {
            if (attributes->ContextSizeOverride < type->ContextSize)
                return STATUS_INVALID_PARAMETER;
            contextSize = attributes->ContextSizeOverride;
        }
    } else if (attributes && attributes->ContextSizeOverride) {
        return STATUS_INVALID_PARAMETER;
    }

    ULONG tag = o->kind == Kind::Driver ? static_cast<Driver*>(o)->tag : frameworkTagOf(parent);
    void* block = detail::poolAllocate(NonPagedPool, kObjectHeaderBytes + contextSize, tag,
                                       detail::PoolBlockKind::Plain);
    if (!block) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(block, 0, kObjectHeaderBytes + contextSize);
    o->block = block;
    o->contextType = type;
    o->contextSize = contextSize;
    o->context = type ? static_cast<unsigned char*>(block) + kObjectHeaderBytes : nullptr;
    if (attributes) {
        o->cleanupCallback = attributes->EvtCleanupCallback;
        o->destroyCallback = attributes->EvtDestroyCallback;
        o->executionLevel = attributes->ExecutionLevel;
        o->synchronizationScope = attributes->SynchronizationScope;
    }
    {
        const std::uintptr_t serial = table().nextSerial.fetch_add(1);
        o->handle = reinterpret_cast<WDFOBJECT>(0x10000 + serial * 16);
        Shard& shard = table().shardOf(key(o->handle));
        std::lock_guard lk(shard.mu);
        shard.objects.emplace(key(o->handle), o);
    }
    if (parent) {
        retain(parent);
        o->parent = parent;
        std::lock_guard lk(parent->childMu);
        parent->children.push_back(o);
    }
    owned.release();
    return STATUS_SUCCESS;
}

void deleteObject(Object* o) {
    if (!o) return;
    ObjectState expected = ObjectState::Alive;
    if (!o->state.compare_exchange_strong(expected, ObjectState::Deleting)) return;
    std::vector<Ref> children;
    {
        std::lock_guard lk(o->childMu);
        for (Object* c : o->children) {
            retain(c);
            children.emplace_back(c, true);
        }
    }
    for (auto it = children.rbegin(); it != children.rend(); ++it) {
        deleteObject(it->get());
        *it = Ref();  // a child nobody else holds is destroyed before the next one is deleted
    }
    o->onDelete();
    if (o->cleanupCallback) o->cleanupCallback(o->handle);
    o->state = ObjectState::Deleted;
    release(o);  // the reference the object was created with
}

namespace {

void destroyObject(Object* o) {
    if (o->destroyCallback) o->destroyCallback(o->handle);
    {
        Shard& shard = table().shardOf(key(o->handle));
        std::lock_guard lk(shard.mu);
        shard.objects.erase(key(o->handle));
    }
    if (Object* p = o->parent) {
        {
            std::lock_guard lk(p->childMu);
            auto& c = p->children;
            for (auto it = c.begin(); it != c.end(); ++it) {
                if (*it == o) {
                    c.erase(it);
                    break;
                }
            }
        }
        release(p);
    }
    if (o->context) detail::checkNoActiveTimersIn(o->context, o->contextSize);
    o->releaseResources();
    if (o->block) detail::poolFree(o->block, nullptr, "freeing a framework object");
    delete o;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
void SyncLock::run(const std::function<void()>& body, std::function<void()> retry) {
    if (owner_.load() == std::this_thread::get_id()) {
        std::lock_guard lk(deferredMu_);
        deferred_.push_back(std::move(retry));
        return;
    }
    mu_.lock();
    owner_ = std::this_thread::get_id();
    body();
    owner_ = std::thread::id{};
    mu_.unlock();
    std::vector<std::function<void()>> later;
    {
        std::lock_guard lk(deferredMu_);
        later.swap(deferred_);
    }
    for (auto& f : later) f();
}

void runSerialized(Object* o, bool automaticSerialization, const std::function<void()>& body,
                   std::function<void()> retry) {
    if (!automaticSerialization || !o->parent ||
        effectiveSynchronizationScope(o->parent) != WdfSynchronizationScopeDevice) {
        body();
        return;
    }
    Object* p = o->parent;
    while (p && p->kind != Kind::Device) p = p->parent;
    if (!p) {
        body();
        return;
    }
    static_cast<Device*>(p)->syncLock.run(body, std::move(retry));
}

}  // namespace standin::kernel::wdf

// ---------------------------------------------------------------------------------------------
namespace standin::kernel {

NTSTATUS createExtensionObject(PWDF_OBJECT_ATTRIBUTES attributes, WDFOBJECT defaultParent,
                               std::shared_ptr<ObjectExtension> extension, WDFOBJECT* object) {
    if (!object) return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    wdf::Ref parent;
    if (defaultParent) {
        parent = wdf::lookup(defaultParent, "createExtensionObject");
        if (!parent) return STATUS_INVALID_PARAMETER;
    }
    auto* o = new wdf::ExtensionObject;
    o->extension = std::move(extension);
    NTSTATUS status = wdf::registerObject(o, attributes, parent.get());
    if (!NT_SUCCESS(status)) return status;
    *object = o->handle;
    return STATUS_SUCCESS;
}

std::shared_ptr<ObjectExtension> objectExtension(WDFOBJECT object) {
    wdf::Ref r = wdf::find(object);
    return r ? r->extension : nullptr;
}

WDFOBJECT parentObject(WDFOBJECT object) {
    wdf::Ref r = wdf::find(object);
    return r && r->parent ? r->parent->handle : nullptr;
}

WDFDEVICE deviceOf(WDFOBJECT object) {
    wdf::Ref r = wdf::find(object);
    for (wdf::Object* p = r.get(); p; p = p->parent)
        if (p->kind == wdf::Kind::Device) return static_cast<WDFDEVICE>(p->handle);
    return nullptr;
}

namespace detail {

void freezeFramework() {
    wdf::table().generation.fetch_add(1);
}

void resetFramework() {
    std::unordered_map<std::uintptr_t, wdf::Object*> objects;
    for (auto& shard : wdf::table().shards) {
        std::lock_guard lk(shard.mu);
        objects.merge(shard.objects);
        shard.objects.clear();
    }
    // The objects' pool blocks go with the pool; what they hold of each other is dropped
    // without callbacks (a reference to a forgotten object is released as a no-op).
    for (auto& [k, o] : objects) {
        o->block = nullptr;
        o->parent = nullptr;
    }
    for (auto& [k, o] : objects) delete o;
}

}  // namespace detail
}  // namespace standin::kernel

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;

extern "C" PVOID NTAPI WdfObjectGetTypedContextWorker(WDFOBJECT Handle,
                                                      PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    wdf::Ref o = wdf::lookup(Handle, "WdfObjectGetTypedContext");
    if (!o || !o->context) return nullptr;
    return wdf::sameContextType(o->contextType, TypeInfo) ? o->context : nullptr;
}

extern "C" VOID NTAPI WdfObjectDelete(WDFOBJECT Object) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfObjectDelete")) return;
    wdf::Ref o = wdf::lookup(Object, "WdfObjectDelete");
    if (!o) return;
    if (!o->driverMayDelete) {
        detail::bugCheck(kBugCheckWdfViolation, std::string("WdfObjectDelete of a ") +
                                                    wdf::kindName(o->kind) +
                                                    " that the framework owns");
        return;
    }
    if (o->kind == wdf::Kind::Request) {
        auto* r = o.as<wdf::Request>();
        std::lock_guard lk(r->mu);
        if (r->sendState == wdf::Request::SendState::InFlight) {
            detail::bugCheck(kBugCheckWdfViolation,
                             "WdfObjectDelete of a request that is still in flight");
            return;
        }
    }
    wdf::deleteObject(o.get());
}
