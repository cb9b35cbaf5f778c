// Module states, the current module of each thread, and the application object.

#include <atomic>

#include "ui/afx.h"
#include "ui/standin_ui.h"

namespace {

// The program's module state until the program's own module part registers one.
AFX_MODULE_STATE gDefaultProgramState{};
std::atomic<AFX_MODULE_STATE*> gProgramState{&gDefaultProgramState};

thread_local AFX_MODULE_STATE* tCurrentState = nullptr;

const AFX_MSGMAP_ENTRY kNoEntries[] = {{0, 0, 0, 0, 0, nullptr, nullptr}};
const AFX_MSGMAP kCmdTargetMap = {nullptr, &kNoEntries[0]};

}  // namespace

AFX_MODULE_STATE* AfxGetModuleState() {
    return tCurrentState != nullptr ? tCurrentState : gProgramState.load();
}

AFX_MAINTAIN_STATE::AFX_MAINTAIN_STATE(AFX_MODULE_STATE* pNewState)
    : m_pPrevModuleState(tCurrentState) {
    tCurrentState = pNewState;
}

AFX_MAINTAIN_STATE::~AFX_MAINTAIN_STATE() {
    tCurrentState = m_pPrevModuleState;
}

CWinApp* AfxGetApp() {
    return AfxGetModuleState()->m_pCurrentWinApp;
}

HINSTANCE AfxGetInstanceHandle() {
    return AfxGetModuleState()->m_hCurrentInstanceHandle;
}

HINSTANCE AfxGetResourceHandle() {
    return AfxGetModuleState()->m_hCurrentResourceHandle;
}

// ---- Objects ------------------------------------------------------------------------------------
BOOL CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBaseClass) const {
    for (const CRuntimeClass* c = this; c != nullptr;
         c = c->m_pfnGetBaseClass ? c->m_pfnGetBaseClass() : nullptr) {
        if (c == pBaseClass) return TRUE;
    }
    return FALSE;
}

CRuntimeClass* CObject::GetThisClass() {
    static CRuntimeClass rc = {"CObject", static_cast<int>(sizeof(CObject)), 0xFFFF, nullptr,
                               nullptr};
    return &rc;
}
CRuntimeClass* CObject::GetRuntimeClass() const {
    return GetThisClass();
}
CObject::~CObject() = default;
BOOL CObject::IsKindOf(const CRuntimeClass* pClass) const {
    return GetRuntimeClass()->IsDerivedFrom(pClass);
}

CRuntimeClass* CCmdTarget::GetThisClass() {
    static CRuntimeClass rc = {"CCmdTarget", static_cast<int>(sizeof(CCmdTarget)), 0xFFFF, nullptr,
                               &CObject::GetThisClass};
    return &rc;
}
CRuntimeClass* CCmdTarget::GetRuntimeClass() const {
    return GetThisClass();
}

const AFX_MSGMAP_ENTRY* CCmdTarget::FindMessageEntry(UINT message, UINT code, UINT id) const {
    for (const AFX_MSGMAP* map = GetMessageMap(); map != nullptr;
         map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->nSig != 0; ++e) {
            if (e->nMessage != message) continue;
            if (message == WM_COMMAND && (e->nCode != code || id < e->nID || id > e->nLastID))
                continue;
            return e;
        }
        if (map->pfnGetBaseMap == nullptr) break;
    }
    return nullptr;
}

CCmdTarget::CCmdTarget() = default;
CCmdTarget::~CCmdTarget() = default;
const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    return &kCmdTargetMap;
}
const AFX_MSGMAP* CCmdTarget::GetMessageMap() const {
    return GetThisMessageMap();
}

CWinApp::~CWinApp() {
    if (m_pModuleState != nullptr && m_pModuleState->m_pCurrentWinApp == this) {
        m_pModuleState->m_pCurrentWinApp = nullptr;
    }
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::ExitInstance() {
    return 0;
}

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

BOOL COleObjectFactory::RegisterAll() {
    return TRUE;
}

namespace standin::ui {

void setProgramModuleState(AFX_MODULE_STATE* state) {
    gProgramState.store(state != nullptr ? state : &gDefaultProgramState);
}

}  // namespace standin::ui
