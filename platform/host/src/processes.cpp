// The processes the machine serves: their thread-object blocks, the calling process as the
// kernel sees it during a request, and named events.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "standin/sync.h"
#include "internal.h"
#include "public/vq36_shared.h"
#include "standin/kernel/memory.h"

namespace standin::host::detail {
namespace {

int openPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    long fd = syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
        return static_cast<int>(fd);
    }
#endif
    (void)pid;
    return -1;
}

bool processEnded(pid_t pid, int pidFd) {
    if (pidFd >= 0) {
        pollfd p{pidFd, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }
    return kill(pid, 0) != 0 && errno == ESRCH;
}

// A thread-object block as the process must share it: a file of exactly the block's size that
// can neither shrink nor grow (so that no access here can fault).
bool isThreadBlock(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) != protocol::kThreadBlockBytes)
        return false;
    int seals = fcntl(fd, F_GET_SEALS);
    return seals >= 0 && (seals & F_SEAL_SHRINK) && (seals & F_SEAL_GROW);
}

bool isEventFd(int fd) {
    char link[64];
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
    if (n <= 0) return false;
    link[n] = '\0';
    return std::strcmp(link, "anon_inode:[eventfd]") == 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
ProcessRecord::ProcessRecord(pid_t pid, ProcessKey key, void* block, int pidFd)
    : pid_(pid), key_(key), pidFd_(pidFd), block_(static_cast<std::uint8_t*>(block)) {}

ProcessRecord::~ProcessRecord() {
    if (block_ != nullptr) munmap(block_, protocol::kThreadBlockBytes);
    if (pidFd_ >= 0) close(pidFd_);
}

std::atomic_ref<std::uint32_t> ProcessRecord::word(std::size_t offset) const {
    return std::atomic_ref<std::uint32_t>(*reinterpret_cast<std::uint32_t*>(block_ + offset));
}

void* ProcessRecord::threadObject(std::uint32_t slot) {
    if (slot >= protocol::kThreadSlots) return nullptr;
    std::vector<std::uint32_t> drop;
    void* object;
    {
        std::lock_guard lk(mu_);
        if (block_ == nullptr) return nullptr;
        object = block_ + protocol::threadObjectOffset(slot);
        if (registered_.find(slot) == registered_.end()) {
            std::shared_ptr<ProcessRecord> self = shared_from_this();
            kernel::registerKernelObject(object, [self, slot] { self->objectGone(slot); });
            registered_[slot] = true;
            ++objects_;
            word(protocol::kernelRefWordOffset(slot)).fetch_add(1);
        }
        // Threads that have ended: the machine lets go of their thread objects.
        for (auto& [s, held] : registered_) {
            if (held && s != slot && word(protocol::aliveWordOffset(s)).load() == 0) {
                held = false;
                drop.push_back(s);
            }
        }
    }
    dropReferences(drop);
    return object;
}

void ProcessRecord::dropReferences(const std::vector<std::uint32_t>& slots) {
    // Still registered, so the block is still mapped: each of these holds a reference.
    for (std::uint32_t s : slots) ObDereferenceObject(block_ + protocol::threadObjectOffset(s));
}

void ProcessRecord::objectGone(std::uint32_t slot) {
    std::unique_lock lk(mu_);
    if (registered_.erase(slot) == 0 || block_ == nullptr) return;
    word(protocol::kernelRefWordOffset(slot)).fetch_sub(1);
    --objects_;
    unmapIfDone(lk);
}

void ProcessRecord::unmapIfDone(std::unique_lock<standin::Mutex>& lk) {
    if (!ended_ || objects_ != 0 || block_ == nullptr) return;
    std::uint8_t* block = block_;
    block_ = nullptr;
    lk.unlock();
    munmap(block, protocol::kThreadBlockBytes);
}

bool ProcessRecord::end() {
    std::vector<std::uint32_t> drop;
    {
        std::lock_guard lk(mu_);
        if (ended_) return false;
        ended_ = true;
        for (auto& [s, held] : registered_) {
            if (held) {
                held = false;
                drop.push_back(s);
            }
        }
    }
    dropReferences(drop);
    {
        std::unique_lock lk(mu_);
        unmapIfDone(lk);
    }
    // A process that died leaves no views behind.
    if (pid_ == getpid() || !processEnded(pid_, pidFd_)) return false;
    kernel::processEnded(static_cast<std::uint32_t>(pid_));
    return true;
}

// ---------------------------------------------------------------------------------------------
std::shared_ptr<ProcessRecord> ProcessTable::attach(pid_t pid, const ProcessKey& key,
                                                    wire::Fd block) {
    std::lock_guard lk(mu_);
    auto it = entries_.find({pid, key});
    if (it != entries_.end()) {
        ++it->second.connections;
        return it->second.process;
    }
    if (!block.valid() || !isThreadBlock(block.get())) return nullptr;
    void* mapped = mmap(nullptr, protocol::kThreadBlockBytes, PROT_READ | PROT_WRITE, MAP_SHARED,
                        block.get(), 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto process = std::make_shared<ProcessRecord>(pid, key, mapped, openPidFd(pid));
    entries_[{pid, key}] = Entry{process, 1};
    return process;
}

void ProcessTable::detach(const std::shared_ptr<ProcessRecord>& process) {
    if (!process) return;
    {
        std::lock_guard lk(mu_);
        auto it = entries_.find({process->pid(), process->key()});
        if (it == entries_.end() || it->second.process != process) return;
        if (--it->second.connections > 0) return;
        entries_.erase(it);
    }
    if (process->end()) deferred_->forget(process->key());
}

std::size_t ProcessTable::count() const {
    std::lock_guard lk(mu_);
    return entries_.size();
}

// ---------------------------------------------------------------------------------------------
void DeferredUnmaps::add(const ProcessKey& key, void* address, std::size_t size) {
    std::lock_guard lk(mu_);
    pending_[key].emplace_back(address, size);
}

std::vector<std::pair<void*, std::size_t>> DeferredUnmaps::take(const ProcessKey& key) {
    std::lock_guard lk(mu_);
    auto it = pending_.find(key);
    if (it == pending_.end()) return {};
    auto views = std::move(it->second);
    pending_.erase(it);
    return views;
}

void DeferredUnmaps::forget(const ProcessKey& key) {
    std::lock_guard lk(mu_);
    pending_.erase(key);
}

namespace {

// A process as a thread of another process reaches it while attached: the process is busy with
// requests of its own or none at all, so what the kernel unmaps there is left for it to do
// (the kernel's own account of the view ends at once).
class AttachedProcess final : public kernel::CallerContext {
  public:
    AttachedProcess(std::uint32_t processId, const ProcessKey& key,
                    std::shared_ptr<DeferredUnmaps> deferred)
        : processId_(processId), key_(key), deferred_(std::move(deferred)) {}

    std::uint32_t processId() const override { return processId_; }
    void* mapRegion(int, std::size_t) override { return nullptr; }
    bool unmapRegion(void* address, std::size_t size) override {
        deferred_->add(key_, address, size);
        return true;
    }
    kernel::EventLookup lookupEvent(HANDLE) override { return {}; }
    void* currentThreadObject() override { return nullptr; }

  private:
    const std::uint32_t processId_;
    const ProcessKey key_;
    std::shared_ptr<DeferredUnmaps> deferred_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
RemoteCaller::RemoteCaller(int socket, std::shared_ptr<ProcessRecord> process)
    : socket_(socket), process_(std::move(process)) {}

std::uint32_t RemoteCaller::processId() const {
    return static_cast<std::uint32_t>(process_->pid());
}

void RemoteCaller::markDead() {
    if (!dead_.exchange(true)) shutdown(socket_, SHUT_RDWR);
}

bool RemoteCaller::call(std::uint32_t type, const wire::Writer& payload, std::span<const int> fds,
                        std::uint32_t replyType, wire::Message* reply) {
    std::lock_guard lk(mu_);
    if (dead_.load()) return false;
    if (!wire::send(socket_, type, payload.data(), fds)) {
        markDead();
        return false;
    }
    if (wire::receive(socket_, reply, kCallbackTimeoutMs) != wire::Received::Message ||
        reply->type != replyType) {
        markDead();
        return false;
    }
    return true;
}

namespace {

// The file (device and inode) and the offset in it of the shared record at `record`, a
// system-space address of this process; false when no file mapping holds it.
bool locateRecord(const void* record, dev_t* device, ino_t* inode, std::uint64_t* offset) {
    const auto at = reinterpret_cast<std::uintptr_t>(record);
    std::FILE* maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) return false;
    bool found = false;
    char line[512];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        unsigned long start = 0, end = 0, fileOffset = 0, node = 0;
        unsigned major = 0, minor = 0;
        if (std::sscanf(line, "%lx-%lx %*s %lx %x:%x %lu", &start, &end, &fileOffset, &major,
                        &minor, &node) != 6 ||
            at < start || at >= end) {
            continue;
        }
        *device = makedev(major, minor);
        *inode = node;
        *offset = fileOffset + (at - start);
        found = node != 0;
        break;
    }
    std::fclose(maps);
    return found;
}

}  // namespace

// Where, in a view of the region behind `fd`, the device's record keeps its gone mark;
// kNoLossMark when the region does not hold the record. The record is found once per
// connection (it stays where it is for the device object's life).
std::uint64_t RemoteCaller::goneMarkIn(int fd) {
    if (!record_) return protocol::kNoLossMark;
    std::lock_guard lk(recordMu_);
    if (!recordLocated_) {
        const void* record = record_();
        if (record == nullptr ||
            !locateRecord(record, &recordDevice_, &recordInode_, &recordOffset_)) {
            return protocol::kNoLossMark;
        }
        recordLocated_ = true;
    }
    struct stat region {};
    if (fstat(fd, &region) != 0 || region.st_ino != recordInode_ ||
        region.st_dev != recordDevice_) {
        return protocol::kNoLossMark;
    }
    return recordOffset_ + offsetof(::vq36::AsioInfo, deviceGone);
}

void* RemoteCaller::mapRegion(int fd, std::size_t size) {
    wire::Writer w;
    w.u64(size).u64(goneMarkIn(fd));
    int fds[] = {fd};
    wire::Message reply;
    if (!call(protocol::kMapView, w, fds, protocol::kMapReply, &reply)) return nullptr;
    wire::Reader r(reply.payload);
    std::uint64_t address = r.u64();
    if (!r.atEnd()) {
        markDead();
        return nullptr;
    }
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
}

bool RemoteCaller::unmapRegion(void* address, std::size_t size) {
    wire::Writer w;
    w.u64(reinterpret_cast<std::uintptr_t>(address)).u64(size);
    wire::Message reply;
    if (!call(protocol::kUnmapView, w, {}, protocol::kUnmapReply, &reply)) {
        // The connection is gone. A process that lives on undoes the view at its next request;
        // one that has ended has no views left.
        if (deferred_) deferred_->add(process_->key(), address, size);
        return true;
    }
    wire::Reader r(reply.payload);
    std::uint32_t done = r.u32();
    if (!r.atEnd()) {
        markDead();
        return true;
    }
    return done != 0;
}

kernel::EventLookup RemoteCaller::lookupEvent(HANDLE handle) {
    wire::Writer w;
    w.u32(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(handle)));
    wire::Message reply;
    if (!call(protocol::kLookupEvent, w, {}, protocol::kLookupReply, &reply))
        return {STATUS_INVALID_HANDLE, -1};
    wire::Reader r(reply.payload);
    NTSTATUS status = r.i32();
    if (!r.atEnd()) {
        markDead();
        return {STATUS_INVALID_HANDLE, -1};
    }
    if (!NT_SUCCESS(status)) {
        if (status != STATUS_OBJECT_TYPE_MISMATCH) status = STATUS_INVALID_HANDLE;
        return {status, -1};
    }
    if (reply.fds.size() != 1 || !isEventFd(reply.fds[0].get())) return {STATUS_INVALID_HANDLE, -1};
    return {STATUS_SUCCESS, reply.fds[0].release()};
}

std::shared_ptr<kernel::CallerContext> RemoteCaller::attachedContext() {
    if (!deferred_) return nullptr;
    return std::make_shared<AttachedProcess>(processId(), process_->key(), deferred_);
}

void RemoteCaller::runDeferredUnmaps() {
    if (!deferred_) return;
    for (auto& [address, size] : deferred_->take(process_->key())) unmapRegion(address, size);
}

void* RemoteCaller::currentThreadObject() {
    void* object = process_->threadObject(slot_);
    // Slots are checked when a request arrives; slot 0 stands in should one not be.
    return object != nullptr ? object : process_->threadObject(0);
}

// ---------------------------------------------------------------------------------------------
std::uint32_t NamedEvents::acquire(std::uint64_t session, const std::string& name,
                                   std::uint32_t flags, wire::Fd* fd, bool* manual) {
    constexpr std::uint32_t kAlreadyExists = 183, kFileNotFound = 2, kNoMemory = 8;
    std::lock_guard lk(mu_);
    auto it = events_.find(name);
    std::uint32_t result = kAlreadyExists;
    if (it == events_.end()) {
        if ((flags & protocol::kNamedCreate) == 0) return kFileNotFound;
        int e = eventfd((flags & protocol::kNamedInitial) ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (e < 0) return kNoMemory;
        Event event;
        event.fd.reset(e);
        event.manual = (flags & protocol::kNamedManual) != 0;
        it = events_.emplace(name, std::move(event)).first;
        result = 0;
    }
    int copy = fcntl(it->second.fd.get(), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        if (it->second.holds.empty()) events_.erase(it);
        return kNoMemory;
    }
    fd->reset(copy);
    *manual = it->second.manual;
    ++it->second.holds[session];
    return result;
}

void NamedEvents::release(std::uint64_t session, const std::string& name) {
    std::lock_guard lk(mu_);
    auto it = events_.find(name);
    if (it == events_.end()) return;
    auto h = it->second.holds.find(session);
    if (h == it->second.holds.end()) return;
    if (--h->second == 0) it->second.holds.erase(h);
    if (it->second.holds.empty()) events_.erase(it);
}

void NamedEvents::releaseAll(std::uint64_t session) {
    std::lock_guard lk(mu_);
    for (auto it = events_.begin(); it != events_.end();) {
        it->second.holds.erase(session);
        if (it->second.holds.empty())
            it = events_.erase(it);
        else
            ++it;
    }
}

std::size_t NamedEvents::count() const {
    std::lock_guard lk(mu_);
    return events_.size();
}

}  // namespace standin::host::detail
