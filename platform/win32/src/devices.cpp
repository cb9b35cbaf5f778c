// Devices of the machine: SetupAPI enumeration, CreateFileA on an interface path,
// DeviceIoControl and the handle's close, and the NT status to Win32 error mapping.

#include <sys/socket.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "link.h"
#include "standin/host/protocol.h"
#include "standin/host/wire.h"
#include "standin/win32/handles.h"
#include "standin/win32/machine.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace standin::win32 {
namespace {

namespace protocol = host::protocol;
namespace wire = host::wire;

static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(sizeof(SP_DEVINFO_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);

constexpr std::int32_t kStatusSuccess = 0;
constexpr std::int32_t kStatusPending = 0x00000103;
constexpr auto kStatusObjectNameNotFound = static_cast<std::int32_t>(0xC0000034u);
constexpr auto kStatusNoMemory = static_cast<std::int32_t>(0xC0000017u);
// A connection whose machine is gone: requests fail as those a removed device refuses.
constexpr auto kStatusInvalidDeviceState = static_cast<std::int32_t>(0xC0000184u);

bool isErrorStatus(std::int32_t status) {
    return (static_cast<std::uint32_t>(status) >> 30) == 3;
}

// ---- device handles ----------------------------------------------------------------------------
// Several threads of a process can have requests of one handle in flight at once, as on the
// platform: each request goes over a connection of the handle that no other request is using,
// and the handle joins the file object with one more connection when all of them are busy (up
// to kMaxConnectionsPerHandle; beyond that, or when the machine takes no more, requests wait for
// one). A child process that inherited the handle joins the file object at its first use of it,
// with connections of its own.
constexpr std::size_t kMaxConnectionsPerHandle = 8;
using FileToken = std::array<std::uint8_t, protocol::kFileTokenBytes>;

// Sends a request and serves the machine's call-backs until its reply arrives. False when the
// connection is of no further use.
bool exchangeOn(int socket, std::uint32_t type, const wire::Writer& payload,
                std::uint32_t replyType, wire::Message* reply, std::span<const int> fds = {}) {
    if (!wire::send(socket, type, payload.data(), fds)) return false;
    for (;;) {
        if (wire::receive(socket, reply) != wire::Received::Message) return false;
        if (reply->type == replyType) return true;
        if (!detail::serveCallback(socket, *reply)) return false;
    }
}

// Opens (no token) or joins (a token) a file object over a new connection. Returns the
// connection, or -1 with *status saying why.
int connectFile(const char* path, const FileToken* join, FileToken* token, std::int32_t* status) {
    *status = kStatusObjectNameNotFound;
    std::uint32_t slot = 0;
    detail::ThreadBlock block = detail::threadBlock();
    if (block.base == nullptr || !detail::currentThreadSlot(&slot)) {
        *status = kStatusNoMemory;
        return -1;
    }
    wire::Fd socket(wire::connectTo(machineRoot()));
    if (!socket.valid()) return -1;  // no machine: no device
    wire::Writer w;
    w.bytes(detail::processKey()).u32(slot);
    if (join != nullptr)
        w.bytes(*join);
    else
        w.string(path);
    int fds[] = {block.fd};
    wire::Message reply;
    // A machine that refuses the connection says why and closes it, maybe before the request
    // is sent: its reason is read all the same.
    const bool sent = wire::send(socket.get(), join ? protocol::kJoinDevice : protocol::kOpenDevice,
                                 w.data(), fds);
    for (;;) {
        if (wire::receive(socket.get(), &reply) != wire::Received::Message) return -1;
        if (reply.type == protocol::kRefused || (sent && reply.type == protocol::kOpenReply)) break;
        if (!sent || !detail::serveCallback(socket.get(), reply)) return -1;
    }
    wire::Reader r(reply.payload);
    *status = r.i32();
    // Refused (too many connections): the machine says which limit in its text.
    if (reply.type == protocol::kRefused) return -1;
    if (*status != kStatusSuccess) return -1;
    auto bytes = r.bytes(token->size());
    if (!r.atEnd()) {
        *status = kStatusObjectNameNotFound;
        return -1;
    }
    std::memcpy(token->data(), bytes.data(), token->size());
    return socket.release();
}

// Forks of this process: a handle opened before the latest one may have copies in a child.
std::atomic<std::uint64_t> gForks{0};
struct ForkCounter {
    ForkCounter() {
        pthread_atfork(
            nullptr, [] { gForks.fetch_add(1); }, [] { gForks.fetch_add(1); });
    }
} gForkCounter;

class DeviceObject final : public KernelObject {
  public:
    static constexpr ObjectKind kKind = ObjectKind::Device;
    DeviceObject() : KernelObject(kKind), owner_(getpid()), forks_(gForks.load()) {}
    ~DeviceObject() override {
        handleClosed();
        std::lock_guard lk(mu_);
        dropInherited();
        for (int s : std::vector<int>(all_)) closeConnection(s);
    }

    // Opens the file object. Returns an NT status.
    std::int32_t open(const char* path) {
        std::int32_t status;
        int s = connectFile(path, nullptr, &token_, &status);
        if (s < 0) return status;
        std::lock_guard lk(mu_);
        all_.push_back(s);
        idle_.push_back(s);
        return status;
    }

    // Sends a request over a connection of its own (see above). False when the handle is gone
    // (then it stays so).
    bool exchange(std::uint32_t type, const wire::Writer& payload, std::uint32_t replyType,
                  wire::Message* reply) {
        int s = acquire();
        if (s < 0) return false;
        bool ok = exchangeOn(s, type, payload, replyType, reply);
        release(s, ok);
        return ok;
    }

    // The process closes its handle. Unless a child may hold a copy, the driver cleans up at
    // once in this process's context (its views are unmapped here), also while requests of
    // other threads are still in flight. A child that inherited the handle keeps the file
    // object open until it has closed its copy too: then the connections just close, and the
    // machine cleans up once no process holds one.
    void handleClosed() override {
        int s = -1;
        {
            std::lock_guard lk(mu_);
            dropInherited();
            if (closed_ || dead_ || all_.empty()) {
                closed_ = true;  // a child that never used the handle holds nothing
                return;
            }
            closed_ = true;
            if (forks_ != gForks.load()) {
                for (int i : idle_) closeConnection(i);
                idle_.clear();
                return;  // connections in use close when their requests end
            }
            if (!idle_.empty()) {
                s = idle_.back();
                idle_.pop_back();
            }
        }
        std::int32_t status;
        FileToken token;
        const bool extra = s < 0;
        if (extra) s = connectFile(nullptr, &token_, &token, &status);
        {
            std::unique_lock lk(mu_);
            // The machine takes no more connections: the close waits for a request to end.
            closerWaiting_ = s < 0;
            while (s < 0 && idle_.empty() && !dead_ && !all_.empty()) freed_.wait(lk);
            closerWaiting_ = false;
            if (s < 0 && !idle_.empty()) {
                s = idle_.back();
                idle_.pop_back();
            }
            for (int i : idle_) closeConnection(i);
            idle_.clear();
        }
        if (s < 0) return;
        std::uint32_t slot = 0;
        detail::currentThreadSlot(&slot);
        wire::Writer w;
        w.u32(slot);
        wire::Message reply;
        if (exchangeOn(s, protocol::kClose, w, protocol::kClosed, &reply))
            detail::connectionEnded(s, false);
        std::lock_guard lk(mu_);
        closeConnection(s);
    }

  private:
    // mu_ held. In a child made by fork, the connections are the parent's: this process takes
    // the copies aside, and lets go of them once it has joined the file object itself (so the
    // file object never goes meanwhile) or gives up.
    void takeInherited() {
        if (owner_ == getpid()) return;
        inherited_.insert(inherited_.end(), all_.begin(), all_.end());
        all_.clear();
        idle_.clear();
        joining_ = 0;
        owner_ = getpid();
        forks_ = gForks.load();
    }
    void dropInherited() {
        takeInherited();
        for (int s : inherited_) ::close(s);
        inherited_.clear();
    }

    // mu_ held (or `s` is no longer listed). Only the connection is closed: a child's copy keeps
    // it open for the machine until the child lets go of it.
    void closeConnection(int s) {
        auto it = std::find(all_.begin(), all_.end(), s);
        if (it != all_.end()) all_.erase(it);
        ::close(s);
    }

    int acquire() {
        std::unique_lock lk(mu_);
        takeInherited();
        for (;;) {
            if (dead_ || closed_) {
                dropInherited();
                return -1;
            }
            if (!idle_.empty()) {
                int s = idle_.back();
                idle_.pop_back();
                return s;
            }
            if (all_.size() + joining_ < limit_) {
                ++joining_;
                lk.unlock();
                std::int32_t status;
                FileToken token;
                int s = connectFile(nullptr, &token_, &token, &status);
                lk.lock();
                --joining_;
                dropInherited();
                if (s >= 0) {
                    all_.push_back(s);
                    return s;
                }
                if (all_.empty() && joining_ == 0) {
                    // No connection to the file object at all (no machine, or it was closed
                    // everywhere before this child joined it): the handle is gone.
                    dead_ = true;
                    freed_.notify_all();
                    return -1;
                }
                limit_ = all_.size() + joining_;  // the machine takes no more: share these
                continue;
            }
            freed_.wait(lk);
        }
    }

    void release(int s, bool ok) {
        std::lock_guard lk(mu_);
        if (owner_ != getpid()) return;  // forked meanwhile: the child has let go of it
        if (!ok) {
            dead_ = true;
            shutdown(s, SHUT_RDWR);
            // The machine is gone: the views this process mapped through any connection of the
            // handle see the device as gone, as a removed device's record does.
            for (int c : all_) detail::connectionEnded(c, true);
        }
        if (dead_ || (closed_ && !closerWaiting_)) {
            closeConnection(s);
        } else {
            idle_.push_back(s);
        }
        freed_.notify_all();
    }

    std::mutex mu_;
    std::condition_variable freed_;
    pid_t owner_;          // the process whose connections all_ holds
    std::uint64_t forks_;  // gForks when the connections were made
    FileToken token_{};
    std::vector<int> all_;        // this process's connections to the file object
    std::vector<int> idle_;       // those no request is using
    std::vector<int> inherited_;  // a child's copies of its parent's connections
    std::size_t joining_ = 0;
    std::size_t limit_ = kMaxConnectionsPerHandle;
    bool closed_ = false;
    bool closerWaiting_ = false;
    bool dead_ = false;
};

// ---- device information sets ------------------------------------------------------------------
struct InterfaceSet {
    GUID interfaceClass{};
    std::vector<std::string> paths;
};

std::mutex gSetsMu;
std::set<InterfaceSet*>& liveSets() {
    static auto* s = new std::set<InterfaceSet*>();
    return *s;
}

// Runs fn on a set that SetupDiGetClassDevsA handed out (under the sets' lock).
template <class F>
bool withSet(HDEVINFO handle, F fn) {
    std::lock_guard lk(gSetsMu);
    auto* set = static_cast<InterfaceSet*>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || liveSets().count(set) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return fn(*set);
}

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool isDevicePath(const char* path) {
    if (std::strncmp(path, "\\\\?\\", 4) != 0 && std::strncmp(path, "\\\\.\\", 4) != 0)
        return false;
    const char* rest = path + 4;
    // "\\?\c:\..." names a file.
    return rest[0] != '\0' && !(rest[1] == ':' && rest[0] != '\0');
}

}  // namespace

DWORD errorFromNtStatus(LONG status) {
    switch (static_cast<std::uint32_t>(status)) {
        case 0x00000000u:  // STATUS_SUCCESS
            return ERROR_SUCCESS;
        case 0x00000102u:  // STATUS_TIMEOUT
            return WAIT_TIMEOUT;
        case 0x00000103u:  // STATUS_PENDING
            return ERROR_IO_PENDING;
        case 0x80000011u:  // STATUS_DEVICE_BUSY
            return ERROR_BUSY;
        case 0x80000005u:  // STATUS_BUFFER_OVERFLOW
            return ERROR_MORE_DATA;
        case 0xC0000001u:  // STATUS_UNSUCCESSFUL
            return ERROR_GEN_FAILURE;
        case 0xC0000002u:  // STATUS_NOT_IMPLEMENTED
            return ERROR_INVALID_FUNCTION;
        case 0xC0000005u:  // STATUS_ACCESS_VIOLATION
            return ERROR_NOACCESS;
        case 0xC0000008u:  // STATUS_INVALID_HANDLE
            return ERROR_INVALID_HANDLE;
        case 0xC000000Du:  // STATUS_INVALID_PARAMETER
            return ERROR_INVALID_PARAMETER;
        case 0xC000000Eu:  // STATUS_NO_SUCH_DEVICE
            return ERROR_NO_SUCH_DEVICE;
        case 0xC0000010u:  // STATUS_INVALID_DEVICE_REQUEST
            return ERROR_INVALID_FUNCTION;
        case 0xC0000017u:  // STATUS_NO_MEMORY
            return ERROR_NOT_ENOUGH_MEMORY;
        case 0xC0000022u:  // STATUS_ACCESS_DENIED
            return ERROR_ACCESS_DENIED;
        case 0xC0000023u:  // STATUS_BUFFER_TOO_SMALL
            return ERROR_INSUFFICIENT_BUFFER;
        case 0xC0000024u:  // STATUS_OBJECT_TYPE_MISMATCH
            return ERROR_INVALID_HANDLE;
        case 0xC0000034u:  // STATUS_OBJECT_NAME_NOT_FOUND
            return ERROR_FILE_NOT_FOUND;
        case 0xC0000044u:  // STATUS_QUOTA_EXCEEDED
            return ERROR_NOT_ENOUGH_QUOTA;
        case 0xC0000056u:  // STATUS_DELETE_PENDING
            return ERROR_ACCESS_DENIED;
        case 0xC000009Au:  // STATUS_INSUFFICIENT_RESOURCES
            return ERROR_NO_SYSTEM_RESOURCES;
        case 0xC000009Du:  // STATUS_DEVICE_NOT_CONNECTED
            return ERROR_DEVICE_NOT_CONNECTED;
        case 0xC00000B5u:  // STATUS_IO_TIMEOUT
            return ERROR_SEM_TIMEOUT;
        case 0xC00000BBu:  // STATUS_NOT_SUPPORTED
            return ERROR_NOT_SUPPORTED;
        case 0xC00000E5u:  // STATUS_INTERNAL_ERROR
            return ERROR_INTERNAL_ERROR;
        case 0xC0000120u:  // STATUS_CANCELLED
            return ERROR_OPERATION_ABORTED;
        case 0xC0000128u:  // STATUS_FILE_CLOSED
            return ERROR_INVALID_HANDLE;
        case 0xC0000184u:  // STATUS_INVALID_DEVICE_STATE
            return ERROR_BAD_COMMAND;
        case 0xC0000185u:  // STATUS_IO_DEVICE_ERROR
            return ERROR_IO_DEVICE;
        case 0xC0000206u:  // STATUS_INVALID_BUFFER_SIZE
            return ERROR_INVALID_USER_BUFFER;
        case 0xC00002B6u:  // STATUS_DEVICE_REMOVED
            return ERROR_DEVICE_REMOVED;
        default:
            return ERROR_MR_MID_NOT_FOUND;  // no Win32 error stands for it
    }
}

std::size_t mappedKernelViews() {
    return detail::kernelViews();
}

}  // namespace standin::win32

using namespace standin::win32;
namespace protocol = standin::host::protocol;
namespace wire = standin::host::wire;

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR /*Enumerator*/,
                                     HWND /*hwndParent*/, DWORD Flags) {
    if (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<InterfaceSet>();
    if (ClassGuid != nullptr && (Flags & DIGCF_DEVICEINTERFACE) != 0) {
        set->interfaceClass = *ClassGuid;
        // No machine running: nothing is present.
        standin::win32::detail::enumerateInterfaces(*ClassGuid, &set->paths);
    }
    std::lock_guard lk(gSetsMu);
    InterfaceSet* raw = set.release();
    liveSets().insert(raw);
    return raw;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA /*DeviceInfoData*/,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    return withSet(DeviceInfoSet,
                   [&](InterfaceSet& set) {
                       if (InterfaceClassGuid == nullptr || DeviceInterfaceData == nullptr) {
                           SetLastError(ERROR_INVALID_PARAMETER);
                           return false;
                       }
                       if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
                           SetLastError(ERROR_INVALID_USER_BUFFER);
                           return false;
                       }
                       if (!sameGuid(*InterfaceClassGuid, set.interfaceClass) ||
                           MemberIndex >= set.paths.size()) {
                           SetLastError(ERROR_NO_MORE_ITEMS);
                           return false;
                       }
                       DeviceInterfaceData->InterfaceClassGuid = set.interfaceClass;
                       DeviceInterfaceData->Flags = SPINT_ACTIVE;
                       DeviceInterfaceData->Reserved = static_cast<ULONG_PTR>(MemberIndex) + 1;
                       return true;
                   })
               ? TRUE
               : FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    return withSet(DeviceInfoSet,
                   [&](InterfaceSet& set) {
                       if (DeviceInterfaceData == nullptr) {
                           SetLastError(ERROR_INVALID_PARAMETER);
                           return false;
                       }
                       if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
                           SetLastError(ERROR_INVALID_USER_BUFFER);
                           return false;
                       }
                       ULONG_PTR index = DeviceInterfaceData->Reserved;
                       if (index == 0 || index > set.paths.size() ||
                           !sameGuid(DeviceInterfaceData->InterfaceClassGuid, set.interfaceClass)) {
                           SetLastError(ERROR_INVALID_PARAMETER);
                           return false;
                       }
                       const std::string& path = set.paths[index - 1];
                       const DWORD fixed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
                       const DWORD needed = fixed + static_cast<DWORD>(path.size()) + 1;
                       if (DeviceInterfaceDetailData == nullptr) {
                           if (DeviceInterfaceDetailDataSize != 0) {
                               SetLastError(ERROR_INVALID_USER_BUFFER);
                               return false;
                           }
                           if (RequiredSize != nullptr) *RequiredSize = needed;
                           SetLastError(ERROR_INSUFFICIENT_BUFFER);
                           return false;
                       }
                       if (DeviceInterfaceDetailData->cbSize !=
                               sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
                           DeviceInterfaceDetailDataSize < fixed + 1) {
                           SetLastError(ERROR_INVALID_USER_BUFFER);
                           return false;
                       }
                       if (DeviceInfoData != nullptr &&
                           DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
                           SetLastError(ERROR_INVALID_USER_BUFFER);
                           return false;
                       }
                       if (RequiredSize != nullptr) *RequiredSize = needed;
                       if (DeviceInterfaceDetailDataSize < needed) {
                           SetLastError(ERROR_INSUFFICIENT_BUFFER);
                           return false;
                       }
                       std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(),
                                   path.size() + 1);
                       if (DeviceInfoData != nullptr) {
                           std::memset(&DeviceInfoData->ClassGuid, 0, sizeof(GUID));
                           DeviceInfoData->DevInst = static_cast<DWORD>(index);
                           DeviceInfoData->Reserved = index;
                       }
                       return true;
                   })
               ? TRUE
               : FALSE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    return withSet(DeviceInfoSet,
                   [&](InterfaceSet& set) {
                       liveSets().erase(&set);
                       delete &set;
                       return true;
                   })
               ? TRUE
               : FALSE;
}

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD /*dwDesiredAccess*/, DWORD /*dwShareMode*/,
                          LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                          DWORD dwCreationDisposition, DWORD /*dwFlagsAndAttributes*/,
                          HANDLE /*hTemplateFile*/) {
    if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW ||
        dwCreationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (!isDevicePath(lpFileName) || std::strlen(lpFileName) > protocol::kMaxPathBytes) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto device = std::make_shared<DeviceObject>();
    std::int32_t status = device->open(lpFileName);
    if (status != kStatusSuccess) {
        SetLastError(errorFromNtStatus(status));
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = insertHandle(std::move(device));
    if (h == nullptr) return INVALID_HANDLE_VALUE;  // the object closes itself
    // As for any file that exists: the dispositions that would have made one say so.
    SetLastError(dwCreationDisposition == OPEN_ALWAYS || dwCreationDisposition == CREATE_ALWAYS
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return h;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    auto device = referenceHandleAs<DeviceObject>(hDevice);
    if (!device) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpBytesReturned == nullptr && lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (lpBytesReturned != nullptr) *lpBytesReturned = 0;
    if ((lpInBuffer == nullptr && nInBufferSize != 0) ||
        (lpOutBuffer == nullptr && nOutBufferSize != 0)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (nInBufferSize > wire::kMaxIoBuffer || nOutBufferSize > wire::kMaxIoBuffer) {
        SetLastError(ERROR_NO_SYSTEM_RESOURCES);
        return FALSE;
    }
    std::uint32_t slot = 0;
    if (!standin::win32::detail::currentThreadSlot(&slot)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    wire::Writer w;
    w.u32(dwIoControlCode).u32(nOutBufferSize).u32(slot).u32(GetCurrentThreadId());
    w.bytes(
        std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(lpInBuffer), nInBufferSize));
    wire::Message reply;
    std::int32_t status = kStatusInvalidDeviceState;
    std::uint64_t information = 0;
    if (device->exchange(protocol::kIoControl, w, protocol::kIoReply, &reply)) {
        wire::Reader r(reply.payload);
        status = r.i32();
        information = r.u64();
        auto output = r.rest();
        bool sound = r.ok() && (isErrorStatus(status) ? output.empty()
                                                      : information <= nOutBufferSize &&
                                                            output.size() == information);
        if (!sound) {
            status = kStatusInvalidDeviceState;
            information = 0;
        } else if (!output.empty()) {
            std::memcpy(lpOutBuffer, output.data(), output.size());
        }
    }
    if (isErrorStatus(status)) information = 0;
    if (lpBytesReturned != nullptr) *lpBytesReturned = static_cast<DWORD>(information);
    if (lpOverlapped != nullptr) {
        lpOverlapped->Internal = static_cast<ULONG_PTR>(static_cast<std::uint32_t>(status));
        lpOverlapped->InternalHigh = static_cast<ULONG_PTR>(information);
        if (lpOverlapped->hEvent != nullptr) SetEvent(lpOverlapped->hEvent);
    }
    // A request still pending would have needed an OVERLAPPED wait: it counts as failed.
    if (status >= 0 && status != kStatusPending) return TRUE;
    SetLastError(errorFromNtStatus(status));
    return FALSE;
}
