#pragma once
// The machine's parts: the machine itself (Machine::Impl), the processes it serves, the
// calling process as the kernel sees it during a request, named events and the socket server.

#include <sys/types.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "standin/sync.h"
#include "knt/knt.h"
#include "standin/host/machine.h"
#include "standin/host/protocol.h"
#include "standin/host/wire.h"
#include "standin/kernel/caller_context.h"
#include "standin/kernel/harness.h"
#include "standin/usb/bus.h"
#include "standin/vq36/device.h"

namespace standin::host::detail {

using ProcessKey = std::array<std::uint8_t, protocol::kProcessKeyBytes>;

// ---------------------------------------------------------------------------------------------
// A user process with a device handle open: its thread-object block, mapped here.
//
// A slot's thread object becomes a kernel object at the first request that names the slot, and
// the machine holds one reference to it while the process's thread owns the slot (the driver may
// hold more). References of slots whose thread has ended are dropped at the process's next
// request and when the process goes; the block is unmapped once the process is gone and no
// kernel object of it is left.
class ProcessRecord : public std::enable_shared_from_this<ProcessRecord> {
  public:
    ProcessRecord(pid_t pid, ProcessKey key, void* block, int pidFd);
    ~ProcessRecord();
    ProcessRecord(const ProcessRecord&) = delete;
    ProcessRecord& operator=(const ProcessRecord&) = delete;

    pid_t pid() const { return pid_; }
    const ProcessKey& key() const { return key_; }

    // The thread object of a slot (registered as a kernel object), or null for a slot out of
    // range.
    void* threadObject(std::uint32_t slot);
    // The process's last connection is gone. True when the process itself has ended.
    bool end();

  private:
    void objectGone(std::uint32_t slot);
    std::atomic_ref<std::uint32_t> word(std::size_t offset) const;
    void dropReferences(const std::vector<std::uint32_t>& slots);
    void unmapIfDone(std::unique_lock<standin::Mutex>& lk);

    const pid_t pid_;
    const ProcessKey key_;
    int pidFd_;
    mutable standin::Mutex mu_;
    std::uint8_t* block_;
    std::map<std::uint32_t, bool> registered_;  // slot -> the machine holds its reference
    std::size_t objects_ = 0;
    bool ended_ = false;
};

// Unmaps the kernel made in a process from a thread of another process attached to it: the
// process carries them out at its next request, or they go with it when it ends.
class DeferredUnmaps {
  public:
    void add(const ProcessKey& key, void* address, std::size_t size);
    std::vector<std::pair<void*, std::size_t>> take(const ProcessKey& key);
    void forget(const ProcessKey& key);

  private:
    standin::Mutex mu_;
    std::map<ProcessKey, std::vector<std::pair<void*, std::size_t>>> pending_;
};

class ProcessTable {
  public:
    // The record of a process (made at its first connection, mapping its block). Null when
    // the block is not a thread-object block.
    std::shared_ptr<ProcessRecord> attach(pid_t pid, const ProcessKey& key, wire::Fd block);
    void detach(const std::shared_ptr<ProcessRecord>& process);
    std::size_t count() const;
    const std::shared_ptr<DeferredUnmaps>& deferredUnmaps() const { return deferred_; }

  private:
    struct Entry {
        std::shared_ptr<ProcessRecord> process;
        std::size_t connections = 0;
    };
    mutable standin::Mutex mu_;
    std::map<std::pair<pid_t, ProcessKey>, Entry> entries_;
    std::shared_ptr<DeferredUnmaps> deferred_ = std::make_shared<DeferredUnmaps>();
};

// ---------------------------------------------------------------------------------------------
// The process behind a device connection, as the kernel sees it while a request of that
// connection runs in the caller's context. Every call goes back over the connection to the
// process, which waits for its request to finish. Once the connection is dead (the process
// died or broke the protocol), mappings fail, event handles do not resolve, and unmapping
// succeeds: the views went with the process.
class RemoteCaller final : public kernel::CallerContext {
  public:
    RemoteCaller(int socket, std::shared_ptr<ProcessRecord> process);

    std::uint32_t processId() const override;
    void* mapRegion(int fd, std::size_t size) override;
    bool unmapRegion(void* address, std::size_t size) override;
    kernel::EventLookup lookupEvent(HANDLE handle) override;
    void* currentThreadObject() override;
    std::shared_ptr<kernel::CallerContext> attachedContext() override;

    void setThreadSlot(std::uint32_t slot) { slot_ = slot; }
    void setDeferredUnmaps(std::shared_ptr<DeferredUnmaps> deferred) {
        deferred_ = std::move(deferred);
    }
    // Carries out the unmaps left for the process (see DeferredUnmaps).
    void runDeferredUnmaps();
    bool dead() const { return dead_.load(); }
    void markDead();
    // The system-space address of the device's shared record (null when the driver keeps none):
    // a view of the record tells the process where its gone mark is, so that the process sees
    // the device as gone should this connection end without a close.
    void setRecord(std::function<const void*()> record) { record_ = std::move(record); }

  private:
    bool call(std::uint32_t type, const wire::Writer& payload, std::span<const int> fds,
              std::uint32_t replyType, wire::Message* reply);
    std::uint64_t goneMarkIn(int fd);

    int socket_;
    std::shared_ptr<ProcessRecord> process_;
    std::shared_ptr<DeferredUnmaps> deferred_;
    std::function<const void*()> record_;
    standin::Mutex recordMu_;     // guards the four below
    bool recordLocated_ = false;  // the record's file and offset, once found
    dev_t recordDevice_ = 0;
    ino_t recordInode_ = 0;
    std::uint64_t recordOffset_ = 0;
    std::uint32_t slot_ = 0;
    std::atomic<bool> dead_{false};
    standin::Mutex mu_;
};

// How long the machine waits for a process to answer a call-back.
inline constexpr int kCallbackTimeoutMs = 30000;

// ---------------------------------------------------------------------------------------------
// Named events, shared by every process of the machine. A process holds a name through its
// session; the event goes when no session holds it.
class NamedEvents {
  public:
    // Win32 error codes: 0 created, ERROR_ALREADY_EXISTS (183) opened, ERROR_FILE_NOT_FOUND (2)
    // missing and not created, ERROR_NOT_ENOUGH_MEMORY (8). On 0 and 183 *fd is a descriptor
    // of the event and *manual its reset mode.
    std::uint32_t acquire(std::uint64_t session, const std::string& name, std::uint32_t flags,
                          wire::Fd* fd, bool* manual);
    void release(std::uint64_t session, const std::string& name);
    void releaseAll(std::uint64_t session);
    std::size_t count() const;

  private:
    struct Event {
        wire::Fd fd;
        bool manual = true;
        std::map<std::uint64_t, std::size_t> holds;  // session -> count
    };
    mutable standin::Mutex mu_;
    std::map<std::string, Event> events_;
};

// ---------------------------------------------------------------------------------------------
class Server {
  public:
    Server(Machine::Impl& machine, int listenSocket);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Stops accepting, drops every connection (their handles are cleaned up as those of a
    // process that died) and waits for their threads.
    void stop();
    std::size_t connections() const;
    std::size_t processes() const { return processes_.count(); }
    std::size_t namedEvents() const { return named_.count(); }

  private:
    struct Connection {
        wire::Fd socket;
        uid_t user = 0;
        std::thread thread;
        std::atomic<bool> finished{false};
    };
    using FileToken = std::array<std::uint8_t, protocol::kFileTokenBytes>;
    // A file object as the processes that hold it see it: the processes' connections to it.
    struct OpenFile {
        struct Holder {
            std::size_t connections = 0;
            bool closed = false;  // the process has closed its handle
        };
        kernel::FileId file = 0;
        WDFDEVICE device = nullptr;  // the device object the file was opened on
        FileToken token{};
        std::map<ProcessKey, Holder> holders;
        bool cleanedUp = false;
    };

    void acceptLoop();
    // The reason to refuse a new connection of `user`, or empty. mu_ held.
    std::string refusalLocked(uid_t user, NTSTATUS* status) const;
    void serve(Connection* connection);
    void serveDevice(int socket, wire::Message& first);
    // A process's connection leaves the file object (`close`: the process closed its handle).
    // True when no process holds the file object any more: the caller cleans it up.
    bool leaveFile(OpenFile& open, const ProcessKey& key, bool close);
    void serveEnumerate(int socket, wire::Message& first);
    void serveSession(int socket, wire::Message& first);
    void serveManage(int socket, wire::Message& first);
    void reapFinished();

    Machine::Impl& machine_;
    wire::Fd listen_;
    wire::Fd wake_;  // eventfd: stop
    std::thread acceptor_;
    mutable standin::Mutex mu_;
    std::list<std::unique_ptr<Connection>> connections_;
    bool stopping_ = false;
    const std::size_t maxConnectionsPerUser_;
    const std::size_t maxConnections_;
    standin::Mutex filesMu_;
    std::map<FileToken, std::shared_ptr<OpenFile>> files_;
    ProcessTable processes_;
    NamedEvents named_;
    std::atomic<std::uint64_t> nextSession_{1};
};

}  // namespace standin::host::detail

namespace standin::host {

// ---------------------------------------------------------------------------------------------
struct Machine::Impl {
    struct DeviceObjectRecord {
        WDFDEVICE device = nullptr;
        std::uint32_t instance = 0;
        usb::PortId port = 0;
        std::uint64_t usbId = 0;
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        bool removed = false;
    };
    struct PortRecord {
        std::shared_ptr<vq36::Vq36Device> model;
        bool unplugged = false;
        std::uint64_t arrivals = 0;    // arrivals handled
        std::uint64_t departures = 0;  // departures handled
    };
    struct PnpEvent {
        enum class Kind { Arrival, Departure } kind = Kind::Arrival;
        std::shared_ptr<usb::UsbDevice> device;
    };

    Machine* owner = nullptr;
    MachineOptions options;
    std::string root;
    // Who may use the machine: its owner, and the members of the group asked for (if any).
    uid_t ownerUid = 0;
    bool groupAsked = false;
    gid_t groupId = 0;
    std::string driverDescription;
    wire::Fd lock;
    std::shared_ptr<Clock> clock;
    void* driverModule = nullptr;
    InfoRecordAccessor infoRecord = nullptr;
    std::unique_ptr<usb::Bus> bus;
    std::unique_ptr<kernel::FrameworkHarness> harness;
    usb::ListenerId listener = 0;
    std::unique_ptr<detail::Server> server;

    // Device objects and ports. `mu` guards the tables and the flags below.
    mutable standin::Mutex mu;
    mutable standin::CondVar changed;
    std::vector<DeviceObjectRecord> deviceObjects;
    std::map<usb::PortId, PortRecord> portTable;
    std::uint32_t nextInstance = 1;
    bool asleep = false;
    bool stopping = false;
    bool shutdownRequested = false;

    // Held exclusively around every change of a device object's Plug and Play state (so also
    // around everything that deletes a device object, or removes it so that the close of its
    // last file object deletes it), shared while the record of a working or sleeping device
    // object is read: such a device object cannot be deleted meanwhile.
    mutable std::shared_mutex lifetime;

    // Plug and Play runs on its own thread with a real clock, in the bus's listener with a
    // manual one.
    standin::Mutex pnpMu;
    standin::CondVar pnpCv;
    std::deque<PnpEvent> pnpQueue;
    std::thread pnpThread;
    bool pnpStop = false;

    // ---- used by the server ----
    WDFDEVICE findDevice(const std::string& path);
    // The enabled interfaces of a device object: class and instance path.
    std::vector<std::pair<GUID, std::string>> interfacesOf(const DeviceObjectRecord& record) const;
    std::vector<std::string> interfacePaths(const GUID& interfaceClass);
    int manage(const std::vector<std::string>& args, std::string* out);
    // Blocks while the machine sleeps; false when it stops.
    bool waitAwake();

    // ---- Plug and Play ----
    void onBusEvent(const usb::BusEvent& event);
    void pnpLoop();
    void handle(const PnpEvent& event);
    void arrive(const std::shared_ptr<usb::UsbDevice>& device);
    void depart(const std::shared_ptr<usb::UsbDevice>& device);
    // Every working device leaves D0 / every sleeping one enters it (lifetime lock held).
    void suspendAll();
    void resumeAll();
    void post(PnpEvent event);
    void pruneDeviceObjects();

    bool startUp(std::string* error);
    // Checks the root folder (owned by the user, writable by no one else), gives it its mode
    // and takes its lock; false with a message when the root cannot be trusted.
    bool takeRoot(std::string* error);
    // Whether the process at the other end of a connection may use the machine; *why says
    // why not.
    bool peerMayUse(int socket, std::string* why) const;
    void shutDown();
};

}  // namespace standin::host
