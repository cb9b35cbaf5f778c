#pragma once
// The process-wide handle table of kernel objects.
//
// A handle is a small 32-bit number (a multiple of 4, never 0) stored in a HANDLE, so that the
// product can pass handles in 32-bit words. Each handle refers to one reference-counted
// KernelObject; an object lives while a handle or a reference (a shared_ptr obtained from the
// table) holds it, so closing a handle while another thread works on its object is safe.
//
// Adding a new kind of object:
//   1. add an enumerator to ObjectKind;
//   2. derive the object from KernelObject, with `static constexpr ObjectKind kKind = ...` and
//      a constructor that passes kKind to KernelObject; its destructor releases what the
//      object owns (it runs when the last handle and the last reference are gone);
//   3. the call that creates it returns insertHandle(std::make_shared<T>(...)); the calls that
//      use it look it up with referenceHandleAs<T>(handle), which answers null for a handle
//      that is not open or refers to another kind (report ERROR_INVALID_HANDLE then).
// CloseHandle needs nothing new: it closes handles of every kind.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "win32/win_types.h"

namespace standin::win32 {

enum class ObjectKind : std::uint32_t {
    RegistryKey = 1,
    Process = 2,
    ProcessThread = 3,  // the primary thread of a process that this process started
    Event = 4,
    Thread = 5,  // a thread of this process
    Device = 6,  // an open device interface: one file object of a driver of the machine
};

class KernelObject {
  public:
    explicit KernelObject(ObjectKind kind) : kind_(kind) {}
    virtual ~KernelObject() = default;
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    ObjectKind kind() const { return kind_; }
    // A handle of the object was closed (the object itself lives on while referenced).
    virtual void handleClosed() {}

  private:
    ObjectKind kind_;
};

// Adds a handle for the object. NULL (last error ERROR_NOT_ENOUGH_MEMORY) when the table is
// full or the object is null.
HANDLE insertHandle(std::shared_ptr<KernelObject> object);

// The object a handle refers to, or null when the handle is not open.
std::shared_ptr<KernelObject> referenceHandle(HANDLE handle);

template <class T>
std::shared_ptr<T> referenceHandleAs(HANDLE handle) {
    std::shared_ptr<KernelObject> object = referenceHandle(handle);
    if (!object || object->kind() != T::kKind) return nullptr;
    return std::static_pointer_cast<T>(object);
}

// Removes a handle; the object goes when nothing else references it. False when the handle was
// not open.
bool removeHandle(HANDLE handle);

// Number of open handles (for tests and diagnostics).
std::size_t openHandleCount();

// A handle value as a 32-bit word and back.
inline std::uint32_t handleToWord(HANDLE h) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h));
}
inline HANDLE wordToHandle(std::uint32_t w) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(w));
}

}  // namespace standin::win32
