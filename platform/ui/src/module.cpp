// The framework's module part, compiled into each module that uses the framework: the
// module's own state and the application object's registration with it.

#include <mutex>

#include "standin/win32/modules.h"
#include "ui/afx.h"
#include "ui/standin_ui.h"

namespace {

// Constant-initialised, so that it is ready before any of the module's static objects.
constinit AFX_MODULE_STATE gModuleState{};
constinit std::once_flag gModuleStateSetUp;

}  // namespace

AFX_MODULE_STATE* AfxGetStaticModuleState() {
    std::call_once(gModuleStateSetUp, [] {
        HMODULE self = standin::win32::moduleFromAddress(&gModuleState);
        gModuleState.m_hCurrentInstanceHandle = self;
        gModuleState.m_hCurrentResourceHandle = self;
        // The program's own module state is what threads see without a switch.
        if (self != nullptr && self == GetModuleHandleA(nullptr)) {
            standin::ui::setProgramModuleState(&gModuleState);
        }
    });
    return &gModuleState;
}

CWinApp::CWinApp(LPCSTR lpszAppName)
    : m_pszAppName(lpszAppName), m_hInstance(nullptr), m_pModuleState(AfxGetStaticModuleState()) {
    m_hInstance = m_pModuleState->m_hCurrentInstanceHandle;
    m_pModuleState->m_pCurrentWinApp = this;
}
