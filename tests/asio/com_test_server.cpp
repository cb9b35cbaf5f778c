// A small in-process server for the tests of COM's client side: one class whose objects only
// count. It reports its entry points, its objects' end and its DllMain calls to the test
// program (which exports vqTestRecord).

#include <new>

#include "win32/windows.h"

extern "C" void vqTestRecord(const char* event);

#define SERVER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr CLSID kServedClass = {
    0x5D2A8C41, 0x9B7E, 0x4F10, {0xA6, 0x3C, 0x0D, 0x51, 0x7E, 0x22, 0x90, 0x4B}};

LONG volatile gLiveObjects = 0;  // objects and class objects
LONG volatile gLocks = 0;

class Counted final : public IUnknown {
  public:
    Counted() { InterlockedIncrement(&gLiveObjects); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (!IsEqualIID(riid, IID_IUnknown)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = InterlockedDecrement(&refs);
        if (count == 0) {
            delete this;
            InterlockedDecrement(&gLiveObjects);
            vqTestRecord("object deleted");
        }
        return static_cast<ULONG>(count);
    }

  private:
    LONG volatile refs = 0;
};

class Factory final : public IClassFactory {
  public:
    Factory() { InterlockedIncrement(&gLiveObjects); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refs));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = InterlockedDecrement(&refs);
        if (count == 0) {
            delete this;
            InterlockedDecrement(&gLiveObjects);
        }
        return static_cast<ULONG>(count);
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        vqTestRecord("CreateInstance");
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        auto* object = new (std::nothrow) Counted();
        if (object == nullptr) return E_OUTOFMEMORY;
        object->AddRef();
        HRESULT hr = object->QueryInterface(riid, ppv);
        object->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) {
            InterlockedIncrement(&gLocks);
        } else {
            InterlockedDecrement(&gLocks);
        }
        return S_OK;
    }

  private:
    LONG volatile refs = 0;
};

}  // namespace

SERVER_EXPORT BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) vqTestRecord("attach");
    if (reason == DLL_PROCESS_DETACH) vqTestRecord("detach");
    return TRUE;
}

SERVER_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    vqTestRecord("DllGetClassObject");
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, kServedClass)) return CLASS_E_CLASSNOTAVAILABLE;
    auto* factory = new (std::nothrow) Factory();
    if (factory == nullptr) return E_OUTOFMEMORY;
    factory->AddRef();
    HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

SERVER_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    const bool unused = __atomic_load_n(&gLiveObjects, __ATOMIC_SEQ_CST) == 0 &&
                        __atomic_load_n(&gLocks, __ATOMIC_SEQ_CST) <= 0;
    vqTestRecord(unused ? "DllCanUnloadNow: S_OK" : "DllCanUnloadNow: S_FALSE");
    return unused ? S_OK : S_FALSE;
}
