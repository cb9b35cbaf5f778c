#pragma once
// The demonstration dialog: a library with its own resources (a dialog template, PNG images and
// an icon) and a modal dialog drawn with GDI+ from them, with one channel list whose drop-down
// is the only standard control shown. Tests and `vq36_ui_demo` use it.

#include <string>
#include <vector>

#include "win32/windows.h"

#define VQ_DEMO_API __attribute__((visibility("default")))

namespace vqdemo {

inline constexpr int kBackgroundId = 200;
inline constexpr int kOverlayId = 201;
inline constexpr int kSampleId = 202;
inline constexpr int kIconId = 115;
inline constexpr int kTemplateId = 100;
inline constexpr int kChannelListId = 400;
inline constexpr RECT kChannelFace = {200, 40, 264, 60};  // client pixels
inline constexpr int kClientWidth = 320;
inline constexpr int kClientHeight = 200;

// Runs the dialog modally on the calling thread (GDI+ started and shut down around it); returns
// DoModal's result.
VQ_DEMO_API INT_PTR runDemoDialog();

// What the dialog's handlers saw since the last call: "init", "itemheight N", "paint", "erase",
// "timer", "click X Y FLAGS", "selchange SELECTION", "selendok", "selendcancel",
// "closeup SELECTION", "ctlcolor listbox", "ok", "cancel".
VQ_DEMO_API std::vector<std::string> takeDemoEvents();

// The module that holds the demonstration resources.
VQ_DEMO_API HMODULE demoModule();

}  // namespace vqdemo
