// The dialog framework on the offscreen display, driven as a user would (real mouse and key
// messages), with the demonstration dialog of tools/ui_demo: its template, message map, GDI+
// painting, timers, closing paths, and its channel list's drop-down.

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "demo_dialog.h"
#include "ui/standin_ui.h"

namespace {

using Events = std::vector<std::string>;

bool has(const Events& e, const std::string& line) {
    return std::find(e.begin(), e.end(), line) != e.end();
}

// Runs the demonstration dialog; `script` is called once, at the loop's first idle moment.
INT_PTR runWith(const std::function<void(HWND)>& script) {
    bool done = false;
    standin::ui::setModalIdleHook([&](HWND dialog) {
        if (done) return;
        done = true;
        script(dialog);
    });
    INT_PTR r = vqdemo::runDemoDialog();
    standin::ui::setModalIdleHook(nullptr);
    return r;
}

TEST(Dialog, InitialisesPaintsWithoutErasingAndEndsWithEscapeAsCancel) {
    vqdemo::takeDemoEvents();
    Events seen;
    standin::ui::Image frame;
    const INT_PTR r = runWith([&](HWND dialog) {
        seen = vqdemo::takeDemoEvents();
        RECT c;
        GetClientRect(dialog, &c);
        EXPECT_EQ(c.right, vqdemo::kClientWidth);  // the size OnInitDialog asked for
        EXPECT_EQ(c.bottom, vqdemo::kClientHeight);
        char title[64];
        GetWindowTextA(dialog, title, sizeof title);
        EXPECT_STREQ(title, "VQ36 UI Demo");
        EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0), 0);
        frame = standin::ui::captureClient(dialog);
        EXPECT_TRUE(standin::ui::postClick(dialog, 50, 60));
        EXPECT_TRUE(standin::ui::pumpUntilIdle());
        Events after = vqdemo::takeDemoEvents();
        EXPECT_TRUE(has(after, "click 50 60 1")) << testing::PrintToString(after);
        EXPECT_TRUE(has(after, "erase"));  // the handler asked for erasing; ours erases nothing
        standin::ui::postKey(dialog, VK_ESCAPE);
    });
    EXPECT_EQ(r, IDCANCEL);
    EXPECT_EQ(seen.front(), "init");
    EXPECT_TRUE(has(seen, "paint"));
    EXPECT_TRUE(has(vqdemo::takeDemoEvents(), "cancel"));
    // The frame came from the back buffer: background at (5, 5), white title text pixels.
    ASSERT_EQ(frame.width, vqdemo::kClientWidth);
    EXPECT_EQ(frame.at(5, 5) & 0xFFFFFF, 0x141E3Cu);  // background.png's pixel (5, 5)
    int white = 0;
    for (int y = 14; y < 34; ++y)
        for (int x = 110; x < 210; ++x) white += (frame.at(x, y) & 0xFFFFFF) == 0xFFFFFF;
    EXPECT_GT(white, 10);
}

TEST(Dialog, CloseButtonIsCancelEnterIsOkAndTimersTick) {
    vqdemo::takeDemoEvents();
    INT_PTR r = runWith([](HWND dialog) { PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0); });
    EXPECT_EQ(r, IDCANCEL);
    EXPECT_TRUE(has(vqdemo::takeDemoEvents(), "cancel"));
    r = runWith([](HWND dialog) {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < 450) standin::ui::pumpUntilIdle(50);
        standin::ui::postKey(dialog, VK_RETURN);
    });
    EXPECT_EQ(r, IDOK);
    Events e = vqdemo::takeDemoEvents();
    EXPECT_TRUE(has(e, "ok"));
    const auto timers = std::count(e.begin(), e.end(), "timer");
    EXPECT_GE(timers, 2);  // 100 ms period over 450 ms
    EXPECT_LE(timers, 5);
}

TEST(Dialog, ChannelListDropsDownAsksForColoursAndReportsThePickedItem) {
    vqdemo::takeDemoEvents();
    standin::ui::Image list;
    int itemHeight = 0;
    const INT_PTR r = runWith([&](HWND dialog) {
        for (const auto& e : vqdemo::takeDemoEvents()) {
            if (e.rfind("itemheight ", 0) == 0) itemHeight = std::stoi(e.substr(11));
        }
        HWND combo = GetDlgItem(dialog, vqdemo::kChannelListId);
        ASSERT_NE(combo, nullptr);
        EXPECT_FALSE(IsWindowVisible(combo));  // only its list is ever shown
        EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 17);
        // A click on the painted face opens the real list.
        standin::ui::postClick(dialog, 230, 50);
        standin::ui::pumpUntilIdle();
        ASSERT_TRUE(SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0));
        HWND popup = GetCapture();  // the open list holds the mouse
        ASSERT_NE(popup, nullptr);
        EXPECT_TRUE(IsWindowVisible(popup));
        list = standin::ui::captureClient(popup);
        EXPECT_TRUE(has(vqdemo::takeDemoEvents(), "ctlcolor listbox"));
        // Item 5 ("5") picked with the mouse.
        standin::ui::postClick(popup, 10, 5 * itemHeight + itemHeight / 2);
        standin::ui::pumpUntilIdle();
        EXPECT_FALSE(SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0));
        EXPECT_FALSE(IsWindow(popup));
        EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 5);
        EXPECT_TRUE(has(vqdemo::takeDemoEvents(), "closeup 5"));
        // Opened again and closed by a click outside: no change, still a close-up.
        SendMessageA(combo, CB_SHOWDROPDOWN, TRUE, 0);
        standin::ui::postClick(dialog, 20, 150);
        standin::ui::pumpUntilIdle();
        EXPECT_FALSE(SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0));
        EXPECT_TRUE(has(vqdemo::takeDemoEvents(), "closeup 5"));
        standin::ui::postKey(dialog, VK_ESCAPE);
    });
    EXPECT_EQ(r, IDCANCEL);
    ASSERT_GT(itemHeight, 8);
    // 16 of 17 items shown (the minimum visible count), on the black brush the handler gave,
    // with white text; the selected item on the highlight.
    EXPECT_EQ(list.height, 16 * itemHeight + 2);
    EXPECT_EQ(list.at(list.width - 20, 3 * itemHeight + 1) & 0xFFFFFF, 0u);  // left of the bar
    int light = 0;  // anti-aliased white text
    for (int y = 2 * itemHeight; y < 3 * itemHeight; ++y)
        for (int x = 0; x < list.width; ++x) light += ((list.at(x, y) >> 16) & 0xFF) > 0xC0;
    EXPECT_GT(light, 3);
}

// 17 channels, 16 rows: the list's scroll bar, wheel and keys reach every item, with the
// notifications in the platform's order.
TEST(Dialog, ChannelListScrollsByWheelBarAndKeysToReachEveryItem) {
    vqdemo::takeDemoEvents();
    const INT_PTR r = runWith([&](HWND dialog) {
        int ih = 0;
        for (const auto& e : vqdemo::takeDemoEvents())
            if (e.rfind("itemheight ", 0) == 0) ih = std::stoi(e.substr(11));
        ASSERT_GT(ih, 8);
        HWND combo = GetDlgItem(dialog, vqdemo::kChannelListId);
        HWND popup = nullptr;
        int w = 0, h = 0;
        auto pump = [] { standin::ui::pumpUntilIdle(); };
        auto open = [&] {
            standin::ui::postClick(dialog, 230, 50);
            pump();
            popup = GetCapture();
            RECT rc{};
            GetClientRect(popup, &rc);
            w = rc.right, h = rc.bottom;
        };
        auto events = [&] {
            Events all = vqdemo::takeDemoEvents(), mine;
            for (const auto& e : all)
                if (e.rfind("sel", 0) == 0 || e.rfind("closeup", 0) == 0) mine.push_back(e);
            return mine;
        };
        // The bar is 17 pixels wide inside the list's frame, its arrows 17 high, and its thumb
        // fills 16/17 of the track: the thumb's grey just under the up arrow means the list
        // starts at item 0, the track's lighter grey there means item 1.
        auto thumbAtTop = [&] {
            pump();
            const auto img = standin::ui::captureClient(popup);
            return (img.at(img.width - 10, 20) & 0xFFFFFF) == 0xCDCDCD;
        };
        auto clickRow = [&](int row) {
            standin::ui::postClick(popup, 10, 1 + row * ih + ih / 2);
            pump();
        };

        // The wheel: half notches add up to one; the last row then holds item 16.
        open();
        ASSERT_NE(popup, nullptr);
        ASSERT_EQ(h, 16 * ih + 2);
        EXPECT_TRUE(thumbAtTop());
        standin::ui::postWheel(popup, 20, 40, -WHEEL_DELTA / 2);
        EXPECT_TRUE(thumbAtTop());
        standin::ui::postWheel(popup, 20, 40, -WHEEL_DELTA / 2);
        EXPECT_FALSE(thumbAtTop());
        clickRow(15);
        EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 16);
        EXPECT_EQ(events(), (Events{"selchange 16", "selendok", "closeup 16"}));

        // Opened on item 16, the list shows it (highlighted on the last row); the up arrow
        // scrolls back, and the first row is then item 0.
        open();
        EXPECT_FALSE(thumbAtTop());
        EXPECT_EQ(standin::ui::captureClient(popup).at(10, 1 + 15 * ih + 1) & 0xFFFFFF, 0x0078D7u);
        standin::ui::postClick(popup, w - 10, 8);
        EXPECT_TRUE(thumbAtTop());
        standin::ui::postWheel(popup, 20, 40, 3 * WHEEL_DELTA);  // already at the top
        clickRow(0);
        EXPECT_EQ(events(), (Events{"selchange 0", "selendok", "closeup 0"}));

        // The track below the thumb pages down, the thumb dragged up scrolls back, and clicks
        // on the bar neither pick nor close; End then selects (and shows) the last item, and
        // Escape puts the opening selection back.
        open();
        standin::ui::postClick(popup, w - 10, h - 1 - 17 - 2);
        EXPECT_FALSE(thumbAtTop());
        standin::ui::postMouse(popup, WM_LBUTTONDOWN, w - 10, h / 2, MK_LBUTTON);
        standin::ui::postMouse(popup, WM_MOUSEMOVE, w - 10, h / 2 - 40, MK_LBUTTON);
        standin::ui::postMouse(popup, WM_LBUTTONUP, w - 10, h / 2 - 40, 0);
        EXPECT_TRUE(thumbAtTop());
        EXPECT_TRUE(SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0));
        standin::ui::postKey(dialog, VK_END);
        EXPECT_FALSE(thumbAtTop());
        EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 16);
        standin::ui::postKey(dialog, VK_ESCAPE);
        pump();
        EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 0);
        EXPECT_EQ(events(), (Events{"selchange 16", "selchange 0", "selendcancel", "closeup 0"}));

        // Page, arrow and Home/End keys move the selection within the items; Enter takes it.
        open();
        for (WPARAM k : {VK_NEXT, VK_DOWN, VK_DOWN, VK_HOME, VK_UP, VK_END})
            standin::ui::postKey(dialog, k);
        standin::ui::postKey(dialog, VK_RETURN);
        pump();
        EXPECT_FALSE(SendMessageA(combo, CB_GETDROPPEDSTATE, 0, 0));
        EXPECT_EQ(events(), (Events{"selchange 15", "selchange 16", "selchange 0", "selchange 16",
                                    "selendok", "closeup 16"}));
        standin::ui::postKey(dialog, VK_ESCAPE);
    });
    EXPECT_EQ(r, IDCANCEL);
}

}  // namespace
