// The framework's DLL entry, compiled into each library that uses the framework: the library's
// DllMain. The library's application object is constructed by the library's static
// initialisation, before the attach; the entry only runs InitInstance at the attach and
// ExitInstance at the detach, with the library's module current.

#include "ui/afx.h"

extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HINSTANCE hInstance,
                                                                      DWORD dwReason,
                                                                      LPVOID /*lpReserved*/) {
    AFX_MODULE_STATE* state = AfxGetStaticModuleState();
    AFX_MANAGE_STATE(state);
    CWinApp* app = state->m_pCurrentWinApp;
    if (dwReason == DLL_PROCESS_ATTACH) {
        state->m_hCurrentInstanceHandle = hInstance;
        state->m_hCurrentResourceHandle = hInstance;
        if (app == nullptr) return TRUE;
        app->m_hInstance = hInstance;
        if (!app->InitInstance()) {
            app->ExitInstance();
            return FALSE;
        }
        state->m_bAppInitialized = TRUE;
        return TRUE;
    }
    if (dwReason == DLL_PROCESS_DETACH && app != nullptr && state->m_bAppInitialized) {
        state->m_bAppInitialized = FALSE;
        app->ExitInstance();
    }
    return TRUE;
}
