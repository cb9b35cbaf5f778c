// The registry: one SQLite store per machine root (<root>/registry.sqlite3), shared by every
// process of the machine.
//
// Each call is one SQLite transaction: reads see one consistent state, and a write is either
// wholly in the store or not at all, even when the process is killed in the middle of it (the
// store runs in write-ahead-log mode; the next connection recovers it). Writers wait for each
// other through SQLite's busy time-out. Within a process one connection serves every thread,
// under a mutex.
//
// A connection is never carried across fork(): the stand-in closes it before the process forks
// and opens a new one lazily on each side afterwards (SQLite connections and the locks they
// rely on do not survive a fork).

#include <pthread.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "internal.h"
#include "standin/win32/handles.h"
#include "standin/win32/machine.h"
#include "standin/win32/registry_admin.h"
#include "win32/windows.h"

namespace standin::win32 {
namespace {

using KeyId = sqlite3_int64;

constexpr KeyId kCurrentUserId = 1;
constexpr KeyId kLocalMachineId = 2;
constexpr int kBusyTimeoutMs = 10000;
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr REGSAM kAllKeyRights = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
                                 KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK;

// An open key: the key's id in the store it was opened in, and the rights it was opened with.
class KeyObject : public KernelObject {
  public:
    static constexpr ObjectKind kKind = ObjectKind::RegistryKey;
    KeyObject(KeyId id, REGSAM rights, unsigned generation)
        : KernelObject(kKind), id(id), rights(rights), generation(generation) {}
    const KeyId id;
    const REGSAM rights;
    const unsigned generation;  // the store (machine root) the key belongs to
};

struct Store {
    std::mutex mutex;
    sqlite3* db = nullptr;
    pid_t pid = 0;
    unsigned generation = 1;
    KeyId classesId = 0;  // HKEY_LOCAL_MACHINE\SOFTWARE\Classes
    KeyId softwareId = 0;
};

Store& store() {
    static auto* s = new Store();  // lives as long as the process
    return *s;
}

void closeConnection(Store& s) {
    if (s.db != nullptr) sqlite3_close_v2(s.db);
    s.db = nullptr;
}

void beforeFork() {
    store().mutex.lock();
    closeConnection(store());
}
void afterFork() {
    store().mutex.unlock();
}

std::string storePathForRoot() {
    return machineRoot() + "/registry.sqlite3";
}

// A prepared statement that finalises itself.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        ok_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr) == SQLITE_OK;
    }
    ~Statement() { sqlite3_finalize(st_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return ok_; }
    Statement& bind(int i, KeyId v) {
        ok_ = ok_ && sqlite3_bind_int64(st_, i, v) == SQLITE_OK;
        return *this;
    }
    Statement& bind(int i, const std::string& v) {
        ok_ = ok_ && sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()),
                                       SQLITE_TRANSIENT) == SQLITE_OK;
        return *this;
    }
    Statement& bindBlob(int i, const BYTE* data, DWORD size) {
        int rc = size == 0
                     ? sqlite3_bind_zeroblob(st_, i, 0)
                     : sqlite3_bind_blob(st_, i, data, static_cast<int>(size), SQLITE_TRANSIENT);
        ok_ = ok_ && rc == SQLITE_OK;
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE, or an error.
    int step() { return ok_ ? sqlite3_step(st_) : SQLITE_ERROR; }
    KeyId int64(int col) { return sqlite3_column_int64(st_, col); }
    std::string text(int col) {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st_, col));
        return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(st_, col)))
                 : std::string();
    }
    std::vector<BYTE> blob(int col) {
        const auto* p = static_cast<const BYTE*>(sqlite3_column_blob(st_, col));
        int n = sqlite3_column_bytes(st_, col);
        return p ? std::vector<BYTE>(p, p + n) : std::vector<BYTE>();
    }

  private:
    sqlite3_stmt* st_ = nullptr;
    bool ok_ = false;
};

bool exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A key id looked up by parent and folded name; 0 when missing, -1 on a store failure.
KeyId findChild(sqlite3* db, KeyId parent, const std::string& name) {
    Statement st(db, "SELECT id FROM keys WHERE parent = ?1 AND folded = ?2");
    st.bind(1, parent).bind(2, lowerAnsi(name));
    int rc = st.step();
    if (rc == SQLITE_ROW) return st.int64(0);
    return rc == SQLITE_DONE ? 0 : -1;
}

KeyId insertChild(sqlite3* db, KeyId parent, const std::string& name) {
    Statement st(db, "INSERT INTO keys(parent, name, folded) VALUES (?1, ?2, ?3)");
    st.bind(1, parent).bind(2, name).bind(3, lowerAnsi(name));
    if (st.step() != SQLITE_DONE) return -1;
    return sqlite3_last_insert_rowid(db);
}

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  folded TEXT NOT NULL,"
    "  UNIQUE (parent, folded));"
    "CREATE TABLE IF NOT EXISTS vals ("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL,"
    "  folded TEXT NOT NULL,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY (key, folded)) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO keys(id, parent, name, folded) VALUES"
    "  (1, 0, 'HKEY_CURRENT_USER', 'hkey_current_user'),"
    "  (2, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine');";

// Opens the connection when needed. Called under the store's mutex.
bool ensureOpen(Store& s) {
    static std::once_flag forkHandlers;
    std::call_once(forkHandlers, [] { pthread_atfork(beforeFork, afterFork, afterFork); });
    if (s.db != nullptr && s.pid == getpid()) return true;
    s.db = nullptr;  // a connection of the parent process is never used (nor closed) here
    sqlite3* db = nullptr;
    const std::string path = storePathForRoot();
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                            SQLITE_OPEN_NOFOLLOW,  // a file of the root, never a link
                        nullptr) != SQLITE_OK) {
        sqlite3_close_v2(db);
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // Switching to WAL needs a moment alone with the file: retry while another process opens it.
    bool wal = false;
    for (int attempt = 0; attempt < 200 && !wal; ++attempt) {
        Statement st(db, "PRAGMA journal_mode=WAL");
        wal = st.step() == SQLITE_ROW && lowerAnsi(st.text(0)) == "wal";
        if (!wal) usleep(10000);
    }
    bool ok = wal && exec(db, "PRAGMA synchronous=NORMAL") && exec(db, "BEGIN IMMEDIATE");
    if (ok) {
        ok = exec(db, kSchema);
        KeyId software = ok ? findChild(db, kLocalMachineId, "SOFTWARE") : -1;
        if (software == 0) software = insertChild(db, kLocalMachineId, "SOFTWARE");
        KeyId classes = software > 0 ? findChild(db, software, "Classes") : -1;
        if (classes == 0) classes = insertChild(db, software, "Classes");
        // Every installed system has the key of class ids below the class registrations.
        KeyId classIds = classes > 0 ? findChild(db, classes, "CLSID") : -1;
        if (classIds == 0) classIds = insertChild(db, classes, "CLSID");
        ok = ok && software > 0 && classes > 0 && classIds > 0 && exec(db, "COMMIT");
        if (!ok) exec(db, "ROLLBACK");
        s.softwareId = software;
        s.classesId = classes;
    }
    if (!ok) {
        sqlite3_close_v2(db);
        return false;
    }
    s.db = db;
    s.pid = getpid();
    return true;
}

// One call's session with the store: the connection and the open transaction.
struct Session {
    Store& store;
    sqlite3* db;
};

// Runs `body` in one transaction (a write transaction when `write`). The body's result is
// returned; a failure rolls the transaction back.
LONG transact(bool write, const std::function<LONG(Session&)>& body) {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    if (!ensureOpen(s)) return ERROR_REGISTRY_IO_FAILED;
    if (!exec(s.db, write ? "BEGIN IMMEDIATE" : "BEGIN")) return ERROR_REGISTRY_IO_FAILED;
    Session session{s, s.db};
    LONG result = body(session);
    if (result == ERROR_SUCCESS) {
        if (!exec(s.db, "COMMIT")) {
            exec(s.db, "ROLLBACK");
            return ERROR_REGISTRY_IO_FAILED;
        }
    } else {
        exec(s.db, "ROLLBACK");
    }
    return result;
}

bool isPredefined(HKEY key) {
    return key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER || key == HKEY_LOCAL_MACHINE;
}

struct OpenKey {
    KeyId id;
    REGSAM rights;
};

// The key a handle names, checked to exist in the current store.
LONG resolve(Session& session, HKEY key, OpenKey* out) {
    if (key == HKEY_CURRENT_USER) {
        *out = {kCurrentUserId, kAllKeyRights};
        return ERROR_SUCCESS;
    }
    if (key == HKEY_LOCAL_MACHINE) {
        *out = {kLocalMachineId, kAllKeyRights};
        return ERROR_SUCCESS;
    }
    if (key == HKEY_CLASSES_ROOT) {
        *out = {session.store.classesId, kAllKeyRights};
        return ERROR_SUCCESS;
    }
    auto object = referenceHandleAs<KeyObject>(reinterpret_cast<HANDLE>(key));
    if (!object) return ERROR_INVALID_HANDLE;
    if (object->generation != session.store.generation) return ERROR_KEY_DELETED;
    Statement st(session.db, "SELECT 1 FROM keys WHERE id = ?1");
    st.bind(1, object->id);
    int rc = st.step();
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
    *out = {object->id, object->rights};
    return ERROR_SUCCESS;
}

// Splits a subkey path at backslashes. A single trailing backslash is allowed; other empty
// components are not.
LONG splitKeyPath(const char* path, std::vector<std::string>* parts) {
    parts->clear();
    if (path == nullptr || path[0] == '\0') return ERROR_SUCCESS;
    std::string s(path);
    if (s.back() == '\\') s.pop_back();
    std::size_t start = 0;
    while (start <= s.size()) {
        std::size_t end = s.find('\\', start);
        if (end == std::string::npos) end = s.size();
        std::string part = s.substr(start, end - start);
        if (part.empty()) return ERROR_BAD_PATHNAME;
        if (part.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
        parts->push_back(std::move(part));
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

REGSAM rightsFor(REGSAM desired) {
    REGSAM rights = desired & kAllKeyRights;
    if (desired & MAXIMUM_ALLOWED) rights = kAllKeyRights;
    return rights;
}

// A handle for a key found or created by a committed transaction.
LONG newKeyHandle(unsigned generation, KeyId id, REGSAM desired, PHKEY result) {
    HANDLE h = insertHandle(std::make_shared<KeyObject>(id, rightsFor(desired), generation));
    if (h == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
    *result = reinterpret_cast<HKEY>(h);
    return ERROR_SUCCESS;
}

std::string valueName(LPCSTR name) {
    return name ? std::string(name) : std::string();
}

}  // namespace

namespace detail {

void registryRootChanged() {
    Store& s = store();
    std::lock_guard lock(s.mutex);
    if (s.pid == getpid()) closeConnection(s);
    s.db = nullptr;
    ++s.generation;
}

}  // namespace detail

LONG listRegistryValues(HKEY key, std::vector<RegistryValue>* values) {
    if (values == nullptr) return ERROR_INVALID_PARAMETER;
    values->clear();
    return transact(false, [&](Session& session) -> LONG {
        OpenKey k;
        if (LONG rc = resolve(session, key, &k); rc != ERROR_SUCCESS) return rc;
        if ((k.rights & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
        Statement st(session.db,
                     "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY folded");
        st.bind(1, k.id);
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            values->push_back({st.text(0), static_cast<DWORD>(st.int64(1)), st.blob(2)});
        }
        return rc == SQLITE_DONE ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
    });
}

std::string registryStorePath() {
    return storePathForRoot();
}

}  // namespace standin::win32

using namespace standin::win32;

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*ulOptions*/, REGSAM samDesired,
                             PHKEY phkResult) {
    if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<std::string> parts;
    if (LONG rc = splitKeyPath(lpSubKey, &parts); rc != ERROR_SUCCESS) return rc;
    if (parts.empty() && isPredefined(hKey)) {
        *phkResult = hKey;
        return ERROR_SUCCESS;
    }
    KeyId id = 0;
    unsigned generation = 0;
    LONG result = transact(false, [&](Session& session) -> LONG {
        OpenKey base;
        if (LONG rc = resolve(session, hKey, &base); rc != ERROR_SUCCESS) return rc;
        id = base.id;
        for (const std::string& part : parts) {
            id = findChild(session.db, id, part);
            if (id < 0) return ERROR_REGISTRY_IO_FAILED;
            if (id == 0) return ERROR_FILE_NOT_FOUND;
        }
        generation = session.store.generation;
        return ERROR_SUCCESS;
    });
    if (result != ERROR_SUCCESS) return result;
    return newKeyHandle(generation, id, samDesired, phkResult);
}

LSTATUS WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD /*Reserved*/, LPSTR /*lpClass*/,
                               DWORD /*dwOptions*/, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/,
                               PHKEY phkResult, LPDWORD lpdwDisposition) {
    if (phkResult == nullptr || lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    *phkResult = nullptr;
    std::vector<std::string> parts;
    if (LONG rc = splitKeyPath(lpSubKey, &parts); rc != ERROR_SUCCESS) return rc;
    bool created = false;
    KeyId id = 0;
    unsigned generation = 0;
    LONG result = transact(true, [&](Session& session) -> LONG {
        OpenKey base;
        if (LONG rc = resolve(session, hKey, &base); rc != ERROR_SUCCESS) return rc;
        id = base.id;
        for (const std::string& part : parts) {
            KeyId child = findChild(session.db, id, part);
            if (child < 0) return ERROR_REGISTRY_IO_FAILED;
            if (child == 0) {
                if (!created && (base.rights & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
                child = insertChild(session.db, id, part);
                if (child < 0) return ERROR_REGISTRY_IO_FAILED;
                created = true;
            }
            id = child;
        }
        generation = session.store.generation;
        return ERROR_SUCCESS;
    });
    if (result == ERROR_SUCCESS) result = newKeyHandle(generation, id, samDesired, phkResult);
    if (result == ERROR_SUCCESS && lpdwDisposition != nullptr) {
        *lpdwDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return result;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::string name = valueName(lpValueName);
    return transact(false, [&](Session& session) -> LONG {
        OpenKey k;
        if (LONG rc = resolve(session, hKey, &k); rc != ERROR_SUCCESS) return rc;
        if ((k.rights & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;
        Statement st(session.db, "SELECT type, data FROM vals WHERE key = ?1 AND folded = ?2");
        st.bind(1, k.id).bind(2, lowerAnsi(name));
        int rc = st.step();
        if (rc == SQLITE_DONE) return ERROR_FILE_NOT_FOUND;
        if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
        if (lpType != nullptr) *lpType = static_cast<DWORD>(st.int64(0));
        std::vector<BYTE> data = st.blob(1);
        const auto size = static_cast<DWORD>(data.size());
        if (lpData == nullptr) {
            if (lpcbData != nullptr) *lpcbData = size;
            return ERROR_SUCCESS;
        }
        if (*lpcbData < size) {
            *lpcbData = size;
            return ERROR_MORE_DATA;
        }
        if (size != 0) std::memcpy(lpData, data.data(), size);
        *lpcbData = size;
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE* lpData, DWORD cbData) {
    if (Reserved != 0 || (lpData == nullptr && cbData != 0)) return ERROR_INVALID_PARAMETER;
    const std::string name = valueName(lpValueName);
    if (name.size() > kMaxValueNameLength) return ERROR_INVALID_PARAMETER;
    return transact(true, [&](Session& session) -> LONG {
        OpenKey k;
        if (LONG rc = resolve(session, hKey, &k); rc != ERROR_SUCCESS) return rc;
        if ((k.rights & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
        Statement st(
            session.db,
            "INSERT INTO vals(key, name, folded, type, data) VALUES (?1, ?2, ?3, ?4, ?5) "
            "ON CONFLICT(key, folded) DO UPDATE SET type = excluded.type, data = excluded.data");
        st.bind(1, k.id).bind(2, name).bind(3, lowerAnsi(name)).bind(4, static_cast<KeyId>(dwType));
        st.bindBlob(5, lpData, cbData);
        return st.step() == SQLITE_DONE ? ERROR_SUCCESS : ERROR_REGISTRY_IO_FAILED;
    });
}

LSTATUS WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    if (lpSubKey == nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<std::string> parts;
    if (LONG rc = splitKeyPath(lpSubKey, &parts); rc != ERROR_SUCCESS) return rc;
    return transact(true, [&](Session& session) -> LONG {
        OpenKey base;
        if (LONG rc = resolve(session, hKey, &base); rc != ERROR_SUCCESS) return rc;
        KeyId id = base.id;
        for (const std::string& part : parts) {
            id = findChild(session.db, id, part);
            if (id < 0) return ERROR_REGISTRY_IO_FAILED;
            if (id == 0) return ERROR_FILE_NOT_FOUND;
        }
        if (id == kCurrentUserId || id == kLocalMachineId || id == session.store.softwareId ||
            id == session.store.classesId) {
            return ERROR_ACCESS_DENIED;
        }
        Statement children(session.db, "SELECT 1 FROM keys WHERE parent = ?1 LIMIT 1");
        children.bind(1, id);
        int rc = children.step();
        if (rc == SQLITE_ROW) return ERROR_ACCESS_DENIED;  // a key with subkeys stays
        if (rc != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
        Statement values(session.db, "DELETE FROM vals WHERE key = ?1");
        values.bind(1, id);
        Statement key(session.db, "DELETE FROM keys WHERE id = ?1");
        key.bind(1, id);
        return values.step() == SQLITE_DONE && key.step() == SQLITE_DONE ? ERROR_SUCCESS
                                                                         : ERROR_REGISTRY_IO_FAILED;
    });
}

LSTATUS WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    const std::string name = valueName(lpValueName);
    return transact(true, [&](Session& session) -> LONG {
        OpenKey k;
        if (LONG rc = resolve(session, hKey, &k); rc != ERROR_SUCCESS) return rc;
        if ((k.rights & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;
        Statement st(session.db, "DELETE FROM vals WHERE key = ?1 AND folded = ?2");
        st.bind(1, k.id).bind(2, lowerAnsi(name));
        if (st.step() != SQLITE_DONE) return ERROR_REGISTRY_IO_FAILED;
        return sqlite3_changes(session.db) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

LSTATUS WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime) {
    if (lpName == nullptr || lpcchName == nullptr || lpReserved != nullptr ||
        (lpClass != nullptr && lpcchClass == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    return transact(false, [&](Session& session) -> LONG {
        OpenKey k;
        if (LONG rc = resolve(session, hKey, &k); rc != ERROR_SUCCESS) return rc;
        if ((k.rights & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;
        Statement st(session.db,
                     "SELECT name FROM keys WHERE parent = ?1 ORDER BY folded LIMIT 1 OFFSET ?2");
        st.bind(1, k.id).bind(2, static_cast<KeyId>(dwIndex));
        int rc = st.step();
        if (rc == SQLITE_DONE) return ERROR_NO_MORE_ITEMS;
        if (rc != SQLITE_ROW) return ERROR_REGISTRY_IO_FAILED;
        const std::string name = st.text(0);
        if (name.size() + 1 > *lpcchName) return ERROR_MORE_DATA;
        std::memcpy(lpName, name.c_str(), name.size() + 1);
        *lpcchName = static_cast<DWORD>(name.size());
        if (lpClass != nullptr) {
            if (*lpcchClass == 0) return ERROR_MORE_DATA;
            lpClass[0] = '\0';
            *lpcchClass = 0;
        }
        if (lpftLastWriteTime != nullptr) *lpftLastWriteTime = FILETIME{0, 0};  // not kept
        return ERROR_SUCCESS;
    });
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    if (isPredefined(hKey)) return ERROR_SUCCESS;
    if (!referenceHandleAs<KeyObject>(reinterpret_cast<HANDLE>(hKey)) ||
        !removeHandle(reinterpret_cast<HANDLE>(hKey))) {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}
