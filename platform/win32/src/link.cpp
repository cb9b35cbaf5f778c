// The process's link to its machine (see link.h).

#include "link.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

#include "standin/host/protocol.h"
#include "standin/win32/machine.h"
#include "standin/win32/testing.h"

namespace standin::win32::detail {
namespace {

namespace protocol = host::protocol;
namespace wire = host::wire;

constexpr int kReplyTimeoutMs = 30000;
constexpr std::size_t kMaxViewBytes = std::size_t{1} << 30;

// Link state of the process, remade in a child after fork.
struct Link {
    pid_t pid = 0;
    ProcessKey key{};
    std::uint8_t* block = nullptr;
    int blockFd = -1;
    std::uint64_t blockGeneration = 0;
};

std::mutex gLinkMu;
Link gLink;
std::uint64_t gGenerations = 0;

std::mutex gSessionMu;
int gSession = -1;
pid_t gSessionPid = 0;
std::uint64_t gSessionId = 0;  // this process's sessions, counted from 1

std::mutex gViewsMu;
unsigned gFailMappings = 0;  // under gViewsMu
unsigned gMappingsBeforeFailing = 0;
std::map<std::uintptr_t, std::size_t>& views() {
    static auto* v = new std::map<std::uintptr_t, std::size_t>();  // lives with the process
    return *v;
}

// A view that holds a loss mark (kMapView): the connection that made it, the mark's offset,
// and a descriptor of the region to give the view a copy of its own when the connection ends.
struct LossMark {
    int socket = -1;
    std::size_t size = 0;
    std::uint64_t offset = 0;
    int fd = -1;
};
std::map<std::uintptr_t, LossMark>& lossMarks() {  // by view address, under gViewsMu
    static auto* m = new std::map<std::uintptr_t, LossMark>();  // lives with the process
    return *m;
}
void forgetLossMark(std::map<std::uintptr_t, LossMark>::iterator it) {  // gViewsMu held
    close(it->second.fd);
    lossMarks().erase(it);
}

// The mutexes are held across fork, so that a child never inherits one held by a thread that
// does not exist in it.
struct ForkGuard {
    ForkGuard() {
        pthread_atfork(
            [] {
                // The order the link takes them in.
                gSessionMu.lock();
                gLinkMu.lock();
                gViewsMu.lock();
            },
            [] {
                gViewsMu.unlock();
                gLinkMu.unlock();
                gSessionMu.unlock();
            },
            [] {
                gViewsMu.unlock();
                gLinkMu.unlock();
                gSessionMu.unlock();
            });
    }
};
ForkGuard gForkGuard;

// gLinkMu held. Makes the link this process's own.
void ensureOwnLink() {
    if (gLink.pid == getpid()) return;
    // After fork the parent's block stays the parent's: this process only lets go of its copy.
    if (gLink.block != nullptr) munmap(gLink.block, protocol::kThreadBlockBytes);
    if (gLink.blockFd >= 0) close(gLink.blockFd);
    gLink = Link{};
    gLink.pid = getpid();
    std::size_t filled = 0;
    while (filled < gLink.key.size()) {
        ssize_t n = getrandom(gLink.key.data() + filled, gLink.key.size() - filled, 0);
        if (n <= 0) break;
        filled += static_cast<std::size_t>(n);
    }
    if (filled < gLink.key.size()) {
        // No randomness to be had: the pid and the time tell processes apart well enough.
        std::uint64_t mix = static_cast<std::uint64_t>(gLink.pid) ^
                            static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&filled));
        std::memcpy(gLink.key.data(), &mix, sizeof mix);
    }
}

bool makeBlock() {
    int fd = memfd_create("vq36-thread-objects", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return false;
    if (ftruncate(fd, static_cast<off_t>(protocol::kThreadBlockBytes)) != 0 ||
        fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0) {
        close(fd);
        return false;
    }
    void* p = mmap(nullptr, protocol::kThreadBlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
        close(fd);
        return false;
    }
    gLink.block = static_cast<std::uint8_t*>(p);
    gLink.blockFd = fd;
    gLink.blockGeneration = ++gGenerations;
    return true;
}

// gSessionMu held. A session of this process with the machine, or -1.
int sessionSocket() {
    if (gSession >= 0 && gSessionPid == getpid()) return gSession;
    if (gSession >= 0) {
        close(gSession);  // a parent's session: this process closes its copy only
        gSession = -1;
    }
    int s = wire::connectTo(machineRoot());
    if (s < 0) return -1;
    wire::Message reply;
    if (!wire::send(s, protocol::kSession, {}) ||
        wire::receive(s, &reply, kReplyTimeoutMs) != wire::Received::Message ||
        reply.type != protocol::kSessionReply) {
        close(s);
        return -1;
    }
    gSession = s;
    gSessionPid = getpid();
    ++gSessionId;
    return s;
}

void dropSession() {
    if (gSession >= 0) close(gSession);
    gSession = -1;
}

// Asks on the session; one retry on a new session when the old one has gone (the machine was
// restarted).
bool sessionRequest(std::uint32_t type, const wire::Writer& w, std::uint32_t replyType,
                    wire::Message* reply, std::uint64_t* session) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int s = sessionSocket();
        if (s < 0) return false;
        if (wire::send(s, type, w.data()) &&
            wire::receive(s, reply, kReplyTimeoutMs) == wire::Received::Message &&
            reply->type == replyType) {
            *session = gSessionId;
            return true;
        }
        dropSession();
    }
    return false;
}

}  // namespace

ProcessKey processKey() {
    std::lock_guard lk(gLinkMu);
    ensureOwnLink();
    return gLink.key;
}

ThreadBlock threadBlock(bool create) {
    std::lock_guard lk(gLinkMu);
    ensureOwnLink();
    if (gLink.block == nullptr && (!create || !makeBlock())) return {};
    return {gLink.block, gLink.blockFd, gLink.blockGeneration};
}

std::uint32_t acquireNamedEvent(const std::string& name, std::uint32_t flags, int* fd, bool* manual,
                                std::uint64_t* session) {
    std::lock_guard lk(gSessionMu);
    wire::Writer w;
    w.u32(flags).string(name);
    wire::Message reply;
    if (!sessionRequest(protocol::kNamedEvent, w, protocol::kNamedEventReply, &reply, session))
        return kNoMachine;
    wire::Reader r(reply.payload);
    std::uint32_t error = r.u32();
    bool isManual = r.u32() != 0;
    if (!r.atEnd()) {
        dropSession();
        return kNoMachine;
    }
    if (error == 0 || error == 183) {  // made, or ERROR_ALREADY_EXISTS
        if (reply.fds.size() != 1) {
            dropSession();
            return kNoMachine;
        }
        *fd = reply.fds[0].release();
        *manual = isManual;
    }
    return error;
}

void releaseNamedEvent(const std::string& name, std::uint64_t session) {
    std::lock_guard lk(gSessionMu);
    if (gSession < 0 || gSessionPid != getpid() || session != gSessionId) return;
    wire::Writer w;
    w.string(name);
    wire::Message reply;
    if (!wire::send(gSession, protocol::kReleaseNamed, w.data()) ||
        wire::receive(gSession, &reply, kReplyTimeoutMs) != wire::Received::Message ||
        reply.type != protocol::kReleaseReply)
        dropSession();
}

bool enumerateInterfaces(const GUID& interfaceClass, std::vector<std::string>* paths) {
    paths->clear();
    wire::Fd s(wire::connectTo(machineRoot()));
    if (!s.valid()) return false;
    wire::Writer w;
    w.bytes(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&interfaceClass),
                                          sizeof interfaceClass));
    wire::Message reply;
    if (!wire::send(s.get(), protocol::kEnumerate, w.data()) ||
        wire::receive(s.get(), &reply, kReplyTimeoutMs) != wire::Received::Message ||
        reply.type != protocol::kEnumerateReply)
        return false;
    wire::Reader r(reply.payload);
    std::uint32_t n = r.u32();
    for (std::uint32_t i = 0; i < n && r.ok(); ++i)
        paths->push_back(r.string(protocol::kMaxPathBytes));
    if (!r.atEnd()) {
        paths->clear();
        return false;
    }
    return true;
}

bool serveCallback(int socket, wire::Message& message) {
    wire::Reader r(message.payload);
    wire::Writer w;
    switch (message.type) {
        case protocol::kMapView: {
            std::uint64_t size = r.u64();
            std::uint64_t lossMark = r.u64();
            if (!r.atEnd() || message.fds.size() != 1) return false;
            void* p = MAP_FAILED;
            bool refuse = false;
            {
                std::lock_guard lk(gViewsMu);
                if (gMappingsBeforeFailing > 0) {
                    --gMappingsBeforeFailing;
                } else if (gFailMappings > 0) {
                    --gFailMappings;
                    refuse = true;
                }
            }
            if (!refuse && size > 0 && size <= kMaxViewBytes)
                p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, message.fds[0].get(),
                         0);
            std::uint64_t address = 0;
            if (p != MAP_FAILED) {
                address = reinterpret_cast<std::uintptr_t>(p);
                std::lock_guard lk(gViewsMu);
                views()[address] = size;
                if (lossMark < size) {
                    int fd = fcntl(message.fds[0].get(), F_DUPFD_CLOEXEC, 0);
                    if (fd >= 0) lossMarks()[address] = LossMark{socket, size, lossMark, fd};
                }
            }
            w.u64(address);
            if (wire::send(socket, protocol::kMapReply, w.data())) return true;
            if (p != MAP_FAILED) {
                // The machine will never know of this view.
                std::lock_guard lk(gViewsMu);
                views().erase(address);
                if (auto mark = lossMarks().find(address); mark != lossMarks().end())
                    forgetLossMark(mark);
                munmap(p, size);
            }
            return false;
        }
        case protocol::kUnmapView: {
            std::uint64_t address = r.u64();
            std::uint64_t size = r.u64();
            if (!r.atEnd() || !message.fds.empty()) return false;
            std::uint32_t done = 0;
            {
                std::lock_guard lk(gViewsMu);
                auto it = views().find(address);
                if (it != views().end() && it->second == size) {
                    munmap(reinterpret_cast<void*>(static_cast<std::uintptr_t>(address)), size);
                    views().erase(it);
                    if (auto mark = lossMarks().find(address); mark != lossMarks().end())
                        forgetLossMark(mark);
                    done = 1;
                }
            }
            w.u32(done);
            return wire::send(socket, protocol::kUnmapReply, w.data());
        }
        case protocol::kLookupEvent: {
            std::uint32_t handle = r.u32();
            if (!r.atEnd() || !message.fds.empty()) return false;
            int fd = -1;
            std::int32_t status = eventDescriptor(handle, &fd);
            wire::Fd owned(fd);
            w.i32(status);
            if (owned.valid()) {
                int fds[] = {owned.get()};
                return wire::send(socket, protocol::kLookupReply, w.data(), fds);
            }
            return wire::send(socket, protocol::kLookupReply, w.data());
        }
        default:
            return false;
    }
}

void connectionEnded(int socket, bool lost) {
    std::lock_guard lk(gViewsMu);
    auto& marks = lossMarks();
    for (auto it = marks.begin(); it != marks.end();) {
        auto next = std::next(it);
        if (it->second.socket == socket) {
            auto view = views().find(it->first);
            if (lost && view != views().end() && view->second == it->second.size) {
                // The view becomes this process's own copy, taken in one step: other processes
                // of a machine that still runs keep the live record. Then the mark is set.
                void* at = reinterpret_cast<void*>(it->first);
                if (mmap(at, it->second.size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED,
                         it->second.fd, 0) != MAP_FAILED) {
                    __atomic_store_n(static_cast<std::uint8_t*>(at) + it->second.offset,
                                     std::uint8_t{1}, __ATOMIC_RELAXED);
                }
            }
            forgetLossMark(it);
        }
        it = next;
    }
}

std::size_t kernelViews() {
    std::lock_guard lk(gViewsMu);
    return views().size();
}

}  // namespace standin::win32::detail

namespace standin::win32 {

void failNextKernelMappings(unsigned count, unsigned after) {
    std::lock_guard lk(detail::gViewsMu);
    detail::gFailMappings = count;
    detail::gMappingsBeforeFailing = after;
}

}  // namespace standin::win32
