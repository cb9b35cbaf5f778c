// Driver-created requests, sending them to I/O targets (time-outs, cancellation, completion
// routines), the targets' states, and memory objects.

#include <cstring>

#include "pool_internal.h"
#include "wdf_internal.h"

namespace standin::kernel::wdf {
namespace {

class Memory final : public Object {
  public:
    Memory() : Object(Kind::Memory) {}
    void releaseResources() override {
        if (owned && buffer) detail::poolFree(buffer, nullptr, "freeing a memory object");
        buffer = nullptr;
    }
    void* buffer = nullptr;
    std::size_t size = 0;
    bool owned = false;
};

void deliver(const std::shared_ptr<Submission>& s, NTSTATUS status, ULONG_PTR information,
             PWDF_USB_REQUEST_COMPLETION_PARAMS usb) {
    auto* req = s->requestRef.as<Request>();
    auto* target = s->targetRef.as<IoTarget>();
    PFN_WDF_REQUEST_COMPLETION_ROUTINE routine;
    WDFCONTEXT context;
    {
        std::lock_guard lk(req->mu);
        req->sendState = Request::SendState::Completed;
        req->status = status;
        req->information = information;
        std::memset(&req->completionParams, 0, sizeof req->completionParams);
        req->completionParams.Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
        req->completionParams.Type = s->formatHold ? s->formatHold->type() : WdfRequestTypeOther;
        req->completionParams.IoStatus.Status = status;
        req->completionParams.IoStatus.Information = information;
        req->completionParams.Parameters.Usb.Completion = usb;
        if (req->submission == s) req->submission.reset();
        routine = s->sendAndForget ? nullptr : req->completionRoutine;
        context = req->completionContext;
    }
    if (routine)
        routine(static_cast<WDFREQUEST>(req->handle), static_cast<WDFIOTARGET>(target->handle),
                &req->completionParams, context);
    {
        std::lock_guard lk(target->mu);
        --target->outstanding;
        auto& d = target->delivering;
        for (auto it = d.begin(); it != d.end(); ++it) {
            if (*it == s) {
                d.erase(it);
                break;
            }
        }
    }
    s->delivered = true;
    detail::notifyAll();
}

void submitToBackend(IoTarget* target, const std::shared_ptr<Submission>& s) {
    std::lock_guard lk(s->handOver);
    if (s->givenUp || s->done.load()) return;
    s->handedOver = true;
    if (target->backend)
        target->backend->submit(s);
    else
        s->complete(STATUS_INVALID_DEVICE_REQUEST, 0, nullptr);
}

void waitDelivered(const std::vector<std::shared_ptr<Submission>>& list, const char* what) {
    if (list.empty()) return;
    detail::waitUntil(
        [&list] {
            for (const auto& s : list)
                if (!s->delivered.load()) return false;
            return true;
        },
        detail::kForever, what);
}

}  // namespace

void Submission::complete(NTSTATUS status, ULONG_PTR information,
                          PWDF_USB_REQUEST_COMPLETION_PARAMS usb) {
    finishSubmission(shared_from_this(), status, information, usb);
}

void finishSubmission(const std::shared_ptr<Submission>& s, NTSTATUS status, ULONG_PTR information,
                      PWDF_USB_REQUEST_COMPLETION_PARAMS usb) {
    if (s->done.exchange(true)) return;
    auto* target = s->targetRef.as<IoTarget>();
    {
        std::lock_guard lk(target->mu);
        auto& sent = target->sent;
        for (auto it = sent.begin(); it != sent.end(); ++it) {
            if (*it == s) {
                sent.erase(it);
                break;
            }
        }
        auto& held = target->held;
        for (auto it = held.begin(); it != held.end(); ++it) {
            if (*it == s) {
                held.erase(it);
                break;
            }
        }
        target->delivering.push_back(s);
    }
    detail::TaskHandle timeout;
    {
        std::lock_guard lk(s->requestRef.as<Request>()->mu);
        timeout = s->timeout;
    }
    detail::cancel(timeout);
    // Completions are delivered like deferred procedure calls: at dispatch level, never
    // inside the call that completed or cancelled the request.
    detail::schedule(detail::now(), RunLevel::Dispatch,
                     [s, status, information, usb] { deliver(s, status, information, usb); });
}

// Gives a request up: the backend lets go of it, the framework completes it with `status`.
// A give-up that meets the hand-over waits for it, so that the backend's cancel finds what its
// submit took; the sender owns its buffers again only once the backend has let them go.
void giveUp(const std::shared_ptr<Submission>& s, NTSTATUS status) {
    if (s->done.load()) return;
    auto* target = s->targetRef.as<IoTarget>();
    {
        std::lock_guard lk(s->handOver);
        s->givenUp = true;
        if (s->handedOver && target->backend) target->backend->cancel(s);
    }
    finishSubmission(s, status, 0, nullptr);
}

void closeTarget(IoTarget* target) {
    std::vector<std::shared_ptr<Submission>> all, delivering;
    bool wasStarted;
    {
        std::lock_guard lk(target->mu);
        wasStarted = target->targetState == IoTarget::State::Started;
        target->targetState = IoTarget::State::Closed;
        all.assign(target->sent.begin(), target->sent.end());
        all.insert(all.end(), target->held.begin(), target->held.end());
        delivering = target->delivering;
    }
    for (auto& s : all) giveUp(s, STATUS_CANCELLED);
    all.insert(all.end(), delivering.begin(), delivering.end());
    if (detail::irql() == PASSIVE_LEVEL) waitDelivered(all, "closing an I/O target");
    if (wasStarted && target->backend) target->backend->stop();
}

void IoTarget::onDelete() {
    closeTarget(this);
    if (extension) extension->onDelete();
}

Ref lookupTarget(WDFIOTARGET handle, const char* caller) {
    return lookupKind(handle, Kind::IoTarget, caller);
}

}  // namespace standin::kernel::wdf

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;
using wdf::Kind;

namespace {

wdf::Object* defaultDriverFor(wdf::Object* related) {
    for (wdf::Object* p = related; p; p = p->parent)
        if (p->kind == Kind::Driver) return p;
    return nullptr;
}

BOOLEAN sendRequest(const wdf::Ref& r, const wdf::Ref& t, PWDF_REQUEST_SEND_OPTIONS Options) {
    auto* req = r.as<wdf::Request>();
    auto* target = t.as<wdf::IoTarget>();
    ULONG flags = 0;
    if (Options) {
        if (Options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
            std::lock_guard lk(req->mu);
            if (req->sendState != wdf::Request::SendState::InFlight)
                req->status = STATUS_INVALID_PARAMETER;
            return FALSE;
        }
        flags = Options->Flags;
    }
    if (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS &&
        !detail::requireIrqlAtMost(PASSIVE_LEVEL, "a synchronous WdfRequestSend"))
        return FALSE;
    if (req->fromIoManager) {
        // Forwarding requests of the I/O manager to another target is not offered here.
        return FALSE;
    }
    auto s = std::make_shared<wdf::Submission>();
    s->requestRef = r;
    s->targetRef = t;
    s->sendAndForget = (flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0;
    {
        std::lock_guard lk(req->mu);
        if (req->sendState == wdf::Request::SendState::InFlight) {
            // Reported below, outside the lock.
            s.reset();
        } else if (!req->format) {
            req->status = STATUS_INVALID_DEVICE_REQUEST;
            return FALSE;
        } else {
            s->formatHold = req->format;
            req->sendState = wdf::Request::SendState::InFlight;
            req->status = STATUS_PENDING;
            req->submission = s;
        }
    }
    if (!s) {
        detail::bugCheck(kBugCheckWdfViolation, "WdfRequestSend of a request already in flight");
        return FALSE;
    }
    bool started;
    {
        std::lock_guard lk(target->mu);
        if (target->targetState == wdf::IoTarget::State::Closed) {
            started = false;
            s->done = true;
        } else {
            ++target->outstanding;
            started = target->targetState == wdf::IoTarget::State::Started ||
                      (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
        }
    }
    if (s->done.load()) {
        std::lock_guard lk(req->mu);
        req->sendState = wdf::Request::SendState::Idle;
        req->status = STATUS_INVALID_DEVICE_STATE;
        req->submission.reset();
        return FALSE;
    }
    if ((flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) && Options->Timeout != 0) {
        Time100ns due = detail::deadlineFor(Options->Timeout);
        std::weak_ptr<wdf::Submission> weak = s;
        auto task = detail::schedule(due, RunLevel::Dispatch, [weak] {
            if (auto sub = weak.lock()) wdf::giveUp(sub, STATUS_IO_TIMEOUT);
        });
        std::lock_guard lk(req->mu);
        s->timeout = task;
    }
    {
        std::lock_guard lk(target->mu);
        if (!s->done.load()) {
            if (started)
                target->sent.push_back(s);
            else
                target->held.push_back(s);
        }
    }
    if (started) wdf::submitToBackend(target, s);
    if (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS)
        detail::waitUntil([s] { return s->delivered.load(); }, detail::kForever,
                          "a synchronous WdfRequestSend");
    return TRUE;
}

}  // namespace

extern "C" NTSTATUS NTAPI WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes,
                                           WDFIOTARGET IoTarget, WDFREQUEST* Request) {
    if (!Request) return STATUS_INVALID_PARAMETER;
    *Request = nullptr;
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCreate")) return STATUS_UNSUCCESSFUL;
    wdf::Ref target;
    if (IoTarget) {
        target = wdf::lookupTarget(IoTarget, "WdfRequestCreate");
        if (!target) return STATUS_INVALID_HANDLE;
    }
    wdf::Ref parent;
    if (RequestAttributes && RequestAttributes->ParentObject)
        parent = wdf::lookup(RequestAttributes->ParentObject, "WdfRequestCreate");
    wdf::Object* driver = defaultDriverFor(target ? target.get() : parent.get());
    if (!driver) driver = wdf::currentDriver();
    auto* r = new wdf::Request;
    r->fromIoManager = false;
    r->status = STATUS_SUCCESS;
    NTSTATUS status = wdf::registerObject(r, RequestAttributes, driver);
    if (!NT_SUCCESS(status)) return status;
    *Request = static_cast<WDFREQUEST>(r->handle);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI WdfRequestReuse(WDFREQUEST Request,
                                          PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestReuse")) return STATUS_UNSUCCESSFUL;
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestReuse");
    if (!r) return STATUS_INVALID_HANDLE;
    if (!ReuseParams || ReuseParams->Size != sizeof(WDF_REQUEST_REUSE_PARAMS))
        return STATUS_INVALID_PARAMETER;
    auto* req = r.as<wdf::Request>();
    if (req->fromIoManager) return STATUS_INVALID_DEVICE_REQUEST;
    if (ReuseParams->Flags & WDF_REQUEST_REUSE_SET_NEW_IRP) return STATUS_NOT_SUPPORTED;
    {
        std::lock_guard lk(req->mu);
        if (req->sendState != wdf::Request::SendState::InFlight) {
            req->sendState = wdf::Request::SendState::Idle;
            req->status = ReuseParams->Status;
            req->information = 0;
            req->format.reset();
            req->completionRoutine = nullptr;
            req->completionContext = nullptr;
            std::memset(&req->completionParams, 0, sizeof req->completionParams);
            return STATUS_SUCCESS;
        }
    }
    detail::bugCheck(kBugCheckWdfViolation, "WdfRequestReuse of a request still in flight");
    return STATUS_INVALID_DEVICE_STATE;
}

extern "C" VOID NTAPI WdfRequestSetCompletionRoutine(
    WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
    WDFCONTEXT CompletionContext) {
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestSetCompletionRoutine");
    if (!r) return;
    auto* req = r.as<wdf::Request>();
    std::lock_guard lk(req->mu);
    req->completionRoutine = CompletionRoutine;
    req->completionContext = CompletionContext;
}

extern "C" BOOLEAN NTAPI WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target,
                                        PWDF_REQUEST_SEND_OPTIONS Options) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestSend")) return FALSE;
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestSend");
    wdf::Ref t = wdf::lookupTarget(Target, "WdfRequestSend");
    if (!r || !t) return FALSE;
    return sendRequest(r, t, Options);
}

extern "C" BOOLEAN NTAPI WdfRequestCancelSentRequest(WDFREQUEST Request) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCancelSentRequest")) return FALSE;
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestCancelSentRequest");
    if (!r) return FALSE;
    auto* req = r.as<wdf::Request>();
    std::shared_ptr<wdf::Submission> s;
    {
        std::lock_guard lk(req->mu);
        s = req->submission;
    }
    if (!s || s->done.load()) return FALSE;
    wdf::giveUp(s, STATUS_CANCELLED);
    return TRUE;
}

extern "C" NTSTATUS NTAPI WdfIoTargetStart(WDFIOTARGET IoTarget) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfIoTargetStart")) return STATUS_UNSUCCESSFUL;
    wdf::Ref t = wdf::lookupTarget(IoTarget, "WdfIoTargetStart");
    if (!t) return STATUS_INVALID_HANDLE;
    auto* target = t.as<wdf::IoTarget>();
    {
        std::lock_guard lk(target->mu);
        if (target->targetState == wdf::IoTarget::State::Closed) return STATUS_INVALID_DEVICE_STATE;
        if (target->targetState == wdf::IoTarget::State::Started) return STATUS_SUCCESS;
    }
    NTSTATUS status = target->backend ? target->backend->start() : STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    std::vector<std::shared_ptr<wdf::Submission>> release;
    {
        std::lock_guard lk(target->mu);
        if (target->targetState == wdf::IoTarget::State::Closed) return STATUS_INVALID_DEVICE_STATE;
        target->targetState = wdf::IoTarget::State::Started;
        for (auto& s : target->held) {
            target->sent.push_back(s);
            release.push_back(s);
        }
        target->held.clear();
    }
    for (auto& s : release) wdf::submitToBackend(target, s);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
    bool waits = Action == WdfIoTargetCancelSentIo || Action == WdfIoTargetWaitForSentIoToComplete;
    if (!detail::requireIrqlAtMost(waits ? PASSIVE_LEVEL : DISPATCH_LEVEL, "WdfIoTargetStop"))
        return;
    wdf::Ref t = wdf::lookupTarget(IoTarget, "WdfIoTargetStop");
    if (!t) return;
    auto* target = t.as<wdf::IoTarget>();
    std::vector<std::shared_ptr<wdf::Submission>> sent, held, delivering;
    bool stopped = false;
    {
        std::lock_guard lk(target->mu);
        if (target->targetState == wdf::IoTarget::State::Started) {
            target->targetState = wdf::IoTarget::State::Stopped;
            stopped = true;
        }
        sent = target->sent;
        held.assign(target->held.begin(), target->held.end());
        delivering = target->delivering;
    }
    // Requests that finished but whose completion routine has not run yet count as sent.
    if (Action == WdfIoTargetCancelSentIo) {
        for (auto& s : held) wdf::giveUp(s, STATUS_CANCELLED);
        for (auto& s : sent) wdf::giveUp(s, STATUS_CANCELLED);
        sent.insert(sent.end(), held.begin(), held.end());
        sent.insert(sent.end(), delivering.begin(), delivering.end());
        wdf::waitDelivered(sent, "WdfIoTargetStop cancelling sent I/O");
    } else if (Action == WdfIoTargetWaitForSentIoToComplete) {
        sent.insert(sent.end(), delivering.begin(), delivering.end());
        wdf::waitDelivered(sent, "WdfIoTargetStop waiting for sent I/O");
    }
    if (stopped && target->backend) target->backend->stop();
}

extern "C" WDFDEVICE NTAPI WdfIoTargetGetDevice(WDFIOTARGET IoTarget) {
    wdf::Ref t = wdf::lookupTarget(IoTarget, "WdfIoTargetGetDevice");
    if (!t) return nullptr;
    for (wdf::Object* p = t.get(); p; p = p->parent)
        if (p->kind == Kind::Device) return static_cast<WDFDEVICE>(p->handle);
    return nullptr;
}

extern "C" NTSTATUS NTAPI WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType,
                                          ULONG PoolTag, size_t BufferSize, WDFMEMORY* Memory,
                                          PVOID* Buffer) {
    if (Buffer) *Buffer = nullptr;
    if (!Memory) return STATUS_INVALID_PARAMETER;
    *Memory = nullptr;
    if (!detail::requireIrqlAtMost(PoolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL,
                                   "WdfMemoryCreate"))
        return STATUS_UNSUCCESSFUL;
    if (BufferSize == 0 || (PoolType != NonPagedPool && PoolType != PagedPool))
        return STATUS_INVALID_PARAMETER;
    wdf::Ref parent;
    if (Attributes && Attributes->ParentObject)
        parent = wdf::lookup(Attributes->ParentObject, "WdfMemoryCreate");
    wdf::Object* driver = defaultDriverFor(parent.get());
    if (!driver) driver = wdf::currentDriver();
    auto* m = new wdf::Memory;
    NTSTATUS status = wdf::registerObject(m, Attributes, driver);
    if (!NT_SUCCESS(status)) return status;
    ULONG tag = PoolTag ? PoolTag : wdf::frameworkTagOf(m);
    void* buffer = detail::poolAllocate(PoolType, BufferSize, tag, detail::PoolBlockKind::Plain);
    if (!buffer) {
        wdf::deleteObject(m);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m->buffer = buffer;
    m->size = BufferSize;
    m->owned = true;
    *Memory = static_cast<WDFMEMORY>(m->handle);
    if (Buffer) *Buffer = buffer;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes,
                                                      PVOID Buffer, size_t BufferSize,
                                                      WDFMEMORY* Memory) {
    if (!Memory) return STATUS_INVALID_PARAMETER;
    *Memory = nullptr;
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfMemoryCreatePreallocated"))
        return STATUS_UNSUCCESSFUL;
    if (!Buffer || BufferSize == 0) return STATUS_INVALID_PARAMETER;
    wdf::Ref parent;
    if (Attributes && Attributes->ParentObject)
        parent = wdf::lookup(Attributes->ParentObject, "WdfMemoryCreatePreallocated");
    wdf::Object* driver = defaultDriverFor(parent.get());
    if (!driver) driver = wdf::currentDriver();
    auto* m = new wdf::Memory;
    NTSTATUS status = wdf::registerObject(m, Attributes, driver);
    if (!NT_SUCCESS(status)) return status;
    m->buffer = Buffer;
    m->size = BufferSize;
    m->owned = false;
    *Memory = static_cast<WDFMEMORY>(m->handle);
    return STATUS_SUCCESS;
}

extern "C" PVOID NTAPI WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
    if (BufferSize) *BufferSize = 0;
    wdf::Ref m = wdf::lookupKind(Memory, Kind::Memory, "WdfMemoryGetBuffer");
    if (!m) return nullptr;
    auto* mem = m.as<wdf::Memory>();
    if (BufferSize) *BufferSize = mem->size;
    return mem->buffer;
}

// ---------------------------------------------------------------------------------------------
namespace standin::kernel {

NTSTATUS createIoTarget(PWDF_OBJECT_ATTRIBUTES attributes, WDFOBJECT defaultParent,
                        std::shared_ptr<IoTargetBackend> backend,
                        std::shared_ptr<ObjectExtension> extension, bool started,
                        WDFIOTARGET* target) {
    if (!target) return STATUS_INVALID_PARAMETER;
    *target = nullptr;
    wdf::Ref parent;
    if (defaultParent) {
        parent = wdf::lookup(defaultParent, "createIoTarget");
        if (!parent) return STATUS_INVALID_PARAMETER;
    }
    auto* t = new wdf::IoTarget;
    t->backend = std::move(backend);
    t->extension = std::move(extension);
    t->targetState = started ? wdf::IoTarget::State::Started : wdf::IoTarget::State::Stopped;
    NTSTATUS status = wdf::registerObject(t, attributes, parent.get());
    if (!NT_SUCCESS(status)) return status;
    *target = static_cast<WDFIOTARGET>(t->handle);
    return STATUS_SUCCESS;
}

NTSTATUS setRequestFormat(WDFREQUEST request, std::shared_ptr<RequestFormat> format) {
    wdf::Ref r = wdf::lookupKind(request, Kind::Request, "formatting a request");
    if (!r) return STATUS_INVALID_HANDLE;
    auto* req = r.as<wdf::Request>();
    if (req->fromIoManager) return STATUS_INVALID_DEVICE_REQUEST;
    std::lock_guard lk(req->mu);
    if (req->sendState == wdf::Request::SendState::InFlight) return STATUS_INVALID_DEVICE_REQUEST;
    req->format = std::move(format);
    return STATUS_SUCCESS;
}

std::shared_ptr<RequestFormat> requestFormat(WDFREQUEST request) {
    wdf::Ref r = wdf::find(request);
    if (!r || r->kind != Kind::Request) return nullptr;
    auto* req = r.as<wdf::Request>();
    std::lock_guard lk(req->mu);
    return req->format;
}

NTSTATUS sendSynchronously(WDFIOTARGET target, std::shared_ptr<RequestFormat> format,
                           LONGLONG timeout, ULONG_PTR* information) {
    if (information) *information = 0;
    if (!detail::requireIrqlAtMost(PASSIVE_LEVEL, "a synchronous send")) return STATUS_UNSUCCESSFUL;
    wdf::Ref t = wdf::lookupTarget(target, "a synchronous send");
    if (!t) return STATUS_INVALID_HANDLE;
    auto* r = new wdf::Request;
    r->fromIoManager = false;
    r->status = STATUS_SUCCESS;
    r->format = std::move(format);
    NTSTATUS status = wdf::registerObject(r, nullptr, t.get());
    if (!NT_SUCCESS(status)) return status;
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    if (timeout) WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, timeout);
    wdf::retain(r);
    wdf::Ref counted(r, true);
    sendRequest(counted, t, &options);
    {
        std::lock_guard lk(r->mu);
        status = r->status;
        if (information) *information = r->information;
    }
    wdf::deleteObject(r);
    return status;
}

bool resolveMemoryDescriptor(const WDF_MEMORY_DESCRIPTOR* descriptor, void** buffer,
                             std::size_t* length) {
    if (!descriptor || !buffer || !length) return false;
    *buffer = nullptr;
    *length = 0;
    switch (descriptor->Type) {
        case WdfMemoryDescriptorTypeBuffer:
            if (!descriptor->u.BufferType.Buffer && descriptor->u.BufferType.Length) return false;
            *buffer = descriptor->u.BufferType.Buffer;
            *length = descriptor->u.BufferType.Length;
            return true;
        case WdfMemoryDescriptorTypeMdl: {
            PMDL mdl = descriptor->u.MdlType.Mdl;
            if (!mdl || descriptor->u.MdlType.BufferLength > mdl->ByteCount) return false;
            void* p = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
            if (!p) return false;
            *buffer = p;
            *length = descriptor->u.MdlType.BufferLength;
            return true;
        }
        case WdfMemoryDescriptorTypeHandle: {
            std::size_t size = 0;
            auto* base = static_cast<unsigned char*>(
                WdfMemoryGetBuffer(descriptor->u.HandleType.Memory, &size));
            if (!base) return false;
            std::size_t offset = 0, len = size;
            if (const auto* o = descriptor->u.HandleType.Offsets) {
                if (o->BufferOffset > size) return false;
                offset = o->BufferOffset;
                len = o->BufferLength ? o->BufferLength : size - offset;
                if (len > size - offset) return false;
            }
            *buffer = base + offset;
            *length = len;
            return true;
        }
        default:
            return false;
    }
}

}  // namespace standin::kernel
