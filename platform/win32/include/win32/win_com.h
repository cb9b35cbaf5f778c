#pragma once
// COM basics: identifiers, result codes, IUnknown and IClassFactory, task memory, class-id
// text, the ANSI/wide conversions, and the client side of in-process servers.
//
// Wide characters are the compiler's wchar_t, so that L"..." literals mean what they mean on the
// platform; here they are 32 bits wide, not 16. Nothing that crosses a module boundary depends
// on their size.

#include "win32/win_types.h"

// Calling-convention markers of COM methods and API functions: nothing to say on x86-64.
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE

typedef LONG HRESULT;
typedef wchar_t WCHAR;
typedef WCHAR OLECHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* LPCWCH;
typedef const CHAR* LPCCH;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;

typedef GUID IID;
typedef GUID CLSID;
typedef IID* LPIID;
typedef CLSID* LPCLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
}
inline bool IsEqualIID(REFIID a, REFIID b) {
    return IsEqualGUID(a, b);
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) {
    return IsEqualGUID(a, b);
}
inline bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}

inline constexpr GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr CLSID CLSID_NULL = GUID_NULL;
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// ---- Result codes ----------------------------------------------------------------------------
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

#define S_OK static_cast<HRESULT>(0x00000000L)
#define S_FALSE static_cast<HRESULT>(0x00000001L)
#define NOERROR S_OK
#define E_UNEXPECTED static_cast<HRESULT>(0x8000FFFFL)
#define E_NOTIMPL static_cast<HRESULT>(0x80004001L)
#define E_NOINTERFACE static_cast<HRESULT>(0x80004002L)
#define E_POINTER static_cast<HRESULT>(0x80004003L)
#define E_FAIL static_cast<HRESULT>(0x80004005L)
#define E_OUTOFMEMORY static_cast<HRESULT>(0x8007000EL)
#define E_INVALIDARG static_cast<HRESULT>(0x80070057L)
#define CLASS_E_NOAGGREGATION static_cast<HRESULT>(0x80040110L)
#define CLASS_E_CLASSNOTAVAILABLE static_cast<HRESULT>(0x80040111L)
#define REGDB_E_CLASSNOTREG static_cast<HRESULT>(0x80040154L)
#define CO_E_NOTINITIALIZED static_cast<HRESULT>(0x800401F0L)
#define CO_E_CLASSSTRING static_cast<HRESULT>(0x800401F3L)
#define CO_E_ERRORINDLL static_cast<HRESULT>(0x800401F9L)
#define SELFREG_E_CLASS static_cast<HRESULT>(0x80040201L)

#define FACILITY_WIN32 7
// A Win32 error code as a result code (0 stays S_OK).
inline HRESULT HRESULT_FROM_WIN32(unsigned long x) {
    return static_cast<HRESULT>(x) <= 0
               ? static_cast<HRESULT>(x)
               : static_cast<HRESULT>((x & 0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000);
}

// ---- Interfaces ------------------------------------------------------------------------------
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                     void** ppvObject) = 0;
    virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};
typedef IClassFactory* LPCLASSFACTORY;

extern "C" {

// ---- Task memory -----------------------------------------------------------------------------
// Memory that one module hands to another (class-id text, for example). A zero size still gives
// a block; CoTaskMemFree(NULL) does nothing.
LPVOID STDAPICALLTYPE CoTaskMemAlloc(SIZE_T cb);
void STDAPICALLTYPE CoTaskMemFree(LPVOID pv);

// ---- Class ids as text ----------------------------------------------------------------------
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in upper-case hexadecimal, in task memory that the
// caller frees with CoTaskMemFree. E_INVALIDARG for a null out pointer, E_OUTOFMEMORY.
HRESULT STDAPICALLTYPE StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz);
// The braced form back (hexadecimal digits of either case). A null text gives CLSID_NULL and
// S_OK; any other form CO_E_CLASSSTRING (and CLSID_NULL); a null out pointer E_INVALIDARG.
HRESULT STDAPICALLTYPE CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);

// ---- ANSI and wide text ---------------------------------------------------------------------
// The ANSI code page is 1252. CP_ACP and 1252 are the code pages served; flags must be 0.
// A length of -1 means "up to and with the terminating zero". A zero output size asks for the
// size needed. Results: characters (or bytes) written, or 0 with the last error
// ERROR_INVALID_PARAMETER, ERROR_INVALID_FLAGS or ERROR_INSUFFICIENT_BUFFER.
#define CP_ACP 0
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar);
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);

// ---- The client side of in-process servers ---------------------------------------------------
// A class is found under HKEY_CLASSES_ROOT\CLSID\{class id}\InprocServer32, whose default value
// names the server module. The module is loaded with LoadLibraryA (once: this layer keeps one
// reference per server module) and asked through its exported DllGetClassObject.
//
// Threads call CoInitialize before the other calls (else CO_E_NOTINITIALIZED). There are no
// apartments: an object is called directly from any thread, whatever its threading model.
// CoFreeUnusedLibraries asks each server module's DllCanUnloadNow and unloads those that answer
// S_OK (a module without that export stays). When the last initialised thread of the process
// calls CoUninitialize, the same happens; unlike the platform, a server that still has objects
// is then left loaded rather than unloaded under them.
#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL \
    (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

// S_OK for the thread's first call, S_FALSE for a nested one; E_INVALIDARG for a non-null
// argument.
HRESULT STDAPICALLTYPE CoInitialize(LPVOID pvReserved);
void STDAPICALLTYPE CoUninitialize();

// Results, besides what the server's DllGetClassObject and CreateInstance answer:
// REGDB_E_CLASSNOTREG (class, its InprocServer32 key or its module name missing, or a context
// without CLSCTX_INPROC_SERVER), HRESULT_FROM_WIN32 of the loader's error when the module does
// not load, CO_E_ERRORINDLL when it has no DllGetClassObject, E_POINTER for a null out pointer.
// A server that gave no object and can unload is unloaded again at once.
HRESULT STDAPICALLTYPE CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved,
                                        REFIID riid, LPVOID* ppv);
HRESULT STDAPICALLTYPE CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext,
                                        REFIID riid, LPVOID* ppv);
void STDAPICALLTYPE CoFreeUnusedLibraries();

}  // extern "C"
