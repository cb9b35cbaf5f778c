// The library as an in-process COM server: the classes it serves, their class factory, and the
// four COM entry points. None of them enters the library's module state.

#include <cstdio>
#include <new>

#include "asio_driver.h"
#include "com_base.h"
#include "library.h"

namespace {

constexpr const char* kModuleFileName = "VexaAsioVq36.dll";
constexpr const char* kRegistryName = "Vexa VQ36";
constexpr const char* kDescription = "Vexa VQ36";
constexpr const char* kThreadingModel = "Apartment";
constexpr const char* kMessageBoxCaption = "Vexa VQ36 ASIO Driver";
constexpr HRESULT kRegistrationFailed = -1;

void reportRegistrationFailure(const char* format, LONG code) {
    char text[128];
    std::snprintf(text, sizeof text, format, static_cast<int>(code));
    MessageBoxA(nullptr, text, kMessageBoxCaption, MB_OK);
}

}  // namespace

const CFactoryTemplate g_Templates[] = {
    {L"VEXAASIO", &CLSID_VexaAsioVq36, AAsio::CreateInstance, nullptr, nullptr},
};
const int g_cTemplates = sizeof g_Templates / sizeof g_Templates[0];

// ---- Class factory ---------------------------------------------------------------------------

CClassFactory::CClassFactory(const CFactoryTemplate* entry)
    : CBaseObject(nullptr), m_pTemplate(entry), refCount(0) {}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() {
    // Interlocked like Release: a reference taken on one thread while another drops one must
    // not be lost.
    return static_cast<ULONG>(InterlockedIncrement(&refCount));
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
    const LONG count = InterlockedDecrement(&refCount);
    if (count == 0) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(LPUNKNOWN outer, REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    // Inside an aggregate the outer object must hold the inner one by its own identity.
    if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;

    HRESULT hr = S_OK;
    CUnknown* object = nullptr;
    try {
        object = m_pTemplate->m_lpfnNew(outer, &hr);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;  // nothing but a result code goes back to the caller
    }
    if (object == nullptr) return FAILED(hr) ? hr : E_OUTOFMEMORY;
    if (FAILED(hr)) {
        delete object;
        return hr;
    }
    // The query takes the caller's reference; an object whose query fails goes again.
    object->NonDelegatingAddRef();
    hr = object->NonDelegatingQueryInterface(riid, ppv);
    if (FAILED(hr)) *ppv = nullptr;
    object->NonDelegatingRelease();
    return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
    if (lock) {
        InterlockedIncrement(&serverLockCount);
    } else {
        InterlockedDecrement(&serverLockCount);
    }
    return S_OK;
}

// ---- COM entry points ------------------------------------------------------------------------

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    for (int i = 0; i < g_cTemplates; ++i) {
        const CFactoryTemplate* entry = &g_Templates[i];
        if (!entry->IsClassID(rclsid)) continue;
        auto* factory = new (std::nothrow) CClassFactory(entry);
        if (factory == nullptr) return E_OUTOFMEMORY;
        *ppv = static_cast<IClassFactory*>(factory);
        factory->AddRef();
        return S_OK;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    const LONG locks = __atomic_load_n(&serverLockCount, __ATOMIC_SEQ_CST);
    const LONG objects = __atomic_load_n(&liveObjectCount, __ATOMIC_SEQ_CST);
    return locks > 0 || objects != 0 ? S_FALSE : S_OK;
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
    DebugLog(1, "DllRegisterServer");
    const LONG rc = registerAsioDriver(CLSID_VexaAsioVq36, kModuleFileName, kRegistryName,
                                       kDescription, kThreadingModel);
    if (rc == 0) return S_OK;
    reportRegistrationFailure("Register Server failed! (%d)", rc);
    return kRegistrationFailed;
}

HRESULT STDAPICALLTYPE DllUnregisterServer() {
    DebugLog(1, "DllUnregisterServer");
    const LONG rc = unregisterAsioDriver(CLSID_VexaAsioVq36, kModuleFileName, kRegistryName);
    if (rc == 0) return S_OK;
    reportRegistrationFailure("Unregister Server failed! (%d)", rc);
    return kRegistrationFailed;
}
