// Packets on the machine socket: framing, descriptor passing, payload encoding, and the
// socket's address below a root folder.

#include "standin/host/wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace standin::host::wire {
namespace {

constexpr const char* kSocketName = "machine.sock";

std::int64_t monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Runs `fn` with the socket's address. A path too long for an address is reached through the
// root folder's descriptor (/proc/self/fd/N/machine.sock), which is short.
bool withAddress(const std::string& root, const std::function<bool(const sockaddr_un&)>& fn) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = socketPath(root);
    if (path.size() < sizeof(address.sun_path)) {
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        return fn(address);
    }
    Fd dir(open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return false;
    std::string viaFd = "/proc/self/fd/" + std::to_string(dir.get()) + "/" + kSocketName;
    if (viaFd.size() >= sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path, viaFd.c_str(), viaFd.size() + 1);
    return fn(address);
}

}  // namespace

void Fd::reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
}

bool send(int socket, std::uint32_t type, std::span<const std::uint8_t> payload,
          std::span<const int> fds) {
    if (socket < 0 || fds.size() > kMaxFds || payload.size() + kHeaderBytes > kMaxPacket)
        return false;
    std::uint8_t header[kHeaderBytes];
    const std::uint32_t magic = kMagic;
    std::memcpy(header, &magic, 4);
    std::memcpy(header + 4, &type, 4);
    iovec iov[2];
    iov[0].iov_base = header;
    iov[0].iov_len = kHeaderBytes;
    iov[1].iov_base = const_cast<std::uint8_t*>(payload.data());
    iov[1].iov_len = payload.size();
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = payload.empty() ? 1 : 2;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds)];
    if (!fds.empty()) {
        std::memset(control, 0, sizeof control);
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    for (;;) {
        ssize_t n = sendmsg(socket, &msg, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<std::size_t>(n) == kHeaderBytes + payload.size();
        if (errno != EINTR) return false;
    }
}

Received receive(int socket, Message* out, int timeoutMs) {
    out->type = 0;
    out->payload.clear();
    out->fds.clear();
    if (socket < 0) return Received::Failed;
    const std::int64_t deadline = timeoutMs < 0 ? 0 : monotonicMs() + timeoutMs;
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            std::int64_t left = deadline - monotonicMs();
            if (left < 0) left = 0;
            wait = static_cast<int>(left);
        }
        pollfd p{socket, POLLIN, 0};
        int r = poll(&p, 1, wait);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Received::Failed;
        }
        if (r == 0) return Received::TimedOut;
        break;
    }
    thread_local std::vector<std::uint8_t> buffer(kMaxPacket);
    iovec iov{buffer.data(), buffer.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxFds) + 64];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    // A peer that closed with our packet unread is reported as a reset once, ahead of what it
    // sent before (a refusal, say): that is read all the same.
    bool reset = false;
    do {
        n = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == ECONNRESET && !reset) {
            reset = true;
            errno = EINTR;
        }
    } while (n < 0 && errno == EINTR);
    // Descriptors first, so that they are closed whatever the packet holds.
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
        std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
            out->fds.emplace_back(fd);
        }
    }
    if (n < 0) return errno == ECONNRESET ? Received::Closed : Received::Failed;
    if (n == 0) return Received::Closed;
    if ((msg.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0 || out->fds.size() > kMaxFds ||
        static_cast<std::size_t>(n) < kHeaderBytes) {
        out->fds.clear();
        return Received::Malformed;
    }
    std::uint32_t magic;
    std::memcpy(&magic, buffer.data(), 4);
    if (magic != kMagic) {
        out->fds.clear();
        return Received::Malformed;
    }
    std::memcpy(&out->type, buffer.data() + 4, 4);
    out->payload.assign(buffer.begin() + kHeaderBytes, buffer.begin() + n);
    return Received::Message;
}

// ---------------------------------------------------------------------------------------------
Writer& Writer::u8(std::uint8_t v) {
    data_.push_back(v);
    return *this;
}

Writer& Writer::u32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) data_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
}

Writer& Writer::u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) data_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return *this;
}

Writer& Writer::bytes(std::span<const std::uint8_t> b) {
    data_.insert(data_.end(), b.begin(), b.end());
    return *this;
}

Writer& Writer::string(std::string_view s) {
    u32(static_cast<std::uint32_t>(s.size()));
    data_.insert(data_.end(), s.begin(), s.end());
    return *this;
}

std::uint8_t Reader::u8() {
    auto b = bytes(1);
    return b.empty() ? 0 : b[0];
}

std::uint32_t Reader::u32() {
    auto b = bytes(4);
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < b.size(); ++i) v |= static_cast<std::uint32_t>(b[i]) << (8 * i);
    return v;
}

std::uint64_t Reader::u64() {
    auto b = bytes(8);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < b.size(); ++i) v |= static_cast<std::uint64_t>(b[i]) << (8 * i);
    return v;
}

std::span<const std::uint8_t> Reader::bytes(std::size_t count) {
    if (!ok_ || data_.size() - pos_ < count) {
        ok_ = false;
        return {};
    }
    auto b = data_.subspan(pos_, count);
    pos_ += count;
    return b;
}

std::string Reader::string(std::size_t maxLength) {
    std::uint32_t n = u32();
    if (!ok_ || n > maxLength) {
        ok_ = false;
        return {};
    }
    auto b = bytes(n);
    return std::string(b.begin(), b.end());
}

std::span<const std::uint8_t> Reader::rest() {
    if (!ok_) return {};
    auto b = data_.subspan(pos_);
    pos_ = data_.size();
    return b;
}

// ---------------------------------------------------------------------------------------------
std::string socketPath(const std::string& root) {
    return root + "/" + kSocketName;
}

int connectTo(const std::string& root) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    bool connected = withAddress(root, [fd](const sockaddr_un& address) {
        int r;
        do {
            r = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        } while (r != 0 && errno == EINTR);
        return r == 0;
    });
    if (!connected) {
        const int why = errno;  // for the caller: no machine, or no permission to reach it
        close(fd);
        errno = why;
        return -1;
    }
    return fd;
}

int listenAt(const std::string& root, std::string* error) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot make a socket: ") + std::strerror(errno);
        return -1;
    }
    unlink(socketPath(root).c_str());  // a socket left by a machine that died
    bool bound = withAddress(root, [fd](const sockaddr_un& address) {
        return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
               listen(fd, 128) == 0;
    });
    if (!bound) {
        *error = "cannot listen at " + socketPath(root) + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace standin::host::wire
