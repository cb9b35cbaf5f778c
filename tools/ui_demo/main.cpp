// vq36_ui_demo: shows the demonstration dialog in a real window (X11, when DISPLAY is set), or
// writes its first frame as a PNG.
//
//   vq36_ui_demo                      the dialog in a window; Escape or the close button ends it
//   vq36_ui_demo --screenshot FILE    offscreen: writes the first frame and ends
//   vq36_ui_demo --events             also prints what the dialog's handlers see, one a line
//   vq36_ui_demo --x11-capture FILE   writes what the X server shows of the first frame
//
// The exit code is the dialog's result (1 OK, 2 Cancel), or 3 when something failed.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "demo_dialog.h"
#include "ui/standin_ui.h"

int main(int argc, char** argv) {
    std::string screenshot, capture;
    bool events = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--screenshot" && i + 1 < argc) {
            screenshot = argv[++i];
        } else if (a == "--x11-capture" && i + 1 < argc) {
            capture = argv[++i];
        } else if (a == "--events") {
            events = true;
        } else {
            std::fprintf(
                stderr,
                "usage: vq36_ui_demo [--screenshot FILE] [--x11-capture FILE] [--events]\n");
            return 3;
        }
    }
    if (!screenshot.empty()) setenv("VQ36_UI_DISPLAY", "offscreen", 1);
    bool failed = false;
    bool first = true;
    standin::ui::setModalIdleHook([&](HWND dialog) {
        if (first) {
            first = false;
            if (!screenshot.empty()) {
                if (!standin::ui::saveClientPng(dialog, screenshot)) failed = true;
                standin::ui::postKey(dialog, VK_ESCAPE);
            }
            if (!capture.empty() && !standin::ui::captureScreenPng(dialog, capture)) failed = true;
            if (events) std::printf("ready\n");
        }
        if (events) {
            for (const auto& e : vqdemo::takeDemoEvents()) std::printf("%s\n", e.c_str());
            std::fflush(stdout);
        }
    });
    if (screenshot.empty() && standin::ui::displayKind() != standin::ui::DisplayKind::X11) {
        std::fprintf(stderr, "vq36_ui_demo: no X display (set DISPLAY) and no --screenshot\n");
        return 3;
    }
    INT_PTR result = vqdemo::runDemoDialog();
    if (events) {
        for (const auto& e : vqdemo::takeDemoEvents()) std::printf("%s\n", e.c_str());
        std::printf("result %ld\n", static_cast<long>(result));
    }
    if (failed || result < 0) return 3;
    return static_cast<int>(result);
}
