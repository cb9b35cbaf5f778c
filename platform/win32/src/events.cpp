// Events (unnamed, and named ones shared through the machine) and security descriptors.

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "link.h"
#include "objects.h"
#include "standin/host/protocol.h"
#include "win32/windows.h"

namespace standin::win32 {
namespace {

namespace protocol = host::protocol;

struct EventCore {
    int fd = -1;
    bool manual = true;
    std::string name;           // empty for an unnamed event
    std::uint64_t session = 0;  // the machine session that holds the name (0: none)

    ~EventCore() {
        if (session != 0) detail::releaseNamedEvent(name, session);
        if (fd >= 0) close(fd);
    }
};

class EventObject final : public detail::Waitable {
  public:
    static constexpr ObjectKind kKind = ObjectKind::Event;
    explicit EventObject(std::shared_ptr<EventCore> c) : Waitable(kKind), core(std::move(c)) {}
    int waitFd() const override { return core->fd; }
    bool consumedByWait() const override { return !core->manual; }
    const std::shared_ptr<EventCore> core;
};

// Named events this process holds, by name: one object per name, however many handles.
std::mutex gNamedMu;
std::map<std::string, std::weak_ptr<EventCore>>& namedEvents() {
    static auto* m = new std::map<std::string, std::weak_ptr<EventCore>>();
    return *m;
}

// The name in the machine's one namespace, or an error.
DWORD normaliseName(const char* name, std::string* out) {
    std::string n(name);
    if (n.size() > MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    for (const char* prefix : {"Global\\", "Local\\"}) {
        std::size_t length = std::strlen(prefix);
        if (n.compare(0, length, prefix) == 0) {
            n.erase(0, length);
            break;
        }
    }
    if (n.find('\\') != std::string::npos) return ERROR_BAD_PATHNAME;
    *out = std::move(n);
    return ERROR_SUCCESS;
}

HANDLE handleFor(std::shared_ptr<EventCore> core) {
    return insertHandle(std::make_shared<EventObject>(std::move(core)));
}

// Opens or creates a named event. *error receives ERROR_SUCCESS (created), ERROR_ALREADY_EXISTS
// (opened) or the failure.
std::shared_ptr<EventCore> namedEvent(const std::string& name, bool create, bool manual,
                                      bool initial, DWORD* error) {
    std::lock_guard lk(gNamedMu);
    auto& table = namedEvents();
    auto it = table.find(name);
    if (it != table.end()) {
        if (auto core = it->second.lock()) {
            *error = ERROR_ALREADY_EXISTS;
            return core;
        }
        table.erase(it);
    }
    std::uint32_t flags = (create ? protocol::kNamedCreate : 0) |
                          (manual ? protocol::kNamedManual : 0) |
                          (initial ? protocol::kNamedInitial : 0);
    int fd = -1;
    bool isManual = manual;
    std::uint64_t session = 0;
    std::uint32_t result = detail::acquireNamedEvent(name, flags, &fd, &isManual, &session);
    auto core = std::make_shared<EventCore>();
    core->name = name;
    if (result == detail::kNoMachine) {
        // No machine: the name is this process's alone.
        if (!create) {
            *error = ERROR_FILE_NOT_FOUND;
            return nullptr;
        }
        core->fd = eventfd(initial ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (core->fd < 0) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        core->manual = manual;
        *error = ERROR_SUCCESS;
    } else if (result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS) {
        core->fd = fd;
        core->manual = isManual;
        core->session = session;
        *error = result;
    } else {
        *error = result;
        return nullptr;
    }
    table[name] = core;
    return core;
}

}  // namespace

namespace detail {

std::int32_t eventDescriptor(std::uint32_t handleWord, int* fd) {
    constexpr std::int32_t kSuccess = 0;
    constexpr auto kInvalidHandle = static_cast<std::int32_t>(0xC0000008u);
    constexpr auto kTypeMismatch = static_cast<std::int32_t>(0xC0000024u);
    constexpr auto kNoResources = static_cast<std::int32_t>(0xC000009Au);
    *fd = -1;
    auto object = referenceHandle(wordToHandle(handleWord));
    if (!object) return kInvalidHandle;
    if (object->kind() != ObjectKind::Event) return kTypeMismatch;
    int copy = fcntl(static_cast<EventObject*>(object.get())->core->fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return kNoResources;
    *fd = copy;
    return kSuccess;
}

}  // namespace detail
}  // namespace standin::win32

using namespace standin::win32;

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         DWORD dwRevision) {
    if (pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    std::memset(sd, 0, sizeof *sd);
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                                      PACL pDacl, BOOL bDaclDefaulted) {
    if (pSecurityDescriptor == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    auto* sd = static_cast<SECURITY_DESCRIPTOR*>(pSecurityDescriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) {
        SetLastError(ERROR_UNKNOWN_REVISION);
        return FALSE;
    }
    sd->Control = static_cast<WORD>(sd->Control & ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (bDaclPresent) {
        sd->Control |= SE_DACL_PRESENT;
        if (bDaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
        sd->Dacl = pDacl;  // null: everybody may use the object
    } else {
        sd->Dacl = nullptr;
    }
    return TRUE;
}

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset,
                           BOOL bInitialState, LPCSTR lpName) {
    if (lpName == nullptr || lpName[0] == '\0') {
        auto core = std::make_shared<EventCore>();
        core->manual = bManualReset != FALSE;
        core->fd = eventfd(bInitialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (core->fd < 0) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        HANDLE h = handleFor(std::move(core));
        if (h != nullptr) SetLastError(ERROR_SUCCESS);
        return h;
    }
    std::string name;
    DWORD error = normaliseName(lpName, &name);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    auto core = namedEvent(name, true, bManualReset != FALSE, bInitialState != FALSE, &error);
    if (!core) {
        SetLastError(error);
        return nullptr;
    }
    HANDLE h = handleFor(std::move(core));
    if (h != nullptr) SetLastError(error);
    return h;
}

HANDLE WINAPI OpenEventA(DWORD /*dwDesiredAccess*/, BOOL /*bInheritHandle*/, LPCSTR lpName) {
    if (lpName == nullptr || lpName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string name;
    DWORD error = normaliseName(lpName, &name);
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return nullptr;
    }
    auto core = namedEvent(name, false, true, false, &error);
    if (!core) {
        SetLastError(error);
        return nullptr;
    }
    return handleFor(std::move(core));
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
    auto event = referenceHandleAs<EventObject>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::uint64_t one = 1;
    ssize_t w = write(event->core->fd, &one, sizeof one);
    (void)w;  // only a counter at its limit refuses, and it is signalled then
    return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
    auto event = referenceHandleAs<EventObject>(hEvent);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::uint64_t value;
    ssize_t r = read(event->core->fd, &value, sizeof value);  // takes the whole counter to 0
    (void)r;
    return TRUE;
}
