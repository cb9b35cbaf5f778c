#pragma once
// Hooks of the UI framework stand-in for tests and for the framework's own module part.

#include "ui/afx.h"

namespace standin::ui {

struct GdiplusCounters {
    long startups = 0;                // successful GdiplusStartup calls
    long shutdowns = 0;               // GdiplusShutdown calls with a live token
    long liveSessions = 0;            // started and not shut down
    long hooks = 0;                   // notification hooks installed
    long unhooks = 0;                 // notification hooks removed with a live token
    long liveHooks = 0;               // installed and not removed
    long badShutdowns = 0;            // GdiplusShutdown with a token that is not live
    long badUnhooks = 0;              // unhook with a token that is not live
    long shutdownsWithLiveHooks = 0;  // shut down before every hook was removed
};

GdiplusCounters gdiplusCounters();
void resetGdiplusCounters();

// Called by the module part of the program: its module state becomes the one that threads
// without a switch see.
void setProgramModuleState(AFX_MODULE_STATE* state);

}  // namespace standin::ui
