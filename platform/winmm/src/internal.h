#pragma once
// What the parts of the multimedia layer stand-in share.

#include "winmm/mmddk.h"

namespace standin::winmm::detail {

// Whether DriverCallback can post to a thread's message queue (CALLBACK_THREAD).
bool threadCallbacksSupported();

}  // namespace standin::winmm::detail
