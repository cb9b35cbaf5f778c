// The machine socket: accepts connections of user processes and serves each on its own thread
// (device handles, enumeration, sessions with named events, management commands).
//
// Whatever a process sends, the machine only ever answers or drops the connection: a packet
// that is not what the protocol expects at that point ends the connection, and a device
// connection that ends without kClose is cleaned up as the handle of a process that died.

#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "internal.h"

namespace standin::host::detail {
namespace {

constexpr int kFirstMessageTimeoutMs = 10000;
// After a failed accept (no descriptor or memory to spare) the machine waits before it tries
// again, twice as long each time up to the longest wait, instead of spinning on the pending
// connection.
constexpr int kFirstAcceptBackoffMs = 10;
constexpr int kLongestAcceptBackoffMs = 1000;
constexpr NTSTATUS kStatusQuotaExceeded = static_cast<NTSTATUS>(0xC0000044);
// What the object manager answers for a name that names nothing.
constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);

bool reply(int socket, std::uint32_t type, const wire::Writer& w, std::span<const int> fds = {}) {
    return wire::send(socket, type, w.data(), fds);
}

bool isErrorStatus(NTSTATUS status) {
    return (static_cast<std::uint32_t>(status) >> 30) == 3;
}

pid_t peerProcess(int socket) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return 0;
    return cred.pid;
}

// Answers the first message of a connection whose process may not use the machine, in the
// terms of what it asked: a device open fails with STATUS_ACCESS_DENIED, a management command
// with the reason; anything else ends without an answer.
void refuse(int socket, std::uint32_t type, const std::string& why) {
    wire::Writer w;
    if (type == protocol::kOpenDevice || type == protocol::kJoinDevice) {
        w.i32(static_cast<NTSTATUS>(0xC0000022));  // STATUS_ACCESS_DENIED
        reply(socket, protocol::kOpenReply, w);
    } else if (type == protocol::kManage) {
        w.i32(1).string(why + "\n");
        reply(socket, protocol::kManageReply, w);
    }
}

// On the platform a request runs in the calling thread itself; here a connection thread of the
// machine runs it, so that thread takes the calling thread's scheduling class for the request: a
// real-time thread's request (a streaming client's attach) does not wait behind every ordinary
// program of the machine, and an ordinary one's gains nothing. A real-time caller's priority is
// kept below the machine's interrupt-level threads (10), as a request runs below the processor's
// deferred calls. Only a thread of the connected process is looked at.
constexpr int kHighestCallerPriority = 9;

struct SchedulingClass {
    int policy = SCHED_OTHER;
    int priority = 0;
    bool operator==(const SchedulingClass&) const = default;
};

bool callerClass(pid_t process, std::uint32_t thread, SchedulingClass* out) {
    const auto tid = static_cast<pid_t>(thread);
    if (tid <= 0 || syscall(SYS_tgkill, process, tid, 0) != 0) return false;
    const int policy = sched_getscheduler(tid);
    sched_param param{};
    if (policy < 0 || sched_getparam(tid, &param) != 0) return false;
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
        *out = {policy, std::min(param.sched_priority, kHighestCallerPriority)};
    } else {
        *out = {};
    }
    return true;
}

// Gives the calling thread (a connection thread) the class `wanted`; *current is what it has.
// Without the right to the real-time class the thread keeps what it has.
void adoptClass(const SchedulingClass& wanted, SchedulingClass* current) {
    if (wanted == *current) return;
    sched_param param{};
    param.sched_priority = wanted.priority;
    if (pthread_setschedparam(pthread_self(), wanted.policy, &param) == 0) *current = wanted;
}

uid_t peerUser(int socket) {
    ucred cred{};
    socklen_t length = sizeof cred;
    if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return static_cast<uid_t>(-1);
    return cred.uid;
}

bool readKey(wire::Reader& r, ProcessKey* key) {
    auto bytes = r.bytes(key->size());
    if (!r.ok()) return false;
    std::memcpy(key->data(), bytes.data(), key->size());
    return true;
}

}  // namespace

Server::Server(Machine::Impl& machine, int listenSocket)
    : machine_(machine),
      listen_(listenSocket),
      wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      maxConnectionsPerUser_(machine.options.maxConnectionsPerUser),
      maxConnections_(machine.options.maxConnections) {
    acceptor_ = std::thread([this] { acceptLoop(); });
}

Server::~Server() {
    stop();
}

void Server::stop() {
    {
        std::lock_guard lk(mu_);
        if (stopping_ && !acceptor_.joinable()) return;
        stopping_ = true;
        for (auto& c : connections_) shutdown(c->socket.get(), SHUT_RDWR);
    }
    std::uint64_t one = 1;
    ssize_t w = write(wake_.get(), &one, sizeof one);
    (void)w;
    if (acceptor_.joinable()) acceptor_.join();
    std::list<std::unique_ptr<Connection>> all;
    {
        std::lock_guard lk(mu_);
        all.swap(connections_);
    }
    for (auto& c : all) {
        if (c->thread.joinable()) c->thread.join();
    }
}

std::size_t Server::connections() const {
    std::lock_guard lk(mu_);
    std::size_t n = 0;
    for (auto& c : connections_) n += c->finished.load() ? 0 : 1;
    return n;
}

void Server::reapFinished() {
    std::list<std::unique_ptr<Connection>> done;
    {
        std::lock_guard lk(mu_);
        for (auto it = connections_.begin(); it != connections_.end();) {
            if ((*it)->finished.load()) {
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : done) {
        if (c->thread.joinable()) c->thread.join();
    }
}

std::string Server::refusalLocked(uid_t user, NTSTATUS* status) const {
    std::size_t all = 0, mine = 0;
    for (auto& c : connections_) {
        if (c->finished.load()) continue;
        ++all;
        if (c->user == user) ++mine;
    }
    if (mine >= maxConnectionsPerUser_) {
        *status = kStatusQuotaExceeded;
        return "the machine serves at most " + std::to_string(maxConnectionsPerUser_) +
               " connections of one user, and user " + std::to_string(user) +
               " has that many open: close handles or end programs first";
    }
    if (all >= maxConnections_) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return "the machine serves at most " + std::to_string(maxConnections_) +
               " connections at once, and that many are open";
    }
    return {};
}

void Server::acceptLoop() {
    int backoffMs = 0;
    for (;;) {
        pollfd p[2] = {{wake_.get(), POLLIN, 0}, {listen_.get(), POLLIN, 0}};
        // While backing off only a stop wakes the loop.
        int r = poll(p, backoffMs > 0 ? 1 : 2, backoffMs > 0 ? backoffMs : 1000);
        reapFinished();
        if (r < 0 && errno != EINTR) break;
        if (p[0].revents & POLLIN) break;
        if (backoffMs == 0 && (r <= 0 || !(p[1].revents & POLLIN))) continue;
        int s = accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                backoffMs = 0;  // nothing pending (any more)
            } else if (errno != EINTR && errno != ECONNABORTED) {
                backoffMs = std::min(backoffMs == 0 ? kFirstAcceptBackoffMs : backoffMs * 2,
                                     kLongestAcceptBackoffMs);
            }
            continue;
        }
        backoffMs = 0;
        auto c = std::make_unique<Connection>();
        c->socket.reset(s);
        c->user = peerUser(s);
        Connection* raw = c.get();
        NTSTATUS refusedWith = STATUS_SUCCESS;
        std::string refusal;
        {
            std::lock_guard lk(mu_);
            if (stopping_) break;  // the socket closes with `c`
            refusal = refusalLocked(c->user, &refusedWith);
            if (refusal.empty()) {
                try {
                    c->thread = std::thread([this, raw] { serve(raw); });
                    connections_.push_back(std::move(c));
                    continue;
                } catch (...) {
                    refusedWith = STATUS_INSUFFICIENT_RESOURCES;
                    refusal = "the machine has no thread to spare for another connection";
                }
            }
        }
        // Refused: the process hears why instead of any reply (a fresh socket takes the packet
        // without blocking), and the connection closes with `c`.
        wire::Writer w;
        w.i32(refusedWith).string(refusal);
        reply(s, protocol::kRefused, w);
        if (refusedWith == STATUS_INSUFFICIENT_RESOURCES)
            backoffMs = kFirstAcceptBackoffMs;  // no thread: give the machine a moment
    }
}

void Server::serve(Connection* connection) {
    const int socket = connection->socket.get();
    wire::Message first;
    const bool received =
        wire::receive(socket, &first, kFirstMessageTimeoutMs) == wire::Received::Message;
    // Every connection's process is checked: only the machine's owner (and its group, when one
    // was asked for) may use it.
    std::string why;
    if (received && !machine_.peerMayUse(socket, &why)) {
        refuse(socket, first.type, why);
    } else if (received) {
        switch (first.type) {
            case protocol::kOpenDevice:
            case protocol::kJoinDevice:
                serveDevice(socket, first);
                break;
            case protocol::kEnumerate:
                serveEnumerate(socket, first);
                break;
            case protocol::kSession:
                serveSession(socket, first);
                break;
            case protocol::kManage:
                serveManage(socket, first);
                break;
            default:
                break;
        }
    }
    shutdown(socket, SHUT_RDWR);
    connection->finished.store(true);
}

// ---------------------------------------------------------------------------------------------
bool Server::leaveFile(OpenFile& open, const ProcessKey& key, bool close) {
    std::lock_guard lk(filesMu_);
    auto it = open.holders.find(key);
    if (it != open.holders.end()) {
        if (it->second.connections > 0) --it->second.connections;
        // A process whose connections are all gone (it died) no longer holds its handle.
        if (close || it->second.connections == 0) it->second.closed = true;
        if (it->second.closed && it->second.connections == 0) open.holders.erase(it);
    }
    for (auto& [k, holder] : open.holders)
        if (!holder.closed) return false;
    if (open.cleanedUp) return false;
    open.cleanedUp = true;
    files_.erase(open.token);
    return true;
}

void Server::serveDevice(int socket, wire::Message& first) {
    const bool join = first.type == protocol::kJoinDevice;
    wire::Reader r(first.payload);
    ProcessKey key{};
    readKey(r, &key);
    std::uint32_t slot = r.u32();
    std::string path;
    FileToken token{};
    if (join) {
        auto bytes = r.bytes(token.size());
        if (r.ok()) std::memcpy(token.data(), bytes.data(), token.size());
    } else {
        path = r.string(protocol::kMaxPathBytes);
    }
    auto refuse = [socket](NTSTATUS status) {
        wire::Writer w;
        w.i32(status);
        reply(socket, protocol::kOpenReply, w);
    };
    if (!r.atEnd() || slot >= protocol::kThreadSlots || first.fds.size() != 1) {
        refuse(STATUS_INVALID_PARAMETER);
        return;
    }
    pid_t pid = peerProcess(socket);
    std::shared_ptr<ProcessRecord> process =
        pid > 0 ? processes_.attach(pid, key, std::move(first.fds[0])) : nullptr;
    if (!process) {
        refuse(STATUS_INVALID_PARAMETER);
        return;
    }
    RemoteCaller caller(socket, process);
    caller.setThreadSlot(slot);
    caller.setDeferredUnmaps(processes_.deferredUnmaps());
    std::shared_ptr<OpenFile> open;
    if (machine_.infoRecord != nullptr) {
        // Read while a request of this connection runs, when the device object is there.
        caller.setRecord([this, &open] {
            return open && open->device != nullptr ? machine_.infoRecord(open->device) : nullptr;
        });
    }
    kernel::FrameworkHarness& harness = *machine_.harness;

    NTSTATUS status = kStatusObjectNameNotFound;
    if (join) {
        // Only a process that holds the handle knows its token.
        std::lock_guard lk(filesMu_);
        auto it = files_.find(token);
        status = STATUS_INVALID_HANDLE;
        if (it != files_.end()) {
            auto& holder = it->second->holders[key];
            if (!holder.closed) {
                ++holder.connections;
                open = it->second;
                status = STATUS_SUCCESS;
            } else if (holder.connections == 0) {
                it->second->holders.erase(key);
            }
        }
    } else if (machine_.waitAwake()) {
        kernel::FileId file = 0;
        WDFDEVICE device = machine_.findDevice(path);
        if (device != nullptr) status = harness.openFile(device, caller, &file);
        // A device that left between the look-up and the open is not there either.
        if (status == STATUS_NO_SUCH_DEVICE || status == STATUS_DELETE_PENDING)
            status = kStatusObjectNameNotFound;
        if (NT_SUCCESS(status)) {
            open = std::make_shared<OpenFile>();
            open->file = file;
            open->device = device;
            open->holders[key].connections = 1;
            std::lock_guard lk(filesMu_);
            do {
                if (getrandom(open->token.data(), open->token.size(), 0) !=
                    static_cast<ssize_t>(open->token.size())) {
                    // No randomness to be had: a counter still names the file object alone.
                    const std::uint64_t n = nextSession_.fetch_add(1);
                    std::memcpy(open->token.data(), &n, sizeof n);
                }
            } while (files_.count(open->token) != 0);
            files_[open->token] = open;
        }
    }
    {
        wire::Writer w;
        w.i32(status);
        if (open) w.bytes(open->token);
        if (!reply(socket, protocol::kOpenReply, w)) caller.markDead();
    }
    if (!open) {
        processes_.detach(process);
        return;
    }

    bool closed = false;
    std::vector<std::uint8_t> output;
    SchedulingClass threadClass;  // connection threads start in the ordinary class
    while (!caller.dead()) {
        wire::Message m;
        if (wire::receive(socket, &m) != wire::Received::Message) break;
        wire::Reader q(m.payload);
        if (m.type == protocol::kIoControl && m.fds.empty()) {
            std::uint32_t code = q.u32();
            std::uint32_t outputLength = q.u32();
            std::uint32_t requestSlot = q.u32();
            std::uint32_t requestThread = q.u32();
            auto input = q.rest();
            if (!q.ok() || outputLength > wire::kMaxIoBuffer || input.size() > wire::kMaxIoBuffer ||
                requestSlot >= protocol::kThreadSlots)
                break;
            kernel::IoResult result{STATUS_DEVICE_REMOVED, 0};
            caller.runDeferredUnmaps();
            if (SchedulingClass wanted; callerClass(pid, requestThread, &wanted))
                adoptClass(wanted, &threadClass);
            if (machine_.waitAwake()) {
                caller.setThreadSlot(requestSlot);
                output.assign(outputLength, 0);
                result = harness.deviceIoControl(
                    open->file, caller, code, input.empty() ? nullptr : input.data(),
                    static_cast<ULONG>(input.size()), output.empty() ? nullptr : output.data(),
                    outputLength);
            }
            wire::Writer w;
            w.i32(result.status).u64(result.information);
            if (!isErrorStatus(result.status) && result.information <= outputLength)
                w.bytes(std::span<const std::uint8_t>(output.data(), result.information));
            if (!reply(socket, protocol::kIoReply, w)) break;
        } else if (m.type == protocol::kClose && m.fds.empty()) {
            std::uint32_t closeSlot = q.u32();
            if (!q.atEnd() || closeSlot >= protocol::kThreadSlots) break;
            caller.setThreadSlot(closeSlot);
            caller.runDeferredUnmaps();
            // The cleanup runs in the process that closes the last handle.
            if (leaveFile(*open, key, true)) harness.closeFile(open->file, caller);
            closed = true;
            reply(socket, protocol::kClosed, wire::Writer());
            break;
        } else {
            break;  // not a request of a device connection
        }
    }
    if (!closed) {
        // The process died (or broke the protocol): once no process holds the handle, it is
        // cleaned up without this one.
        caller.markDead();
        if (leaveFile(*open, key, false)) harness.closeFile(open->file, caller);
    }
    processes_.detach(process);
    machine_.pruneDeviceObjects();
}

void Server::serveEnumerate(int socket, wire::Message& first) {
    wire::Reader r(first.payload);
    auto bytes = r.bytes(sizeof(GUID));
    if (!r.atEnd() || !first.fds.empty()) return;
    GUID guid;
    std::memcpy(&guid, bytes.data(), sizeof guid);
    std::vector<std::string> paths = machine_.interfacePaths(guid);
    wire::Writer w;
    w.u32(static_cast<std::uint32_t>(paths.size()));
    for (const auto& p : paths) w.string(p);
    reply(socket, protocol::kEnumerateReply, w);
}

void Server::serveSession(int socket, wire::Message& first) {
    if (!first.payload.empty() || !first.fds.empty()) return;
    const std::uint64_t session = nextSession_.fetch_add(1);
    if (!reply(socket, protocol::kSessionReply, wire::Writer())) return;
    for (;;) {
        wire::Message m;
        if (wire::receive(socket, &m) != wire::Received::Message || !m.fds.empty()) break;
        wire::Reader q(m.payload);
        if (m.type == protocol::kNamedEvent) {
            std::uint32_t flags = q.u32();
            std::string name = q.string(protocol::kMaxEventNameBytes);
            if (!q.atEnd()) break;
            wire::Fd fd;
            bool manual = true;
            std::uint32_t error = named_.acquire(session, name, flags, &fd, &manual);
            wire::Writer w;
            w.u32(error).u32(manual ? 1 : 0);
            int fds[] = {fd.get()};
            bool sent = fd.valid() ? reply(socket, protocol::kNamedEventReply, w, fds)
                                   : reply(socket, protocol::kNamedEventReply, w);
            if (!sent) break;
        } else if (m.type == protocol::kReleaseNamed) {
            std::string name = q.string(protocol::kMaxEventNameBytes);
            if (!q.atEnd()) break;
            named_.release(session, name);
            if (!reply(socket, protocol::kReleaseReply, wire::Writer())) break;
        } else {
            break;
        }
    }
    named_.releaseAll(session);
}

void Server::serveManage(int socket, wire::Message& first) {
    wire::Reader r(first.payload);
    std::uint32_t n = r.u32();
    if (!r.ok() || n > protocol::kMaxManageArgs || !first.fds.empty()) return;
    std::vector<std::string> args;
    for (std::uint32_t i = 0; i < n; ++i) args.push_back(r.string());
    if (!r.atEnd()) return;
    std::string text;
    int code = machine_.manage(args, &text);
    if (text.size() > wire::kMaxIoBuffer) text.resize(wire::kMaxIoBuffer);
    wire::Writer w;
    w.i32(code).string(text);
    reply(socket, protocol::kManageReply, w);
}

}  // namespace standin::host::detail
