// DriverCallback and DefDriverProc: what an installable driver calls in the layer.

#include <mutex>

#include "standin/winmm/layer.h"
#include "win32/windows.h"

namespace standin::winmm {
namespace {

std::mutex gDefMu;
DefDriverProcCall gLastDef;

}  // namespace

DefDriverProcCall lastDefDriverProcCall() {
    std::lock_guard lock(gDefMu);
    return gLastDef;
}

}  // namespace standin::winmm

using namespace standin::winmm;

LRESULT WINAPI DefDriverProc(DWORD_PTR dwDriverIdentifier, HDRVR hdrvr, UINT uMsg, LPARAM lParam1,
                             LPARAM lParam2) {
    LRESULT result = 0;
    switch (uMsg) {
        case DRV_LOAD:
        case DRV_FREE:
        case DRV_ENABLE:
        case DRV_DISABLE:
        case DRV_OPEN:
        case DRV_CLOSE:
            result = 1;
            break;
        case DRV_INSTALL:
        case DRV_REMOVE:
            result = DRVCNF_OK;
            break;
        default:
            result = 0;
            break;
    }
    std::lock_guard lock(gDefMu);
    gLastDef = {dwDriverIdentifier, hdrvr, uMsg, lParam1, lParam2, result};
    return result;
}

BOOL APIENTRY DriverCallback(DWORD_PTR dwCallback, DWORD dwFlags, HDRVR hDevice, DWORD dwMsg,
                             DWORD_PTR dwUser, DWORD_PTR dwParam1, DWORD_PTR dwParam2) {
    switch (dwFlags & DCB_TYPEMASK) {
        case DCB_FUNCTION: {
            if (dwCallback == 0) return FALSE;
            auto function = reinterpret_cast<LPMIDICALLBACK>(dwCallback);
            function(reinterpret_cast<HMIDI>(hDevice), dwMsg, dwUser, dwParam1, dwParam2);
            return TRUE;
        }
        case DCB_EVENT:
            return SetEvent(reinterpret_cast<HANDLE>(dwCallback));
        case DCB_TASK:  // the message goes to the thread's queue with the device and parameter 1
            return PostThreadMessageA(static_cast<DWORD>(dwCallback), dwMsg,
                                      reinterpret_cast<WPARAM>(hDevice),
                                      static_cast<LPARAM>(dwParam1));
        default:  // DCB_NULL, windows (this machine has none to call back), unknown kinds
            return FALSE;
    }
}
