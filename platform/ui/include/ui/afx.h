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
#include "ui/win_gdi.h"
#include "win32/windows.h"

#define AFX_MODULE_LOCAL __attribute__((visibility("hidden")))
#define AFX_API __attribute__((visibility("default")))

class AFX_API CWinApp;
class AFX_API CCmdTarget;
class AFX_API CWnd;
class AFX_API CDC;

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
// The current module's instance handle, and the module its resources are looked up in.
AFX_API HINSTANCE AfxGetInstanceHandle();
AFX_API HINSTANCE AfxGetResourceHandle();

// ---- Objects and run-time class information -------------------------------------------------
class AFX_API CObject;

struct AFX_API CRuntimeClass {
    LPCSTR m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;                   // 0xFFFF: not serialisable
    CObject* (*m_pfnCreateObject)();  // null: no dynamic creation
    CRuntimeClass* (*m_pfnGetBaseClass)();
    BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;
};

class AFX_API CObject {
  public:
    virtual CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject();
    BOOL IsKindOf(const CRuntimeClass* pClass) const;
    static CRuntimeClass* GetThisClass();

  protected:
    CObject() = default;
};

#define RUNTIME_CLASS(class_name) (class_name::GetThisClass())
#define DECLARE_DYNAMIC(class_name)                  \
  public:                                            \
    static CRuntimeClass* GetThisClass();            \
    CRuntimeClass* GetRuntimeClass() const override; \
                                                     \
  private:
#define IMPLEMENT_DYNAMIC(class_name, base_class_name)                                        \
    CRuntimeClass* class_name::GetThisClass() {                                               \
        static CRuntimeClass rc = {#class_name, static_cast<int>(sizeof(class_name)), 0xFFFF, \
                                   nullptr, &base_class_name::GetThisClass};                  \
        return &rc;                                                                           \
    }                                                                                         \
    CRuntimeClass* class_name::GetRuntimeClass() const {                                      \
        return class_name::GetThisClass();                                                    \
    }

// ---- Message maps ----------------------------------------------------------------------------
// An entry names a message (and for WM_COMMAND a notification code and a range of control ids)
// and a thunk that calls the class's handler with the message's parameters unpacked, as the
// platform's handler signatures have them. Maps are searched from the most derived class to its
// bases; the first entry that matches handles the message.
typedef void (CCmdTarget::*AFX_PMSG)();
typedef LRESULT (*AFX_THUNK)(CCmdTarget* target, UINT message, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    UINT_PTR nSig;
    AFX_PMSG pfn;
    AFX_THUNK pfnThunk;
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define afx_msg

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
    { 0, 0, 0, 0, 0, nullptr, nullptr }                                                           \
    }                                                                                             \
    ;                                                                                             \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
    return &messageMap;                                                                           \
    }

// The window message that ON_WM_CTLCOLOR stands for: every WM_CTLCOLORxxx message, with the
// kind (CTLCOLOR_xxx) given to the handler.
#define WM_CTLCOLOR 0x0019
#define CTLCOLOR_MSGBOX 0
#define CTLCOLOR_EDIT 1
#define CTLCOLOR_LISTBOX 2
#define CTLCOLOR_BTN 3
#define CTLCOLOR_DLG 4
#define CTLCOLOR_SCROLLBAR 5
#define CTLCOLOR_STATIC 6

#define AFX_MSG_ENTRY(msg, code, id, lastId, body)                            \
    {msg,                                                                     \
     code,                                                                    \
     id,                                                                      \
     lastId,                                                                  \
     1,                                                                       \
     nullptr,                                                                 \
     [](CCmdTarget* _t, [[maybe_unused]] UINT _m, [[maybe_unused]] WPARAM _w, \
        [[maybe_unused]] LPARAM _l) -> LRESULT {                              \
         [[maybe_unused]] ThisClass* _self = static_cast<ThisClass*>(_t);     \
         body                                                                 \
     }},

#define ON_WM_TIMER() \
    AFX_MSG_ENTRY(WM_TIMER, 0, 0, 0, _self->OnTimer(static_cast<UINT_PTR>(_w)); return 0;)
#define ON_WM_PAINT() AFX_MSG_ENTRY(WM_PAINT, 0, 0, 0, _self->OnPaint(); return 0;)
#define ON_WM_CLOSE() AFX_MSG_ENTRY(WM_CLOSE, 0, 0, 0, _self->OnClose(); return 0;)
#define ON_WM_DESTROY() AFX_MSG_ENTRY(WM_DESTROY, 0, 0, 0, _self->OnDestroy(); return 0;)
#define AFX_MOUSE_ENTRY(msg, fn)                                                                \
    AFX_MSG_ENTRY(msg, 0, 0, 0,                                                                 \
                  _self->fn(static_cast<UINT>(_w), CPoint(GET_X_LPARAM(_l), GET_Y_LPARAM(_l))); \
                  return 0;)
#define ON_WM_LBUTTONDOWN() AFX_MOUSE_ENTRY(WM_LBUTTONDOWN, OnLButtonDown)
#define ON_WM_LBUTTONUP() AFX_MOUSE_ENTRY(WM_LBUTTONUP, OnLButtonUp)
#define ON_WM_MOUSEMOVE() AFX_MOUSE_ENTRY(WM_MOUSEMOVE, OnMouseMove)
#define ON_WM_ERASEBKGND()                     \
    AFX_MSG_ENTRY(WM_ERASEBKGND, 0, 0, 0,      \
                  return static_cast<LRESULT>( \
                      _self->OnEraseBkgnd(CDC::FromHandle(reinterpret_cast<HDC>(_w))));)
#define ON_WM_CTLCOLOR()                                              \
    AFX_MSG_ENTRY(WM_CTLCOLOR, 0, 0, 0,                               \
                  return reinterpret_cast<LRESULT>(_self->OnCtlColor( \
                      CDC::FromHandle(reinterpret_cast<HDC>(_w)),     \
                      CWnd::FromHandle(reinterpret_cast<HWND>(_l)), _m - WM_CTLCOLORMSGBOX));)
#define ON_COMMAND(id, memberFxn)                                                                  \
    AFX_MSG_ENTRY(WM_COMMAND, 0, static_cast<UINT>(id), static_cast<UINT>(id), _self->memberFxn(); \
                  return 0;)
#define ON_CONTROL(code, id, memberFxn)                                       \
    AFX_MSG_ENTRY(WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), \
                  static_cast<UINT>(id), _self->memberFxn();                  \
                  return 0;)
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(0, id, memberFxn)
#define ON_CBN_CLOSEUP(id, memberFxn) ON_CONTROL(CBN_CLOSEUP, id, memberFxn)
#define ON_CBN_SELCHANGE(id, memberFxn) ON_CONTROL(CBN_SELCHANGE, id, memberFxn)
#define ON_CBN_DROPDOWN(id, memberFxn) ON_CONTROL(CBN_DROPDOWN, id, memberFxn)
#define ON_MESSAGE(message, memberFxn) \
    AFX_MSG_ENTRY(message, 0, 0, 0, return _self->memberFxn(_w, _l);)

class AFX_API CCmdTarget : public CObject {
  public:
    CCmdTarget();
    ~CCmdTarget() override;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    static CRuntimeClass* GetThisClass();
    CRuntimeClass* GetRuntimeClass() const override;

    // The first entry of this object's maps that handles the message (null when none does).
    const AFX_MSGMAP_ENTRY* FindMessageEntry(UINT message, UINT code, UINT id) const;

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

#include "ui/afx_wnd.h"
