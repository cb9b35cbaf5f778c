// The process-wide handle table.

#include <deque>
#include <mutex>
#include <vector>

#include "standin/win32/handles.h"
#include "win32/windows.h"

namespace standin::win32 {
namespace {

// Handle values are (slot + 1) * 4. Freed slots are reused only once many are free, so that a
// handle closed by mistake and used again is very unlikely to reach a new object at once.
constexpr std::size_t kMaxSlots = std::size_t{1} << 24;
constexpr std::size_t kReuseThreshold = 1024;

struct Table {
    std::mutex mutex;
    std::vector<std::shared_ptr<KernelObject>> slots;
    std::deque<std::size_t> freeSlots;
    std::size_t open = 0;
};

Table& table() {
    static auto* t = new Table();  // lives as long as the process, for objects closed at exit
    return *t;
}

bool slotOf(HANDLE handle, std::size_t* slot) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value == 0 || value % 4 != 0 || value > 4 * kMaxSlots) return false;
    *slot = value / 4 - 1;
    return true;
}

}  // namespace

HANDLE insertHandle(std::shared_ptr<KernelObject> object) {
    if (!object) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Table& t = table();
    std::lock_guard lock(t.mutex);
    std::size_t slot;
    if (t.freeSlots.size() >= kReuseThreshold ||
        (t.slots.size() >= kMaxSlots && !t.freeSlots.empty())) {
        slot = t.freeSlots.front();
        t.freeSlots.pop_front();
    } else if (t.slots.size() < kMaxSlots) {
        slot = t.slots.size();
        t.slots.emplace_back();
    } else {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    t.slots[slot] = std::move(object);
    ++t.open;
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>((slot + 1) * 4));
}

std::shared_ptr<KernelObject> referenceHandle(HANDLE handle) {
    std::size_t slot;
    if (!slotOf(handle, &slot)) return nullptr;
    Table& t = table();
    std::lock_guard lock(t.mutex);
    if (slot >= t.slots.size()) return nullptr;
    return t.slots[slot];
}

bool removeHandle(HANDLE handle) {
    std::size_t slot;
    if (!slotOf(handle, &slot)) return false;
    std::shared_ptr<KernelObject> last;  // released after the table's lock
    {
        Table& t = table();
        std::lock_guard lock(t.mutex);
        if (slot >= t.slots.size() || !t.slots[slot]) return false;
        last = std::move(t.slots[slot]);
        t.slots[slot].reset();
        t.freeSlots.push_back(slot);
        --t.open;
    }
    last->handleClosed();
    return true;
}

std::size_t openHandleCount() {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    return t.open;
}

}  // namespace standin::win32

BOOL WINAPI CloseHandle(HANDLE hObject) {
    if (!standin::win32::removeHandle(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
