// The reference-counted base of the library's COM objects.

#include "com_base.h"

LONG volatile liveObjectCount = 0;
LONG volatile serverLockCount = 0;

namespace {

// A reference count as COM callers see it: never 0 while the object lives.
ULONG reportedCount(LONG count) {
    return static_cast<ULONG>(count) < 1 ? 1 : static_cast<ULONG>(count);
}

}  // namespace

CBaseObject::CBaseObject(LPCTSTR /*name*/) {
    InterlockedIncrement(&liveObjectCount);
}

CBaseObject::~CBaseObject() {
    InterlockedDecrement(&liveObjectCount);
}

CUnknown::CUnknown(LPCTSTR name, LPUNKNOWN outer, HRESULT* /*result*/)
    : CBaseObject(name),
      ownView(this),
      ownerUnknown(outer != nullptr ? outer : &ownView),
      refCount(0) {}

CUnknown::~CUnknown() = default;

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown)) return GetInterface(&ownView, ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
    return reportedCount(InterlockedIncrement(&refCount));
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
    const LONG count = InterlockedDecrement(&refCount);
    if (count == 0) {
        // A reference taken and dropped again while the destructor runs must not delete the
        // object a second time.
        InterlockedExchange(&refCount, 1);
        delete this;
        return 0;
    }
    return reportedCount(count);
}

HRESULT GetInterface(LPUNKNOWN unknown, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = unknown;
    unknown->AddRef();
    return S_OK;
}
