// Devices of the machine: SetupAPI enumeration, CreateFileA on an interface path,
// DeviceIoControl and the handle's close, and the NT status to Win32 error mapping.

#include <sys/socket.h>
#include <unistd.h>

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
// A connection whose machine is gone: requests fail as those a removed device refuses.
constexpr auto kStatusInvalidDeviceState = static_cast<std::int32_t>(0xC0000184u);

bool isErrorStatus(std::int32_t status) {
    return (static_cast<std::uint32_t>(status) >> 30) == 3;
}

// ---- device handles ---------------------------------------------------------------------------
class DeviceObject final : public KernelObject {
  public:
    static constexpr ObjectKind kKind = ObjectKind::Device;
    explicit DeviceObject(int socket) : KernelObject(kKind), socket_(socket), owner_(getpid()) {}
    ~DeviceObject() override { close(); }

    // Sends a request and serves the machine's call-backs until its reply arrives. False when
    // the connection is gone (then it stays so).
    bool exchange(std::uint32_t type, const wire::Writer& payload, std::uint32_t replyType,
                  wire::Message* reply, std::span<const int> fds = {}) {
        std::lock_guard lk(mu_);
        return exchangeLocked(type, payload, replyType, reply, fds);
    }

    bool ownedHere() const { return owner_ == getpid(); }

    // The machine refused the open: there is no file object to close.
    void abandon() {
        std::lock_guard lk(mu_);
        dead_ = true;
    }

  private:
    bool exchangeLocked(std::uint32_t type, const wire::Writer& payload, std::uint32_t replyType,
                        wire::Message* reply, std::span<const int> fds) {
        if (dead_ || !ownedHere()) return false;
        if (!wire::send(socket_.get(), type, payload.data(), fds)) return fail();
        for (;;) {
            if (wire::receive(socket_.get(), reply) != wire::Received::Message) return fail();
            if (reply->type == replyType) return true;
            if (!detail::serveCallback(socket_.get(), *reply)) return fail();
        }
    }

    bool fail() {
        dead_ = true;
        shutdown(socket_.get(), SHUT_RDWR);
        detail::connectionEnded(socket_.get(), true);
        return false;
    }

    void close() {
        std::lock_guard lk(mu_);
        if (!dead_ && ownedHere()) {
            // The driver cleans up in this process's context (its views are unmapped here).
            std::uint32_t slot = 0;
            detail::currentThreadSlot(&slot);
            wire::Writer w;
            w.u32(slot);
            wire::Message reply;
            if (exchangeLocked(protocol::kClose, w, protocol::kClosed, &reply, {}))
                detail::connectionEnded(socket_.get(), false);
        }
        socket_.reset();  // after fork: only this process's copy
    }

    std::mutex mu_;
    wire::Fd socket_;
    const pid_t owner_;
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
    std::uint32_t slot = 0;
    standin::win32::detail::ThreadBlock block = standin::win32::detail::threadBlock();
    if (block.base == nullptr || !standin::win32::detail::currentThreadSlot(&slot)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    int socket = wire::connectTo(machineRoot());
    if (socket < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // no machine: no device
        return INVALID_HANDLE_VALUE;
    }
    auto device = std::make_shared<DeviceObject>(socket);
    auto key = standin::win32::detail::processKey();
    wire::Writer w;
    w.bytes(key).u32(slot).string(lpFileName);
    int fds[] = {block.fd};
    wire::Message reply;
    if (!device->exchange(protocol::kOpenDevice, w, protocol::kOpenReply, &reply, fds)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    wire::Reader r(reply.payload);
    std::int32_t status = r.i32();
    if (!r.atEnd()) status = kStatusObjectNameNotFound;
    if (status != kStatusSuccess) {
        device->abandon();
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
    if (!device || !device->ownedHere()) {
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
    w.u32(dwIoControlCode).u32(nOutBufferSize).u32(slot);
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
