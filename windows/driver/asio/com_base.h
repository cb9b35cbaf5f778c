#pragma once
// The library's COM side: the reference-counted object base, the table of classes that the
// library serves, the class factory, the COM entry points and the registration of the driver.

#include "win32/windows.h"

// The ASIO driver class; ASIO hosts also ask for it as the interface id of IASIO.
inline constexpr CLSID CLSID_VexaAsioVq36 = {
    0xA3C9E217, 0x6F4B, 0x4D8A, {0x9E, 0x05, 0x2B, 0x71, 0xC8, 0x4D, 0x6F, 0x3A}};

// ---- Process-wide counters -------------------------------------------------------------------

// Existing CBaseObject instances (driver objects and class factories); changed only by
// interlocked increment and decrement. DllCanUnloadNow reads it.
extern LONG volatile liveObjectCount;
// The balance of LockServer calls.
extern LONG volatile serverLockCount;

// ---- Object base -----------------------------------------------------------------------------

// Counts one live object for as long as it exists.
class CBaseObject {
  public:
    explicit CBaseObject(LPCTSTR name);  // the name is not kept
    ~CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;
};

// The object's own identity: its reference count and the interfaces it serves, whoever owns it.
struct INonDelegatingUnknown {
    virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
};

// The base of the library's COM objects. A derived class implements its interfaces' IUnknown
// methods by forwarding them to GetOwner(): the outer object when it was created inside an
// aggregate, else its own non-delegating identity, so that every reference and every query goes
// to the one that owns the object.
class CUnknown : public INonDelegatingUnknown, public CBaseObject {
  public:
    // `result` is for derived classes to report a failed construction; it is not written here.
    CUnknown(LPCTSTR name, LPUNKNOWN outer, HRESULT* result);
    virtual ~CUnknown();
    CUnknown(const CUnknown&) = delete;
    CUnknown& operator=(const CUnknown&) = delete;

    // IID_IUnknown: the object's own identity (an aggregate keeps it as the inner object's
    // controlling pointer). Derived classes answer their own interfaces first.
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
    // At zero the object deletes itself.
    ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

    IUnknown* GetOwner() const { return ownerUnknown; }

  private:
    // The non-delegating identity as an IUnknown: its three slots call the three above.
    class NonDelegatingView final : public IUnknown {
      public:
        explicit NonDelegatingView(CUnknown* object) : object(object) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
            return object->NonDelegatingQueryInterface(riid, ppv);
        }
        ULONG STDMETHODCALLTYPE AddRef() override { return object->NonDelegatingAddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return object->NonDelegatingRelease(); }

      private:
        CUnknown* const object;
    };

    NonDelegatingView ownView;
    IUnknown* const ownerUnknown;
    LONG volatile refCount;
};

// Hands out an interface: stores it in *ppv and takes a reference through it. E_POINTER for a
// null ppv.
HRESULT GetInterface(LPUNKNOWN unknown, void** ppv);

// ---- Classes served --------------------------------------------------------------------------

// Makes an object of a class inside `outer` (or standing alone when null) and returns its
// CUnknown part, not yet referenced; null when it cannot be made. A failed construction may
// also be reported in *result.
typedef CUnknown*(WINAPI* LPFNNewCOMObject)(LPUNKNOWN outer, HRESULT* result);
typedef void(WINAPI* LPFNInitRoutine)(BOOL loading, const CLSID* clsid);

struct CFactoryTemplate {
    const WCHAR* m_Name;
    const CLSID* m_ClsID;
    LPFNNewCOMObject m_lpfnNew;
    LPFNInitRoutine m_lpfnInit;
    const void* m_pSetupData;

    bool IsClassID(REFCLSID clsid) const { return IsEqualCLSID(*m_ClsID, clsid); }
};

extern const CFactoryTemplate g_Templates[];
extern const int g_cTemplates;

// The class object of one template entry.
class CClassFactory final : public IClassFactory, public CBaseObject {
  public:
    explicit CClassFactory(const CFactoryTemplate* entry);  // reference count 0

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(LPUNKNOWN outer, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  private:
    const CFactoryTemplate* const m_pTemplate;
    LONG volatile refCount;
};

// ---- COM entry points (exported by their undecorated names) ----------------------------------

#define COM_ENTRY_POINT __attribute__((visibility("default"))) HRESULT STDAPICALLTYPE

extern "C" {
COM_ENTRY_POINT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
COM_ENTRY_POINT DllCanUnloadNow();
COM_ENTRY_POINT DllRegisterServer();
COM_ENTRY_POINT DllUnregisterServer();
}

// ---- Registration ----------------------------------------------------------------------------

// Registers the module of that file name, which must be loaded in the process, as the in-process
// server of the class, and the driver under HKEY_LOCAL_MACHINE\SOFTWARE\ASIO\<registry name>.
// 0, or -101 (no loaded module of that name), -102 (no module path), -103 (no class-id text),
// -104 (class-id text not convertible). Failures of the registry writes are not reported.
LONG registerAsioDriver(REFCLSID clsid, const char* dllName, const char* regName,
                        const char* description, const char* threadingModel);
// Removes what registerAsioDriver wrote; the same results.
LONG unregisterAsioDriver(REFCLSID clsid, const char* dllName, const char* regName);

// Registry helpers. Keys are opened with the default access and closed again.
// 1 when the key opens, 0 when it does not, -1 for a null path.
int regKeyExists(const char* path, HKEY root);
// Creates `name` below the key at `parentPath` unless it exists; 0, or -1.
int regCreateSubkey(HKEY root, const char* parentPath, const char* name);
// Writes `string` as REG_SZ of its length, without a terminating zero, into the value (null:
// the default value) of the key at `path`; 0, or -1.
int regSetString(const char* path, HKEY root, const char* string, const char* valueName);
// Reads a value into `buffer` as a zero-terminated string when it fits with its terminator; 0,
// or -1 (buffer untouched).
int regGetString(const char* path, HKEY root, const char* valueName, char* buffer, DWORD size);
// Deletes the key `name` below the key at `parentPath`, with every key below it; 0 when at
// least one key was handled, else -1.
int regDeleteTree(const char* name, HKEY root, const char* parentPath);
