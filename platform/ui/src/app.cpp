// Module states, the current module of each thread, and the application object.

#include <atomic>

#include "ui/afx.h"
#include "ui/standin_ui.h"

namespace {

// The program's module state until the program's own module part registers one.
AFX_MODULE_STATE gDefaultProgramState{};
std::atomic<AFX_MODULE_STATE*> gProgramState{&gDefaultProgramState};

thread_local AFX_MODULE_STATE* tCurrentState = nullptr;

const AFX_MSGMAP_ENTRY kNoEntries[] = {{0, 0, 0, 0, 0, nullptr}};
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
