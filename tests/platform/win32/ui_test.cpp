// The UI framework: module states, the library's entry, and GDI+ start-up and shut-down.

#include <thread>

#include "standin/win32/testing.h"
#include "test_support.h"
#include "ui/afx.h"
#include "ui/standin_ui.h"
#include "win32/windows.h"

namespace {

class CTestProgramApp : public CWinApp {};
CTestProgramApp theProgramApp;

using Events = std::vector<std::string>;

TEST(ModuleState, EachModuleFindsItsOwnApplication) {
    EXPECT_EQ(AfxGetApp(), &theProgramApp);
    EXPECT_EQ(AfxGetInstanceHandle(), GetModuleHandleA(nullptr));
    win32test::takeRecordedEvents();

    HMODULE library = LoadLibraryA(VQ_TEST_UI_MODULE_PATH);
    ASSERT_NE(library, nullptr) << standin::win32::lastLoaderMessage();
    EXPECT_EQ(win32test::takeRecordedEvents(), (Events{"library-init"}));

    auto withSwitch =
        reinterpret_cast<CWinApp* (*)()>(GetProcAddress(library, "VqAppSeenWithSwitch"));
    auto withoutSwitch =
        reinterpret_cast<CWinApp* (*)()>(GetProcAddress(library, "VqAppSeenWithoutSwitch"));
    auto libraryApp = reinterpret_cast<CWinApp* (*)()>(GetProcAddress(library, "VqLibraryApp"));
    auto instance =
        reinterpret_cast<HINSTANCE (*)()>(GetProcAddress(library, "VqInstanceSeenWithSwitch"));
    ASSERT_TRUE(withSwitch && withoutSwitch && libraryApp && instance);

    EXPECT_EQ(withSwitch(), libraryApp());
    EXPECT_NE(libraryApp(), static_cast<CWinApp*>(&theProgramApp));
    EXPECT_EQ(instance(), library);
    EXPECT_EQ(withoutSwitch(), &theProgramApp);
    EXPECT_EQ(AfxGetApp(), &theProgramApp);  // the switch ended with the call

    // The switch belongs to the thread that makes it.
    CWinApp* seenByThread = nullptr;
    std::thread([&] {
        AFX_MANAGE_STATE(AfxGetModuleState());
        seenByThread = withSwitch();
    }).join();
    EXPECT_EQ(seenByThread, libraryApp());

    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_EQ(win32test::takeRecordedEvents(), (Events{"library-exit"}));
    EXPECT_EQ(AfxGetApp(), &theProgramApp);
}

TEST(Gdiplus, StartupHooksAndShutdownBalance) {
    standin::ui::resetGdiplusCounters();
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input(nullptr, TRUE, FALSE);
    Gdiplus::GdiplusStartupOutput output{};
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &input, &output), Gdiplus::Ok);
    ASSERT_NE(output.NotificationHook, nullptr);
    ASSERT_NE(output.NotificationUnhook, nullptr);
    ULONG_PTR hook = 0;
    EXPECT_EQ(output.NotificationHook(&hook), Gdiplus::Ok);
    EXPECT_NE(hook, 0u);
    auto c = standin::ui::gdiplusCounters();
    EXPECT_EQ(c.startups, 1);
    EXPECT_EQ(c.liveSessions, 1);
    EXPECT_EQ(c.liveHooks, 1);

    output.NotificationUnhook(hook);
    output.NotificationUnhook(hook);  // twice: caught
    Gdiplus::GdiplusShutdown(token);
    Gdiplus::GdiplusShutdown(token);  // twice: caught
    c = standin::ui::gdiplusCounters();
    EXPECT_EQ(c.shutdowns, 1);
    EXPECT_EQ(c.liveSessions, 0);
    EXPECT_EQ(c.unhooks, 1);
    EXPECT_EQ(c.liveHooks, 0);
    EXPECT_EQ(c.badUnhooks, 1);
    EXPECT_EQ(c.badShutdowns, 1);
    EXPECT_EQ(c.shutdownsWithLiveHooks, 0);
}

TEST(Gdiplus, BackgroundThreadAndBadInput) {
    standin::ui::resetGdiplusCounters();
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput withThread;  // version 1, background thread on
    Gdiplus::GdiplusStartupOutput output{};
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &withThread, &output), Gdiplus::Ok);
    EXPECT_EQ(output.NotificationHook, nullptr);  // the background thread does the work
    Gdiplus::GdiplusShutdown(token);

    Gdiplus::GdiplusStartupInput suppressed(nullptr, TRUE, FALSE);
    EXPECT_EQ(Gdiplus::GdiplusStartup(&token, &suppressed, nullptr), Gdiplus::InvalidParameter);

    // A shut-down before the hook is removed is counted.
    ASSERT_EQ(Gdiplus::GdiplusStartup(&token, &suppressed, &output), Gdiplus::Ok);
    ULONG_PTR hook = 0;
    output.NotificationHook(&hook);
    Gdiplus::GdiplusShutdown(token);
    auto c = standin::ui::gdiplusCounters();
    EXPECT_EQ(c.startups, 2);
    EXPECT_EQ(c.shutdowns, 2);
    EXPECT_EQ(c.shutdownsWithLiveHooks, 1);
    EXPECT_EQ(c.liveHooks, 0);
}

}  // namespace
