#pragma once
// A program run as a child process, its standard output and error on one pipe that this side
// reads: line by line, or while waiting for the end. Standard input is /dev/null, or a pipe that
// say() writes lines to. The child starts with no signal blocked and with SIGINT, SIGTERM and
// SIGPIPE at their defaults, whatever the calling thread blocks or this process ignores. One
// thread uses an object at a time.

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace vq36tools {

class ChildProcess {
  public:
    enum class Input { None, Pipe };

    // Starts `program` (a path, also its argv[0]) with `args`; started() says whether it ran.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 Input input = Input::None);
    // Kills a child that still runs (SIGKILL) and reaps it.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The next line of the output (without its end) within `ms`; at the end of the output a last
    // line without an end comes as it is. None at the end of the output or on time-out.
    std::optional<std::string> line(int ms = 20000);
    // Reads lines until one equals `line` (waitForLine) or starts with `prefix` (waitFor), within
    // `ms`; false at the end of the output or on time-out.
    bool waitForLine(const std::string& line, int ms = 20000);
    bool waitFor(const std::string& prefix, int ms = 20000);
    // Every line that follows, up to the end of the output (within `ms`).
    std::vector<std::string> rest(int ms = 30000);

    // Everything read so far, whether line() handed it out yet or not.
    const std::string& output() const { return output_; }
    // The last `count` lines read so far (a last one without an end included), each with its
    // end and after `prefix`: for a message about the child.
    std::string tail(std::size_t count = 8, const std::string& prefix = "") const;

    // Waits up to `ms` for the end, reading the output meanwhile (so a child that writes more
    // than the pipe holds still ends). The exit code, 128 + the signal that ended it, or -1
    // while it still runs (and for a child that did not start).
    int wait(int ms = 30000);
    // Writes `text` and a line end to the child's standard input (with Input::Pipe); false when
    // it cannot take it (no pipe, or the child closed its end: a process that may write to such
    // a child ignores SIGPIPE, as the tools and tests here do).
    bool say(const std::string& text);
    // Ctrl-C: SIGINT, while it runs.
    void interrupt();
    // Kills it (SIGKILL) if it still runs and reaps it; its exit code as wait() gives it.
    int kill9();

  private:
    using Clock = std::chrono::steady_clock;

    // line() with a deadline.
    std::optional<std::string> lineBy(Clock::time_point deadline);
    // Reads what the pipe has by `deadline`; false on time-out or at the end of the output.
    bool readSome(Clock::time_point deadline);
    // Reads what the pipe holds now.
    void drain();
    // Collects the exit status (waiting for it with `block`); true once the child has ended.
    bool reap(bool block);

    pid_t pid_ = 0;
    int out_ = -1;  // the pipe's reading end; -1 at the end of the output
    int in_ = -1;   // the writing end of the child's standard input (Input::Pipe)
    bool ended_ = false;
    int code_ = -1;
    std::string output_;
    std::size_t next_ = 0;  // where the next line() starts in output_
};

}  // namespace vq36tools
