// A library with its own application object, for the module-state tests.

#include "ui/afx.h"

extern "C" void vqTestRecord(const char* event);

namespace {

class CTestLibraryApp : public CWinApp {
  public:
    BOOL InitInstance() override {
        // The framework runs this with the library's module current.
        vqTestRecord(AfxGetApp() == this ? "library-init" : "library-init-wrong-app");
        return TRUE;
    }
    int ExitInstance() override {
        vqTestRecord(AfxGetApp() == this ? "library-exit" : "library-exit-wrong-app");
        return CWinApp::ExitInstance();
    }
};

CTestLibraryApp theLibraryApp;

}  // namespace

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

// The application object the calling thread sees, with and without the library's switch.
TEST_EXPORT CWinApp* VqAppSeenWithSwitch() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return AfxGetApp();
}
TEST_EXPORT CWinApp* VqAppSeenWithoutSwitch() {
    return AfxGetApp();
}
TEST_EXPORT CWinApp* VqLibraryApp() {
    return &theLibraryApp;
}
TEST_EXPORT HINSTANCE VqInstanceSeenWithSwitch() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return AfxGetInstanceHandle();
}
