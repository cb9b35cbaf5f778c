#pragma once
// Messages between user processes and the machine: one message per SOCK_SEQPACKET packet on a
// local socket below the machine's root folder, with file descriptors (memfd regions, eventfd
// events) passed alongside as SCM_RIGHTS.
//
// A packet is a 4-byte magic, a 4-byte message type and the payload. Payload fields are
// little-endian and written with Writer, read with Reader; a Reader that runs past the end
// fails (and keeps failing), so a malformed payload is detected with one check at the end.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace standin::host::wire {

inline constexpr std::uint32_t kMagic = 0x36335156;  // "VQ36" in memory
inline constexpr std::size_t kHeaderBytes = 8;
// The largest buffer an I/O control carries in either direction, and the largest packet.
inline constexpr std::size_t kMaxIoBuffer = 64 * 1024;
inline constexpr std::size_t kMaxPacket = kMaxIoBuffer + 256;
inline constexpr std::size_t kMaxFds = 4;

// An owned file descriptor.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1);

  private:
    int fd_ = -1;
};

struct Message {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> payload;
    std::vector<Fd> fds;
};

// Sends one message; false when the peer is gone or the message is too large. Never raises
// SIGPIPE. At most kMaxFds descriptors.
bool send(int socket, std::uint32_t type, std::span<const std::uint8_t> payload,
          std::span<const int> fds = {});

enum class Received {
    Message,    // *out holds a well-formed packet (its payload is still to be parsed)
    Closed,     // the peer closed its end (or the socket was shut down)
    Malformed,  // a packet that is not one of ours (too short, bad magic, truncated)
    TimedOut,
    Failed,
};

// Receives one message. timeoutMs < 0 waits for ever. Descriptors that arrive with a packet
// are owned by the message (closed with it), also for a malformed packet.
Received receive(int socket, Message* out, int timeoutMs = -1);

// ---------------------------------------------------------------------------------------------
class Writer {
  public:
    Writer& u8(std::uint8_t v);
    Writer& u32(std::uint32_t v);
    Writer& u64(std::uint64_t v);
    Writer& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
    Writer& bytes(std::span<const std::uint8_t> b);  // raw, no length
    Writer& string(std::string_view s);              // u32 length, then the bytes
    const std::vector<std::uint8_t>& data() const { return data_; }

  private:
    std::vector<std::uint8_t> data_;
};

class Reader {
  public:
    explicit Reader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint8_t u8();
    std::uint32_t u32();
    std::uint64_t u64();
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    // `count` raw bytes (empty and failed when fewer are left).
    std::span<const std::uint8_t> bytes(std::size_t count);
    // A string of at most `maxLength` bytes.
    std::string string(std::size_t maxLength = 4096);
    std::span<const std::uint8_t> rest();
    bool ok() const { return ok_; }
    bool atEnd() const { return ok_ && pos_ == data_.size(); }

  private:
    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

// ---------------------------------------------------------------------------------------------
// The machine's socket below a root folder.
std::string socketPath(const std::string& root);
// Connects to the machine of a root; -1 when none listens there (errno tells why: ENOENT or
// ECONNREFUSED for no machine, EACCES for a socket this user may not reach).
int connectTo(const std::string& root);
// Binds and listens (the caller holds the root's lock, so a stale socket file is replaced).
// -1 on failure, with a message in *error.
int listenAt(const std::string& root, std::string* error);

}  // namespace standin::host::wire
