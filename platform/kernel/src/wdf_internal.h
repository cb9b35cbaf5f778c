#pragma once
// Framework objects: the handle table, references, parents and children, contexts, deletion;
// and the object kinds that several files share.

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "standin/sync.h"
#include "internal.h"
#include "standin/kernel/harness.h"
#include "standin/kernel/io_target.h"

namespace standin::kernel::wdf {

enum class Kind : std::uint8_t {
    Driver,
    Device,
    Queue,
    Request,
    FileObject,
    Memory,
    Timer,
    WorkItem,
    SpinLock,
    IoTarget,
    Extension
};
const char* kindName(Kind kind);

enum class ObjectState : int { Alive, Deleting, Deleted, Destroying };

class Object {
  public:
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    // Called once when deletion starts, after the children are deleted: stop what runs.
    virtual void onDelete() {}
    // Called when the last reference goes, after the destroy callback: free what it owns.
    virtual void releaseResources() {}

    const Kind kind;
    WDFOBJECT handle = nullptr;
    Object* parent = nullptr;  // holds a reference on the parent
    standin::Mutex childMu;
    std::vector<Object*> children;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO contextType = nullptr;
    void* context = nullptr;
    std::size_t contextSize = 0;
    void* block = nullptr;  // pool block of the object (and its context)
    PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanupCallback = nullptr;
    PFN_WDF_OBJECT_CONTEXT_DESTROY destroyCallback = nullptr;
    WDF_EXECUTION_LEVEL executionLevel = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope = WdfSynchronizationScopeInheritFromParent;
    std::atomic<long> references{1};
    std::atomic<ObjectState> state{ObjectState::Alive};
    bool driverMayDelete = true;
    std::shared_ptr<ObjectExtension> extension;

    bool alive() const { return state.load() == ObjectState::Alive; }
};

// A counted reference to an object (or a borrowed pointer while it is being destroyed).
class Ref {
  public:
    Ref() = default;
    explicit Ref(Object* o, bool counted = true);
    Ref(const Ref& other);
    Ref(Ref&& other) noexcept;
    Ref& operator=(Ref other) noexcept;
    ~Ref();

    Object* get() const { return object_; }
    Object* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    template <class T>
    T* as() const {
        return static_cast<T*>(object_);
    }

  private:
    Object* object_ = nullptr;
    bool counted_ = false;
    std::uint64_t generation_ = 0;  // references from before a machine reset are inert
};

void retain(Object* o);
void release(Object* o);

// Finds the object behind a handle. An invalid handle (never valid, or of an object already
// destroyed) is a bug check; the result is then empty.
Ref lookup(WDFOBJECT handle, const char* caller);
// Also checks the kind (a handle of another kind is a bug check).
Ref lookupKind(WDFOBJECT handle, Kind kind, const char* caller);
// The same without a bug check (for the harness and the stand-ins around the framework).
Ref find(WDFOBJECT handle);

// Gives the object a handle, a parent (from the attributes, else `defaultParent`), its
// context and callbacks. On failure the object is freed.
NTSTATUS registerObject(Object* o, PWDF_OBJECT_ATTRIBUTES attributes, Object* defaultParent);

// Deletes an object: its children first, then its own onDelete and cleanup callback; it is
// destroyed (destroy callback, context freed) when the last reference goes.
void deleteObject(Object* o);

// Effective execution level and synchronisation scope (inheritance resolved).
WDF_EXECUTION_LEVEL effectiveExecutionLevel(Object* o);
WDF_SYNCHRONIZATION_SCOPE effectiveSynchronizationScope(Object* o);

// The pool tag the framework uses for a driver's objects.
ULONG frameworkTagOf(Object* o);

// ---------------------------------------------------------------------------------------------
// Serialisation lock of a device (synchronisation scope "device"). A task that finds the lock
// held by its own thread (the manual clock runs tasks inside waits) is run again once the lock
// is released.
class SyncLock {
  public:
    // Runs `body` holding the lock, or hands `retry` over for later.
    void run(const std::function<void()>& body, std::function<void()> retry);

  private:
    standin::Mutex mu_;
    std::atomic<std::thread::id> owner_{};
    standin::Mutex deferredMu_;
    std::vector<std::function<void()>> deferred_;
};

// ---------------------------------------------------------------------------------------------
class Driver;
class Device;
class Queue;
class IoTarget;
class FileObject;

class Driver final : public Object {
  public:
    Driver() : Object(Kind::Driver) {}
    WDF_DRIVER_CONFIG config{};
    ULONG tag = 0;
    PDRIVER_OBJECT driverObject = nullptr;
};

class Device final : public Object {
  public:
    Device() : Object(Kind::Device) {}
    void onDelete() override;

    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    PFN_WDF_IO_IN_CALLER_CONTEXT inCallerContext = nullptr;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    std::shared_ptr<PhysicalDevice> physical;

    standin::Mutex mu;
    Queue* defaultQueue = nullptr;      // a child
    IoTarget* defaultTarget = nullptr;  // a child
    std::vector<DeviceInterface> interfaces;
    WDF_DEVICE_PNP_CAPABILITIES capabilities{};
    bool inWorkingState = false;
    SyncLock syncLock;
};

// Runs `body` serialised with the device of `o` when `o` asks for it.
void runSerialized(Object* o, bool automaticSerialization, const std::function<void()>& body,
                   std::function<void()> retry);

class FileObject final : public Object {
  public:
    FileObject() : Object(Kind::FileObject) {}
    Device* device = nullptr;
};

// A request: one of the I/O manager's (create, device control) or one the driver created.
class Request final : public Object {
  public:
    Request() : Object(Kind::Request) {}
    void releaseResources() override;

    bool fromIoManager = false;
    standin::Mutex mu;

    // I/O manager requests.
    WDF_REQUEST_PARAMETERS parameters{};
    std::vector<unsigned char> systemBuffer;
    Ref file;
    Device* device = nullptr;
    Queue* deliveredBy = nullptr;  // the queue that presented it to the driver
    std::atomic<bool> completed{false};
    // Set once status and information are written: what waiters for the result look at.
    std::atomic<bool> resultReady{false};
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;

    // Driver-created requests.
    enum class SendState { Idle, InFlight, Completed } sendState = SendState::Idle;
    std::shared_ptr<RequestFormat> format;
    PFN_WDF_REQUEST_COMPLETION_ROUTINE completionRoutine = nullptr;
    WDFCONTEXT completionContext = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS completionParams{};
    std::shared_ptr<class Submission> submission;  // while in flight
};

class Queue final : public Object {
  public:
    Queue() : Object(Kind::Queue) {}
    void onDelete() override;

    Device* device = nullptr;
    WDF_IO_QUEUE_CONFIG config{};
    bool powerManaged = true;
    standin::Mutex mu;
    bool accepting = true;
    bool dispatching = false;
    std::deque<Ref> pending;
    int delivered = 0;  // presented to the driver and not completed
};

// Queue operations used by the device, the harness and WdfDeviceEnqueueRequest.
NTSTATUS enqueue(Queue* queue, const Ref& request);
void startQueue(Queue* queue);
// Stops presenting requests and waits until those presented are completed.
void stopQueue(Queue* queue);
// Stops accepting: waiting requests are cancelled, later ones refused.
void purgeQueue(Queue* queue);
void requestCompleted(Request* request);

class Submission final : public IoSubmission, public std::enable_shared_from_this<Submission> {
  public:
    WDFREQUEST request() const override { return static_cast<WDFREQUEST>(requestRef->handle); }
    RequestFormat* format() const override { return formatHold.get(); }
    bool finished() const override { return done.load(); }
    void complete(NTSTATUS status, ULONG_PTR information,
                  PWDF_USB_REQUEST_COMPLETION_PARAMS usb) override;

    Ref requestRef;
    Ref targetRef;
    std::shared_ptr<RequestFormat> formatHold;
    std::atomic<bool> done{false};
    // The hand-over to the backend and a give-up never overlap: a request given up before the
    // backend took it never reaches the backend, one it took is cancelled there first.
    standin::Mutex handOver;
    bool handedOver = false;  // guarded by handOver
    bool givenUp = false;     // guarded by handOver
    bool sendAndForget = false;
    detail::TaskHandle timeout;
    std::atomic<bool> delivered{false};  // its completion has been delivered
};

class IoTarget final : public Object {
  public:
    IoTarget() : Object(Kind::IoTarget) {}
    void onDelete() override;

    enum class State { Started, Stopped, Closed };
    std::shared_ptr<IoTargetBackend> backend;
    standin::Mutex mu;
    State targetState = State::Stopped;
    std::vector<std::shared_ptr<Submission>> sent;
    std::deque<std::shared_ptr<Submission>> held;
    // Finished, their completion not yet delivered: a stop or close waits for these too.
    std::vector<std::shared_ptr<Submission>> delivering;
    int outstanding = 0;  // sent or held, completion not yet delivered
};

// Finishes a submission (first caller wins) and delivers its completion.
void finishSubmission(const std::shared_ptr<Submission>& s, NTSTATUS status, ULONG_PTR information,
                      PWDF_USB_REQUEST_COMPLETION_PARAMS usb);
// Gives a request up: the backend (if it took the request) lets go of it first, then the
// request is finished with `status`.
void giveUp(const std::shared_ptr<Submission>& s, NTSTATUS status);
// Closes a target for good: gives up everything it holds and refuses later sends.
void closeTarget(IoTarget* target);
// An I/O target of any kind (WDFIOTARGET handles, and extension objects that are targets).
Ref lookupTarget(WDFIOTARGET handle, const char* caller);

// Creates a request of the I/O manager's.
NTSTATUS createIoRequest(Device* device, FileObject* file, WDF_REQUEST_TYPE type, Ref* request);
// Completes a request of the I/O manager's (the driver's WdfRequestComplete and the
// framework's own completions).
void completeIoRequest(Request* request, NTSTATUS status, const ULONG_PTR* information,
                       const char* caller);

// Driver objects of loaded drivers: the harness registers the DRIVER_OBJECT it passes to the
// entry point, and WdfDriverCreate finds it.
void registerDriverObject(PDRIVER_OBJECT driverObject, const std::string& serviceName);
void unregisterDriverObject(PDRIVER_OBJECT driverObject);
Driver* driverOf(PDRIVER_OBJECT driverObject);
// The driver that objects naming no parent belong to (the one loaded driver).
Driver* currentDriver();

}  // namespace standin::kernel::wdf

// What EvtDriverDeviceAdd receives: the settings of the device object to be created.
struct WDFDEVICE_INIT {
    standin::kernel::wdf::Driver* driver = nullptr;
    std::shared_ptr<standin::kernel::PhysicalDevice> physical;
    WDF_PNPPOWER_EVENT_CALLBACKS pnp{};
    PFN_WDF_IO_IN_CALLER_CONTEXT inCallerContext = nullptr;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    WDFDEVICE created = nullptr;
};
