#pragma once
// The UI framework stand-in: the one header product code includes.
//
// This part holds the application object and the module state:
//  - Every module that uses the framework (the program, and each library) has its own module
//    state: its application object and its instance handle. A module compiles in the
//    framework's module part (the `standin_ui_module` object library) for it; a library also
//    compiles in the framework's DLL entry (`standin_ui_dll_entry`), which is its DllMain.
//  - A thread has a current module state. Without a switch it is the program's. Code that a
//    library runs on behalf of others (exported functions, its threads, interface methods)
//    starts with AFX_MANAGE_STATE(AfxGetStaticModuleState()), which makes the library's own
//    module current for the calling thread until the end of the enclosing block, so that
//    AfxGetApp() finds the library's application object even when the program has one.
//  - A CWinApp registers itself with the module state of the module that defines it, when it
//    is constructed (during the module's static initialisation).
//  - The DLL entry runs the application's InitInstance() when the library is attached to the
//    process (after its static initialisation) and ExitInstance() when it is detached (before
//    its static destruction), each with the library's module current.

#include "ui/gdiplus.h"
#include "win32/windows.h"

#define AFX_MODULE_LOCAL __attribute__((visibility("hidden")))
#define AFX_API __attribute__((visibility("default")))

class AFX_API CWinApp;
class AFX_API CCmdTarget;

struct AFX_MODULE_STATE {
    CWinApp* m_pCurrentWinApp;
    HINSTANCE m_hCurrentInstanceHandle;
    HINSTANCE m_hCurrentResourceHandle;
    BOOL m_bAppInitialized;  // InitInstance succeeded and ExitInstance has not run
};

// The calling thread's current module state.
AFX_API AFX_MODULE_STATE* AfxGetModuleState();

// The module state of the module that calls it (each module has its own definition).
AFX_MODULE_STATE* AfxGetStaticModuleState() AFX_MODULE_LOCAL;

// Makes a module state current for the calling thread for the object's lifetime.
class AFX_API AFX_MAINTAIN_STATE {
  public:
    explicit AFX_MAINTAIN_STATE(AFX_MODULE_STATE* pNewState);
    ~AFX_MAINTAIN_STATE();
    AFX_MAINTAIN_STATE(const AFX_MAINTAIN_STATE&) = delete;
    AFX_MAINTAIN_STATE& operator=(const AFX_MAINTAIN_STATE&) = delete;

  private:
    AFX_MODULE_STATE* m_pPrevModuleState;
};

#define AFX_MANAGE_STATE(p) AFX_MAINTAIN_STATE _afxManageModuleState(p)

// The current module's application object (null when it has none).
AFX_API CWinApp* AfxGetApp();
// The current module's instance handle.
AFX_API HINSTANCE AfxGetInstanceHandle();

// ---- Message maps ----------------------------------------------------------------------------
typedef void (CCmdTarget::*AFX_PMSG)();

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    UINT_PTR nSig;
    AFX_PMSG pfn;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                         \
  protected:                                          \
    static const AFX_MSGMAP* GetThisMessageMap();     \
    const AFX_MSGMAP* GetMessageMap() const override; \
                                                      \
  private:

#define BEGIN_MESSAGE_MAP(theClass, baseClass)          \
    const AFX_MSGMAP* theClass::GetMessageMap() const { \
        return GetThisMessageMap();                     \
    }                                                   \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {   \
        using ThisClass [[maybe_unused]] = theClass;    \
        using TheBaseClass = baseClass;                 \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {
#define END_MESSAGE_MAP()                                                                         \
    { 0, 0, 0, 0, 0, nullptr }                                                                    \
    }                                                                                             \
    ;                                                                                             \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
    return &messageMap;                                                                           \
    }

class AFX_API CCmdTarget {
  public:
    CCmdTarget();
    virtual ~CCmdTarget();
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;

  protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

// ---- Application object ------------------------------------------------------------------
class AFX_API CWinApp : public CCmdTarget {
  public:
    // Registers the object with the module state of the module that constructs it.
    explicit CWinApp(LPCSTR lpszAppName = nullptr) AFX_MODULE_LOCAL;
    ~CWinApp() override;

    virtual BOOL InitInstance();  // TRUE
    virtual int ExitInstance();   // the exit code: 0

    LPCSTR m_pszAppName;
    HINSTANCE m_hInstance;

    DECLARE_MESSAGE_MAP()

  private:
    AFX_MODULE_STATE* m_pModuleState;
};

// The framework's class factories for OLE objects. This system registers none; the call
// registers what there is (nothing) and succeeds.
class AFX_API COleObjectFactory {
  public:
    static BOOL RegisterAll();
};
