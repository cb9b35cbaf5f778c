// I/O queues and the requests of the I/O manager: parameters, buffers, completion.

#include <cstring>

#include "wdf_internal.h"

namespace standin::kernel::wdf {
namespace {

void deliverOne(const Ref& queueRef);

void scheduleDelivery(Queue* queue) {
    retain(queue);
    Ref q(queue, true);
    detail::schedule(detail::now(), RunLevel::Passive, [q] { deliverOne(q); });
}

void present(Queue* queue, Request* request) {
    detail::CallbackScope scope(PASSIVE_LEVEL, "an I/O queue callback");
    auto code = request->parameters.Parameters.DeviceIoControl.IoControlCode;
    auto out = request->parameters.Parameters.DeviceIoControl.OutputBufferLength;
    auto in = request->parameters.Parameters.DeviceIoControl.InputBufferLength;
    auto q = static_cast<WDFQUEUE>(queue->handle);
    auto r = static_cast<WDFREQUEST>(request->handle);
    if (request->parameters.Type == WdfRequestTypeDeviceControl && queue->config.EvtIoDeviceControl)
        queue->config.EvtIoDeviceControl(q, r, out, in, code);
    else if (queue->config.EvtIoDefault)
        queue->config.EvtIoDefault(q, r);
    else
        completeIoRequest(request, STATUS_INVALID_DEVICE_REQUEST, nullptr, "the I/O queue");
}

void deliverOne(const Ref& queueRef) {
    auto* queue = queueRef.as<Queue>();
    Ref request;
    {
        std::lock_guard lk(queue->mu);
        if (!queue->dispatching || queue->pending.empty()) return;
        if (queue->config.DispatchType == WdfIoQueueDispatchSequential && queue->delivered > 0)
            return;
        request = std::move(queue->pending.front());
        queue->pending.pop_front();
        ++queue->delivered;
    }
    auto* r = request.as<Request>();
    r->deliveredBy = queue;
    auto body = [queue, r] { present(queue, r); };
    if (effectiveSynchronizationScope(queue) != WdfSynchronizationScopeDevice) {
        body();
        return;
    }
    // Serialised with the device: when the lock is this thread's own, present it later.
    auto retry = [queueRef, request] {
        auto* qq = queueRef.as<Queue>();
        {
            std::lock_guard lk(qq->mu);
            --qq->delivered;
            request.as<Request>()->deliveredBy = nullptr;
            qq->pending.push_front(request);
        }
        scheduleDelivery(qq);
    };
    queue->device->syncLock.run(body, retry);
}

}  // namespace

NTSTATUS enqueue(Queue* queue, const Ref& request) {
    bool go;
    {
        std::lock_guard lk(queue->mu);
        if (!queue->accepting) return STATUS_INVALID_DEVICE_STATE;
        queue->pending.push_back(request);
        go = queue->dispatching;
    }
    if (!go) return STATUS_SUCCESS;
    if (detail::irql() == PASSIVE_LEVEL) {
        // The framework presents a request that a queue can take at once in the thread that
        // hands it over (the driver may even see it completed before WdfDeviceEnqueueRequest
        // returns), so as many requests run in the driver as threads send them. Handing every
        // one to the machine's few passive workers would make a hundred programs' requests
        // wait in line behind those that wait for the device.
        retain(queue);
        deliverOne(Ref(queue, true));
    } else {
        scheduleDelivery(queue);
    }
    return STATUS_SUCCESS;
}

void startQueue(Queue* queue) {
    std::size_t n;
    {
        std::lock_guard lk(queue->mu);
        if (!queue->accepting) return;
        queue->dispatching = true;
        n = queue->pending.size();
    }
    for (std::size_t i = 0; i < n; ++i) scheduleDelivery(queue);
}

void stopQueue(Queue* queue) {
    {
        std::lock_guard lk(queue->mu);
        queue->dispatching = false;
    }
    detail::waitUntil(
        [queue] {
            std::lock_guard lk(queue->mu);
            return queue->delivered == 0;
        },
        detail::kForever, "an I/O queue waiting for its requests");
}

void purgeQueue(Queue* queue) {
    std::deque<Ref> cancelled;
    {
        std::lock_guard lk(queue->mu);
        queue->accepting = false;
        queue->dispatching = false;
        cancelled.swap(queue->pending);
    }
    for (auto& r : cancelled)
        completeIoRequest(r.as<Request>(), STATUS_CANCELLED, nullptr, "purging a queue");
    if (detail::irql() == PASSIVE_LEVEL) {
        detail::waitUntil(
            [queue] {
                std::lock_guard lk(queue->mu);
                return queue->delivered == 0;
            },
            detail::kForever, "an I/O queue waiting for its requests");
    }
}

void Queue::onDelete() {
    std::deque<Ref> cancelled;
    {
        std::lock_guard lk(mu);
        accepting = false;
        dispatching = false;
        cancelled.swap(pending);
    }
    for (auto& r : cancelled)
        completeIoRequest(r.as<Request>(), STATUS_CANCELLED, nullptr, "deleting a queue");
    if (device) {
        std::lock_guard lk(device->mu);
        if (device->defaultQueue == this) device->defaultQueue = nullptr;
    }
}

void requestCompleted(Request* request) {
    Queue* queue = request->deliveredBy;
    if (!queue) return;
    bool next = false;
    {
        std::lock_guard lk(queue->mu);
        --queue->delivered;
        next = queue->config.DispatchType == WdfIoQueueDispatchSequential && queue->dispatching &&
               !queue->pending.empty();
    }
    if (next) scheduleDelivery(queue);
}

NTSTATUS createIoRequest(Device* device, FileObject* file, WDF_REQUEST_TYPE type, Ref* request) {
    auto* r = new Request;
    r->fromIoManager = true;
    r->driverMayDelete = false;
    r->device = device;
    if (file) {
        retain(file);
        r->file = Ref(file, true);
    }
    WDF_REQUEST_PARAMETERS_INIT(&r->parameters);
    r->parameters.Type = type;
    NTSTATUS status = registerObject(r, nullptr, device);
    if (!NT_SUCCESS(status)) return status;
    retain(r);
    *request = Ref(r, true);  // the caller's own reference; deleteObject drops the creation one
    return STATUS_SUCCESS;
}

void completeIoRequest(Request* request, NTSTATUS status, const ULONG_PTR* information,
                       const char* caller) {
    if (!request->fromIoManager) {
        detail::bugCheck(
            kBugCheckWdfViolation,
            std::string(caller) + " of a request that the driver created (it completes by itself)");
        return;
    }
    if (status == STATUS_PENDING) {
        detail::bugCheck(kBugCheckWdfViolation, std::string(caller) + " with STATUS_PENDING");
        return;
    }
    if (request->completed.exchange(true)) {
        detail::bugCheck(kBugCheckWdfViolation,
                         std::string(caller) + " of a request that was already completed");
        return;
    }
    {
        std::lock_guard lk(request->mu);
        request->status = status;
        if (information) request->information = *information;
    }
    request->resultReady.store(true, std::memory_order_release);
    requestCompleted(request);
    detail::notifyAll();
}

void Request::releaseResources() {
    systemBuffer.clear();
    systemBuffer.shrink_to_fit();
}

}  // namespace standin::kernel::wdf

// ---------------------------------------------------------------------------------------------
using namespace standin;
using namespace standin::kernel;
using wdf::Kind;

extern "C" NTSTATUS NTAPI WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                           PWDF_OBJECT_ATTRIBUTES QueueAttributes,
                                           WDFQUEUE* Queue) {
    if (Queue) *Queue = nullptr;
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfIoQueueCreate")) return STATUS_UNSUCCESSFUL;
    wdf::Ref d = wdf::lookupKind(Device, Kind::Device, "WdfIoQueueCreate");
    if (!d) return STATUS_INVALID_HANDLE;
    if (!Config || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) return STATUS_INVALID_PARAMETER;
    if (Config->DispatchType != WdfIoQueueDispatchParallel &&
        Config->DispatchType != WdfIoQueueDispatchSequential)
        return STATUS_NOT_SUPPORTED;
    auto* dev = d.as<wdf::Device>();
    if (Config->DefaultQueue) {
        std::lock_guard lk(dev->mu);
        if (dev->defaultQueue) return STATUS_INVALID_DEVICE_STATE;
    }
    auto* q = new wdf::Queue;
    q->device = dev;
    q->config = *Config;
    q->powerManaged = Config->PowerManaged != WdfFalse;
    NTSTATUS status = wdf::registerObject(q, QueueAttributes, dev);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard lk(dev->mu);
        q->dispatching = !q->powerManaged || dev->inWorkingState;
        if (Config->DefaultQueue) dev->defaultQueue = q;
    }
    if (Queue) *Queue = static_cast<WDFQUEUE>(q->handle);
    return STATUS_SUCCESS;
}

extern "C" WDFDEVICE NTAPI WdfIoQueueGetDevice(WDFQUEUE Queue) {
    wdf::Ref q = wdf::lookupKind(Queue, Kind::Queue, "WdfIoQueueGetDevice");
    if (!q) return nullptr;
    return static_cast<WDFDEVICE>(q.as<wdf::Queue>()->device->handle);
}

extern "C" VOID NTAPI WdfRequestGetParameters(WDFREQUEST Request,
                                              PWDF_REQUEST_PARAMETERS Parameters) {
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestGetParameters");
    if (!r || !Parameters) return;
    auto* req = r.as<wdf::Request>();
    if (req->fromIoManager) {
        *Parameters = req->parameters;
        return;
    }
    WDF_REQUEST_PARAMETERS_INIT(Parameters);
    std::lock_guard lk(req->mu);
    Parameters->Type = req->format ? req->format->type() : WdfRequestTypeNoFormat;
}

extern "C" WDFFILEOBJECT NTAPI WdfRequestGetFileObject(WDFREQUEST Request) {
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestGetFileObject");
    if (!r) return nullptr;
    auto* req = r.as<wdf::Request>();
    return req->file ? static_cast<WDFFILEOBJECT>(req->file->handle) : nullptr;
}

namespace {

NTSTATUS retrieveBuffer(WDFREQUEST Request, size_t minimum, PVOID* Buffer, size_t* Length,
                        bool output, const char* caller) {
    if (!Buffer) return STATUS_INVALID_PARAMETER;
    *Buffer = nullptr;
    if (Length) *Length = 0;
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, caller);
    if (!r) return STATUS_INVALID_HANDLE;
    auto* req = r.as<wdf::Request>();
    if (!req->fromIoManager || req->parameters.Type != WdfRequestTypeDeviceControl)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (req->completed.load()) return STATUS_INTERNAL_ERROR;
    const auto& p = req->parameters.Parameters.DeviceIoControl;
    if ((p.IoControlCode & 3) != METHOD_BUFFERED) return STATUS_INVALID_DEVICE_REQUEST;
    size_t length = output ? p.OutputBufferLength : p.InputBufferLength;
    if (length == 0 || length < minimum) return STATUS_BUFFER_TOO_SMALL;
    *Buffer = req->systemBuffer.data();
    if (Length) *Length = length;
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI WdfRequestRetrieveInputBuffer(WDFREQUEST Request,
                                                        size_t MinimumRequiredLength, PVOID* Buffer,
                                                        size_t* Length) {
    return retrieveBuffer(Request, MinimumRequiredLength, Buffer, Length, false,
                          "WdfRequestRetrieveInputBuffer");
}

extern "C" NTSTATUS NTAPI WdfRequestRetrieveOutputBuffer(WDFREQUEST Request,
                                                         size_t MinimumRequiredSize, PVOID* Buffer,
                                                         size_t* Length) {
    return retrieveBuffer(Request, MinimumRequiredSize, Buffer, Length, true,
                          "WdfRequestRetrieveOutputBuffer");
}

extern "C" VOID NTAPI WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestComplete")) return;
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestComplete");
    if (!r) return;
    wdf::completeIoRequest(r.as<wdf::Request>(), Status, nullptr, "WdfRequestComplete");
}

extern "C" VOID NTAPI WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status,
                                                        ULONG_PTR Information) {
    if (!detail::requireIrqlAtMost(DISPATCH_LEVEL, "WdfRequestCompleteWithInformation")) return;
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestCompleteWithInformation");
    if (!r) return;
    wdf::completeIoRequest(r.as<wdf::Request>(), Status, &Information,
                           "WdfRequestCompleteWithInformation");
}

extern "C" VOID NTAPI WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestSetInformation");
    if (!r) return;
    auto* req = r.as<wdf::Request>();
    std::lock_guard lk(req->mu);
    req->information = Information;
}

extern "C" NTSTATUS NTAPI WdfRequestGetStatus(WDFREQUEST Request) {
    wdf::Ref r = wdf::lookupKind(Request, Kind::Request, "WdfRequestGetStatus");
    if (!r) return STATUS_INVALID_HANDLE;
    auto* req = r.as<wdf::Request>();
    std::lock_guard lk(req->mu);
    if (req->fromIoManager && !req->resultReady.load()) return STATUS_PENDING;
    return req->status;
}
