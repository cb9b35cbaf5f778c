// GDI+ start-up and shut-down, with the notification hook and unhook of a caller that runs
// without the background thread.

#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "ui/gdiplus.h"
#include "ui/standin_ui.h"

namespace {

struct State {
    std::mutex mutex;
    ULONG_PTR nextToken = 0x6D100;
    std::set<ULONG_PTR> sessions;
    std::map<ULONG_PTR, ULONG_PTR> hooks;  // hook token -> the session it was installed in
    standin::ui::GdiplusCounters counters;
};

State& state() {
    // Ends with the library (at its unloading or at the process's exit), so nothing of it is
    // left behind when a program unloads the library that brought the stand-in in.
    static State s;
    return s;
}

Gdiplus::Status WINAPI notificationHook(ULONG_PTR* token) {
    if (token == nullptr) return Gdiplus::InvalidParameter;
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.sessions.empty()) return Gdiplus::GenericError;
    const ULONG_PTR hook = ++s.nextToken;
    s.hooks[hook] = *s.sessions.rbegin();
    ++s.counters.hooks;
    ++s.counters.liveHooks;
    *token = hook;
    return Gdiplus::Ok;
}

VOID WINAPI notificationUnhook(ULONG_PTR token) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.hooks.erase(token) == 0) {
        ++s.counters.badUnhooks;
        std::fprintf(stderr, "GDI+ stand-in: unhook with unknown token %#lx\n",
                     static_cast<unsigned long>(token));
        return;
    }
    ++s.counters.unhooks;
    --s.counters.liveHooks;
}

}  // namespace

namespace Gdiplus {

Status WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                             GdiplusStartupOutput* output) {
    if (token == nullptr || input == nullptr) return InvalidParameter;
    if (input->GdiplusVersion != 1) return UnsupportedGdiplusVersion;
    if (input->SuppressBackgroundThread && output == nullptr) return InvalidParameter;
    State& s = state();
    std::lock_guard lock(s.mutex);
    const ULONG_PTR session = ++s.nextToken;
    s.sessions.insert(session);
    ++s.counters.startups;
    ++s.counters.liveSessions;
    *token = session;
    if (output != nullptr) {
        output->NotificationHook = input->SuppressBackgroundThread ? notificationHook : nullptr;
        output->NotificationUnhook = input->SuppressBackgroundThread ? notificationUnhook : nullptr;
    }
    return Ok;
}

VOID WINAPI GdiplusShutdown(ULONG_PTR token) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.sessions.erase(token) == 0) {
        ++s.counters.badShutdowns;
        std::fprintf(stderr, "GDI+ stand-in: shut-down with unknown token %#lx\n",
                     static_cast<unsigned long>(token));
        return;
    }
    ++s.counters.shutdowns;
    --s.counters.liveSessions;
    bool leftHooks = false;
    for (auto it = s.hooks.begin(); it != s.hooks.end();) {
        if (it->second == token) {
            leftHooks = true;
            it = s.hooks.erase(it);
            --s.counters.liveHooks;
        } else {
            ++it;
        }
    }
    if (leftHooks) ++s.counters.shutdownsWithLiveHooks;
}

}  // namespace Gdiplus

namespace standin::ui {

namespace detail {
bool gdiplusStarted() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return !s.sessions.empty();
}
}  // namespace detail

GdiplusCounters gdiplusCounters() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.counters;
}

void resetGdiplusCounters() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.counters = GdiplusCounters{};
    s.counters.liveSessions = static_cast<long>(s.sessions.size());
    s.counters.liveHooks = static_cast<long>(s.hooks.size());
}

}  // namespace standin::ui
