#pragma once
// Small pieces the tools' commands share: numbers from the command line, and Ctrl-C as a
// request to stop for commands that run until told.

#include <signal.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace vq36tools {

// A whole decimal number from `min` to `max`; false for anything else (empty, trailing
// characters, out of range).
inline bool parseNumber(const std::string& text, long min, long max, long* value) {
    if (text.empty() || text.size() > 18) return false;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || n < min || n > max) return false;
    *value = n;
    return true;
}

// A finite number with nothing after it; false for anything else (empty, trailing text, not
// finite).
inline bool parseDouble(const std::string& text, double* value) {
    if (text.empty() || text.size() > 32) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

// Ctrl-C and SIGTERM taken as a request to stop. The constructor blocks both in the calling
// thread, so every thread started after it (the library's, the stand-in's) inherits the block
// and the signals wait for wait() instead of ending the process. Make one before anything
// starts a thread.
class StopSignals {
  public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }

    // Waits up to `ms` for one of them; true when one came.
    bool wait(long ms) {
        if (ms < 0) ms = 0;
        timespec t{ms / 1000, (ms % 1000) * 1000 * 1000};
        return sigtimedwait(&set_, nullptr, &t) > 0;
    }

  private:
    sigset_t set_;
};

}  // namespace vq36tools
