// A program run as a child process (see child_process.h).

#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <thread>

extern char** environ;

namespace vq36tools {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           Input input) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    int in[2] = {-1, -1};
    if (input == Input::Pipe && pipe2(in, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    if (input == Input::Pipe) {
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    // An ignored signal stays ignored across exec: the child gets these as a shell would give
    // them, not as this process set them (the tools here ignore SIGPIPE).
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = 0;
    const int rc =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, pointers.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (in[0] >= 0) close(in[0]);
    if (rc == 0 && pid > 0) {
        pid_ = pid;
        out_ = out[0];
        in_ = in[1];
    } else {
        close(out[0]);
        if (in[1] >= 0) close(in[1]);
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !ended_) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    if (out_ >= 0) close(out_);
    if (in_ >= 0) close(in_);
}

std::optional<std::string> ChildProcess::line(int ms) {
    return lineBy(Clock::now() + std::chrono::milliseconds(ms));
}

bool ChildProcess::waitForLine(const std::string& line, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (const auto l = lineBy(deadline)) {
        if (*l == line) return true;
    }
    return false;
}

bool ChildProcess::waitFor(const std::string& prefix, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (const auto l = lineBy(deadline)) {
        if (l->rfind(prefix, 0) == 0) return true;
    }
    return false;
}

std::vector<std::string> ChildProcess::rest(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    std::vector<std::string> lines;
    while (auto l = lineBy(deadline)) lines.push_back(std::move(*l));
    return lines;
}

std::string ChildProcess::tail(std::size_t count, const std::string& prefix) const {
    if (output_.empty()) return {};
    std::string_view text(output_);
    if (text.back() == '\n') text.remove_suffix(1);
    std::vector<std::string_view> lines;
    for (std::size_t at = 0;;) {
        const std::size_t nl = text.find('\n', at);
        lines.push_back(text.substr(at, nl == std::string_view::npos ? nl : nl - at));
        if (nl == std::string_view::npos) break;
        at = nl + 1;
    }
    std::string out;
    for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
        out.append(prefix).append(lines[i]).push_back('\n');
    }
    return out;
}

int ChildProcess::wait(int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!reap(false)) {
        const auto now = Clock::now();
        if (now >= deadline) return -1;
        // The end of the output mostly comes with the end of the child; the reading returns as
        // soon as there is something.
        const auto slice = std::min(deadline, now + std::chrono::milliseconds(20));
        if (out_ >= 0) {
            readSome(slice);
        } else {
            std::this_thread::sleep_until(std::min(deadline, now + std::chrono::milliseconds(5)));
        }
    }
    drain();
    return code_;
}

bool ChildProcess::say(const std::string& text) {
    if (in_ < 0) return false;
    const std::string line = text + "\n";
    std::size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = write(in_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;  // EPIPE: the child closed its input
        done += static_cast<std::size_t>(n);
    }
    return true;
}

void ChildProcess::interrupt() {
    if (pid_ > 0 && !ended_) kill(pid_, SIGINT);
}

int ChildProcess::kill9() {
    if (pid_ > 0 && !ended_) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    drain();
    return code_;
}

std::optional<std::string> ChildProcess::lineBy(Clock::time_point deadline) {
    for (;;) {
        const std::size_t nl = output_.find('\n', next_);
        if (nl != std::string::npos) {
            std::string l = output_.substr(next_, nl - next_);
            next_ = nl + 1;
            return l;
        }
        if (out_ < 0) {
            if (next_ == output_.size()) return std::nullopt;
            std::string l = output_.substr(next_);
            next_ = output_.size();
            return l;
        }
        // At the end of the output the loop hands out what is left.
        if (!readSome(deadline) && out_ >= 0) return std::nullopt;
    }
}

bool ChildProcess::readSome(Clock::time_point deadline) {
    if (out_ < 0) return false;
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd p{out_, POLLIN, 0};
        const int ready = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0) break;
        if (ready < 0 && errno == EINTR) continue;
        return false;
    }
    char chunk[65536];
    ssize_t n;
    do {
        n = read(out_, chunk, sizeof chunk);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        close(out_);
        out_ = -1;
        return false;
    }
    output_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

void ChildProcess::drain() {
    while (readSome(Clock::now())) {
    }
}

bool ChildProcess::reap(bool block) {
    if (pid_ <= 0 || ended_) return true;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &status, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == pid_) {
        ended_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (r < 0) {
        // Reaped elsewhere: it has ended, with no code to tell.
        ended_ = true;
    }
    return ended_;
}

}  // namespace vq36tools
