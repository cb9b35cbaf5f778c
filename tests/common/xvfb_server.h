#pragma once
// An X server of the test's own for tests that show windows on a real X display: Xvfb on the
// first free display from :91, made this process's DISPLAY (and so that of the programs it
// starts), with the offscreen choice of the UI stand-in cleared. And xdotool, which gives such
// windows real input.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"

namespace xtest {

inline bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline constexpr const char* kXvfb = "/usr/bin/Xvfb";
inline constexpr const char* kXdotool = "/usr/bin/xdotool";

class XvfbServer {
  public:
    // Starts the server; started() is false when Xvfb is missing or no display came up.
    XvfbServer() {
        for (int n = 91; n < 140 && !server_; ++n) {
            if (exists(std::string("/tmp/.X11-unix/X").append(std::to_string(n))) ||
                exists("/tmp/.X" + std::to_string(n) + "-lock"))
                continue;
            auto x = std::make_unique<vq36tools::ChildProcess>(
                kXvfb, std::vector<std::string>{std::string(":").append(std::to_string(n)),
                                                "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
            if (!x->started()) break;
            for (int i = 0; i < 100 && x->wait(0) < 0; ++i) {
                if (exists(std::string("/tmp/.X11-unix/X").append(std::to_string(n)))) {
                    display_ = std::string(":").append(std::to_string(n));
                    server_ = std::move(x);
                    break;
                }
                usleep(100000);
            }
        }
        if (server_) {
            setenv("DISPLAY", display_.c_str(), 1);
            unsetenv("VQ36_UI_DISPLAY");
        }
    }
    // Xvfb removes its socket and lock when told to end.
    ~XvfbServer() {
        if (server_) {
            server_->interrupt();
            server_->wait(5000);
        }
    }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool started() const { return server_ != nullptr; }
    const std::string& display() const { return display_; }

  private:
    std::unique_ptr<vq36tools::ChildProcess> server_;
    std::string display_;
};

// Runs xdotool to its end; its first output line ("" when it printed none).
inline std::string xdotool(const std::vector<std::string>& args) {
    vq36tools::ChildProcess p(kXdotool, args);
    auto line = p.line(10000);
    p.wait(10000);
    return line.value_or("");
}

}  // namespace xtest
