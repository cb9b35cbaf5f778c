// The library's application object: start-up and shut-down of the library in a process.

#include "device_link.h"
#include "library.h"
#include "setup/setup_dialog.h"

// The setup dialog's layout is filled in before the application object is constructed.
namespace {
[[maybe_unused]] const bool gSetupDialogLayoutReady = (InitSetupDialogLayout(), true);
}  // namespace

ADllApp theApp;

CRITICAL_SECTION gOpenWrapperLock;

BEGIN_MESSAGE_MAP(ADllApp, CWinApp)
END_MESSAGE_MAP()

ADllApp::ADllApp()
    : shuttingDown(0),
      gdiplusToken(0),
      notificationHook(nullptr),
      notificationUnhook(nullptr),
      notificationToken(0),
      gdiplusStarted(false) {}

BOOL ADllApp::InitInstance() {
    CWinApp::InitInstance();
    COleObjectFactory::RegisterAll();

    DebugLog(1, "Creating critical section");
    InitializeCriticalSection(&gOpenWrapperLock);

    // The setup dialog draws without GDI+'s background thread: the library runs its
    // notification hook itself. A failed start-up is not reported; the dialog then draws
    // nothing.
    Gdiplus::GdiplusStartupInput input(nullptr, TRUE, FALSE);
    Gdiplus::GdiplusStartupOutput output{};
    gdiplusStarted = Gdiplus::GdiplusStartup(&gdiplusToken, &input, &output) == Gdiplus::Ok;
    if (gdiplusStarted) {
        notificationHook = output.NotificationHook;
        notificationUnhook = output.NotificationUnhook;
        if (notificationHook != nullptr && notificationHook(&notificationToken) != Gdiplus::Ok) {
            notificationUnhook = nullptr;  // no hook to take back
        }
    }
    return TRUE;
}

int ADllApp::ExitInstance() {
    shuttingDown.store(1, std::memory_order_relaxed);

    // Gives the status monitor thread time to see the flag before the lock goes.
    Sleep(1000);
    // Whatever the program left open goes with the library: no thread of it may outlive it. A
    // setup dialog's poll thread that outlived its dialog finishes its update first.
    WaitForDetachedSetupPollThread();
    uShutDownDeviceLink();

    DebugLog(1, "Deleting critical section");
    DeleteCriticalSection(&gOpenWrapperLock);

    DebugLog(1, "Before shut down GDI plus");
    if (gdiplusStarted) {
        if (notificationUnhook != nullptr) notificationUnhook(notificationToken);
        Gdiplus::GdiplusShutdown(gdiplusToken);
        gdiplusStarted = false;
    }
    notificationHook = nullptr;
    notificationUnhook = nullptr;
    DebugLog(1, "After shut down GDI plus");

    int exitCode = CWinApp::ExitInstance();
    CloseDebugLog();
    return exitCode;
}
