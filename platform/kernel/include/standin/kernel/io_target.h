#pragma once
// What serves an I/O target, and the hooks that the layers above the framework (the USB target
// device and its pipes) use to format requests, make targets and framework objects of their
// own, and send synchronously.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "knt/knt.h"

namespace standin::kernel {

// What a formatting call put into a request; the request keeps it until it is reused.
class RequestFormat {
  public:
    virtual ~RequestFormat() = default;
    // The request type that completion parameters report.
    virtual WDF_REQUEST_TYPE type() const { return WdfRequestTypeOther; }
};

// A request on its way through a target's backend. The backend completes it once, from any
// thread; a completion after the framework gave the request up (time-out, cancel, target stop)
// is ignored.
class IoSubmission {
  public:
    virtual ~IoSubmission() = default;

    virtual WDFREQUEST request() const = 0;
    virtual RequestFormat* format() const = 0;  // null for an unformatted request
    // True once the request is completed or given up.
    virtual bool finished() const = 0;
    // Completes the request. `usb` (optional) becomes Parameters.Usb.Completion of the
    // completion parameters and must stay valid until the request is reused or deleted.
    virtual void complete(NTSTATUS status, ULONG_PTR information,
                          PWDF_USB_REQUEST_COMPLETION_PARAMS usb = nullptr) = 0;
};

// Serves one I/O target. All calls come without framework locks held.
class IoTargetBackend {
  public:
    virtual ~IoTargetBackend() = default;

    // The target starts (WdfIoTargetStart). A failure is WdfIoTargetStart's result.
    virtual NTSTATUS start() { return STATUS_SUCCESS; }
    // The target stopped (after the framework gave up what was sent, when so asked).
    virtual void stop() {}
    // Takes a request; completes it now or later through the submission.
    virtual void submit(const std::shared_ptr<IoSubmission>& submission) = 0;
    // The framework gives a submitted request up (time-out, cancel, target stop or close);
    // it may call this at dispatch level. When cancel returns, the backend no longer touches
    // the request's buffers; the framework completes the request itself (STATUS_IO_TIMEOUT
    // after a time-out, else STATUS_CANCELLED) unless the backend completed it first. Cancel
    // never runs while submit of the same request runs; a request given up before submit is
    // never submitted.
    virtual void cancel(const std::shared_ptr<IoSubmission>& submission) = 0;
};

// ---------------------------------------------------------------------------------------------
// Framework objects of the layers above (a USB device, an interface, a pipe): they get a handle,
// a parent, typed contexts and destroy callbacks like any framework object.
class ObjectExtension {
  public:
    virtual ~ObjectExtension() = default;
    // The object is being deleted (before its cleanup callback): give up what runs.
    virtual void onDelete() {}
};

// Creates a framework object that carries `extension`. `defaultParent` applies when the
// attributes name no parent. Fails like any object creation.
NTSTATUS createExtensionObject(PWDF_OBJECT_ATTRIBUTES attributes, WDFOBJECT defaultParent,
                               std::shared_ptr<ObjectExtension> extension, WDFOBJECT* object);

// Creates an I/O target served by `backend` (the target can also carry an extension, so that a
// pipe object is its own I/O target). The target starts stopped unless `started` (then the
// backend is taken to be running: its start() is not called). Sends to a stopped target wait
// in it until WdfIoTargetStart; a target whose object is deleted gives up what it holds and
// refuses later sends with STATUS_INVALID_DEVICE_STATE.
NTSTATUS createIoTarget(PWDF_OBJECT_ATTRIBUTES attributes, WDFOBJECT defaultParent,
                        std::shared_ptr<IoTargetBackend> backend,
                        std::shared_ptr<ObjectExtension> extension, bool started,
                        WDFIOTARGET* target);

// The extension of a framework object (null for objects without one, or of another type).
std::shared_ptr<ObjectExtension> objectExtension(WDFOBJECT object);
template <class T>
std::shared_ptr<T> objectExtensionAs(WDFOBJECT object) {
    return std::dynamic_pointer_cast<T>(objectExtension(object));
}

// The parent of any framework object (null for the driver object).
WDFOBJECT parentObject(WDFOBJECT object);
// The device object an object belongs to (itself, or its nearest device ancestor).
WDFDEVICE deviceOf(WDFOBJECT object);

// Formatting: what the request carries to a target. Fails with STATUS_INVALID_DEVICE_REQUEST
// for a request that is in flight or came from the I/O manager.
NTSTATUS setRequestFormat(WDFREQUEST request, std::shared_ptr<RequestFormat> format);
std::shared_ptr<RequestFormat> requestFormat(WDFREQUEST request);

// Sends `format` to `target` in a request of the framework's own and waits for it (passive
// level only). A negative timeout is relative (100 ns units); 0 waits for ever. Returns the
// completion status; `information` receives the completion's information.
NTSTATUS sendSynchronously(WDFIOTARGET target, std::shared_ptr<RequestFormat> format,
                           LONGLONG timeout, ULONG_PTR* information);

// The buffer a memory descriptor names (buffer, MDL with a system view, or memory object with
// optional offsets). False for an invalid descriptor.
bool resolveMemoryDescriptor(const WDF_MEMORY_DESCRIPTOR* descriptor, void** buffer,
                             std::size_t* length);

}  // namespace standin::kernel
