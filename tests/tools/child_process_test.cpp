// The child process of the tools (its output on a pipe, its end, its signals, no descriptor left
// behind) with /bin/sh as the program, and the flat JSON numbers of the stream report.

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asio_host.h"
#include "child_process.h"
#include "flat_json.h"

namespace {

using vq36tools::ChildProcess;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int openDescriptors() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

// ---- Its output -----------------------------------------------------------------------------

TEST(ChildProcess, LinesComeInOrderAndALastLineWithoutAnEndComesAtTheEnd) {
    ChildProcess c("/bin/sh", {"-c", "printf 'one\\n\\ntwo\\nthree'"});
    ASSERT_TRUE(c.started());
    EXPECT_EQ(c.line(), "one");
    EXPECT_EQ(c.line(), "");
    EXPECT_EQ(c.line(), "two");
    EXPECT_EQ(c.line(), "three");
    EXPECT_EQ(c.line(1000), std::nullopt);
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.output(), "one\n\ntwo\nthree");
}

TEST(ChildProcess, StandardErrorSharesThePipeAndStandardInputIsEmpty) {
    ChildProcess c("/bin/sh", {"-c", "echo out; echo err >&2; cat; echo done"});
    EXPECT_EQ(c.rest(), (std::vector<std::string>{"out", "err", "done"}));
    EXPECT_EQ(c.wait(), 0);
}

TEST(ChildProcess, SayFeedsTheInputPipeAndFailsOnceTheChildHasClosedIt) {
    const auto before = signal(SIGPIPE, SIG_IGN);
    ChildProcess c("/bin/sh", {"-c", "read a; echo got $a; exec 0<&-; echo closed; sleep 30"},
                   ChildProcess::Input::Pipe);
    ASSERT_TRUE(c.say("one two"));
    EXPECT_EQ(c.line(), "got one two");
    ASSERT_TRUE(c.waitForLine("closed"));
    EXPECT_FALSE(c.say("nobody reads this"));  // EPIPE, not a crash
    c.kill9();
    signal(SIGPIPE, before);

    ChildProcess without("/bin/sh", {"-c", "true"});
    EXPECT_FALSE(without.say("no pipe"));
    EXPECT_EQ(without.wait(), 0);
}

TEST(ChildProcess, WaitingForALineSkipsTheLinesBeforeIt) {
    ChildProcess c("/bin/sh", {"-c", "printf 'streaming soon\\nstreaming\\nafter 1\\nafter 2\\n'"});
    // Exact: the line that only starts alike is passed over.
    EXPECT_TRUE(c.waitForLine("streaming"));
    EXPECT_EQ(c.line(), "after 1");
    EXPECT_TRUE(c.waitFor("after"));
    EXPECT_FALSE(c.waitFor("never", 10000));
    EXPECT_FALSE(c.waitForLine("never", 10000));
    EXPECT_TRUE(c.rest().empty());
    EXPECT_EQ(c.wait(), 0);

    ChildProcess prefix("/bin/sh", {"-c", "printf 'streaming soon\\nstreaming\\n'"});
    EXPECT_TRUE(prefix.waitFor("streaming"));
    EXPECT_EQ(prefix.line(), "streaming");
}

TEST(ChildProcess, LinesRemainToBeReadAfterWait) {
    ChildProcess c("/bin/sh", {"-c", "echo a; echo b"});
    EXPECT_EQ(c.wait(), 0);
    EXPECT_EQ(c.output(), "a\nb\n");
    EXPECT_EQ(c.rest(), (std::vector<std::string>{"a", "b"}));
}

TEST(ChildProcess, ReadingTimesOutWhileTheChildIsSilent) {
    ChildProcess c("/bin/sh", {"-c", "echo begun; exec sleep 30"});
    EXPECT_EQ(c.line(), "begun");
    const auto start = Clock::now();
    EXPECT_EQ(c.line(200), std::nullopt);
    EXPECT_FALSE(c.waitFor("x", 200));
    EXPECT_TRUE(c.rest(200).empty());
    EXPECT_EQ(c.wait(200), -1);
    const auto took = msSince(start);
    EXPECT_GE(took, 780);
    EXPECT_LT(took, 5000);
    EXPECT_EQ(c.kill9(), 128 + SIGKILL);
    EXPECT_EQ(c.wait(0), 128 + SIGKILL);
}

TEST(ChildProcess, TailGivesTheLastLines) {
    ChildProcess c("/bin/sh", {"-c", "printf 'a\\nb\\n\\nc\\nd'"});
    EXPECT_EQ(c.tail(), "");
    ASSERT_EQ(c.wait(), 0);
    EXPECT_EQ(c.tail(2, "| "), "| c\n| d\n");
    EXPECT_EQ(c.tail(3), "\nc\nd\n");
    EXPECT_EQ(c.tail(10), "a\nb\n\nc\nd\n");
    EXPECT_EQ(c.tail(0), "");

    ChildProcess ended("/bin/sh", {"-c", "printf 'x\\ny\\n'"});
    ASSERT_EQ(ended.wait(), 0);
    EXPECT_EQ(ended.tail(1), "y\n");
}

// Unread, the child would stop on the full pipe and never end.
TEST(ChildProcess, WaitReadsTheOutputOfAChildThatWritesMoreThanThePipeHolds) {
    ChildProcess c("/bin/sh", {"-c", "head -c 1000000 /dev/zero | tr '\\0' x; echo; echo end"});
    EXPECT_EQ(c.wait(20000), 0);
    EXPECT_EQ(c.output().size(), 1000000u + 5u);
    EXPECT_EQ(c.output().find_first_not_of('x'), 1000000u);
    EXPECT_EQ(c.tail(1), "end\n");
}

// ---- Its end and its signals ----------------------------------------------------------------

TEST(ChildProcess, WaitGivesTheExitCodeOr128PlusTheSignal) {
    ChildProcess exits("/bin/sh", {"-c", "exit 3"});
    EXPECT_EQ(exits.wait(), 3);
    EXPECT_EQ(exits.wait(0), 3);
    EXPECT_EQ(exits.kill9(), 3);  // ended already: nothing to kill

    ChildProcess killed("/bin/sh", {"-c", "kill -TERM $$"});
    EXPECT_EQ(killed.wait(), 128 + SIGTERM);
}

// The tools ignore SIGPIPE and block the stop signals in the thread that starts the children
// (`vq36` waits for them); the child gets neither.
class ParentSignals : public ::testing::Test {
  protected:
    void SetUp() override {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &block, &mask_);
        pipe_ = signal(SIGPIPE, SIG_IGN);
        int_ = signal(SIGINT, SIG_IGN);
    }
    void TearDown() override {
        signal(SIGINT, int_);
        signal(SIGPIPE, pipe_);
        pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
    }

  private:
    sigset_t mask_;
    sighandler_t pipe_ = SIG_DFL;
    sighandler_t int_ = SIG_DFL;
};

TEST_F(ParentSignals, TheChildStartsWithNoSignalBlockedAndTheStopSignalsAtTheirDefaults) {
    ChildProcess c("/bin/sh", {"-c", "exec grep -E '^Sig(Blk|Ign):' /proc/self/status"});
    const auto lines = c.rest();
    ASSERT_EQ(c.wait(), 0);
    ASSERT_EQ(lines.size(), 2u) << c.output();
    std::map<std::string, unsigned long long> masks;
    for (const auto& l : lines) masks[l.substr(0, 6)] = std::strtoull(l.c_str() + 7, nullptr, 16);
    EXPECT_EQ(masks["SigBlk"], 0u) << c.output();
    for (int s : {SIGINT, SIGTERM, SIGPIPE}) {
        EXPECT_EQ(masks["SigIgn"] & (1ull << (s - 1)), 0u) << s << "\n" << c.output();
    }
}

TEST_F(ParentSignals, InterruptEndsTheChildAsCtrlCWould) {
    ChildProcess c("/bin/sh", {"-c", "echo ready; exec sleep 30"});
    ASSERT_TRUE(c.waitForLine("ready"));
    c.interrupt();
    EXPECT_EQ(c.wait(10000), 128 + SIGINT);
    c.interrupt();  // ended: nothing to signal
}

// ---- Failures and what is left behind ---------------------------------------------------------

TEST(ChildProcess, AProgramThatDoesNotExistDoesNotStart) {
    const auto start = Clock::now();
    ChildProcess c("/nonexistent/program", {"arg"});
    EXPECT_FALSE(c.started());
    EXPECT_EQ(c.line(5000), std::nullopt);
    EXPECT_FALSE(c.waitFor("", 5000));
    EXPECT_EQ(c.wait(5000), -1);
    EXPECT_EQ(c.kill9(), -1);
    c.interrupt();
    EXPECT_EQ(c.output(), "");
    EXPECT_LT(msSince(start), 1000);
}

TEST(ChildProcess, TheDestructorKillsAndReapsAChildThatStillRuns) {
    pid_t pid = 0;
    {
        ChildProcess c("/bin/sh", {"-c", "echo ready; exec sleep 30"});
        ASSERT_TRUE(c.waitForLine("ready"));
        pid = c.pid();
        ASSERT_GT(pid, 0);
    }
    // Reaped: no longer a child of this process, not even a zombie.
    errno = 0;
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(ChildProcess, NoDescriptorIsLeftOpen) {
    const int before = openDescriptors();
    {
        ChildProcess ended("/bin/sh", {"-c", "echo x"});
        EXPECT_EQ(ended.wait(), 0);
        ChildProcess running("/bin/sh", {"-c", "exec sleep 30"});
        ChildProcess unread("/bin/sh", {"-c", "echo x; exec sleep 30"});
        ChildProcess missing("/nonexistent/program", {});
        ChildProcess killed("/bin/sh", {"-c", "exec sleep 30"});
        EXPECT_EQ(killed.kill9(), 128 + SIGKILL);
    }
    EXPECT_EQ(openDescriptors(), before);
}

// The pipes this process holds ("pipe:[INODE]").
std::vector<std::string> openPipes() {
    std::vector<std::string> pipes;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string t = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec && t.rfind("pipe:", 0) == 0) pipes.push_back(t);
    }
    return pipes;
}

TEST(ChildProcess, AChildHoldsNoPipeOfAnother) {
    // Whatever this process got from the one that started it may pass on to its children too.
    const std::vector<std::string> inherited = openPipes();
    ChildProcess first("/bin/sh", {"-c", "echo ready; exec sleep 30"});
    ASSERT_TRUE(first.waitForLine("ready"));
    // Its descriptors, each as "N TARGET".
    ChildProcess second(
        "/bin/sh", {"-c", "for f in /proc/$$/fd/*; do echo \"${f##*/} $(readlink $f)\"; done"});
    std::vector<std::string> own;  // the two children's output
    for (const auto& p : openPipes()) {
        if (std::find(inherited.begin(), inherited.end(), p) == inherited.end()) own.push_back(p);
    }
    ASSERT_EQ(own.size(), 2u);
    const auto lines = second.rest();
    ASSERT_EQ(second.wait(), 0) << second.output();
    for (const auto& l : lines) {
        const std::size_t space = l.find(' ');
        const std::string fd = l.substr(0, space);
        const std::string t = space == std::string::npos ? "" : l.substr(space + 1);
        if (fd == "1" || fd == "2") continue;
        EXPECT_EQ(std::find(own.begin(), own.end(), t), own.end()) << second.output();
    }
}

// ---- The numbers of a flat JSON object --------------------------------------------------------

TEST(FlatJson, ReadsTheNumbersOfTheStreamReportAndLeavesTheDriverOut) {
    const vq36host::StreamReport r{.driver = "Odd \"name\", {x: 1}\\",
                                   .bufferSize = 384,
                                   .blocks = 125,
                                   .latencyP50Us = 250.5,
                                   .latencyP99Us = 12.75,
                                   .estSampleRate = 48000,
                                   .joinedClients = 2};
    std::map<std::string, double> n;
    ASSERT_TRUE(vq36tools::parseNumbers(r.toJson(), &n)) << r.toJson();
    EXPECT_EQ(n.size(), 25u);
    EXPECT_EQ(n.count("driver"), 0u);
    EXPECT_EQ(n["blocks"], 125);
    EXPECT_EQ(n["bufferSize"], 384);
    EXPECT_EQ(n["latencyP50Us"], 250.5);
    EXPECT_EQ(n["latencyP99Us"], 12.8);  // written with one decimal
    EXPECT_EQ(n["estSampleRate"], 48000);
    EXPECT_EQ(n["joinedClients"], 2);
    EXPECT_EQ(n["resets"], 0);
}

TEST(FlatJson, TakesSpaceAnywhereAndAnEmptyObject) {
    std::map<std::string, double> n{{"kept", 7}};
    EXPECT_TRUE(vq36tools::parseNumbers(" {\n \"a\" : -1.5e3 ,\"s\":\"x,}\", \"b\":0 }\n", &n));
    EXPECT_EQ(n, (std::map<std::string, double>{{"a", -1500}, {"b", 0}, {"kept", 7}}));
    EXPECT_TRUE(vq36tools::parseNumbers("{ }", &n));
    EXPECT_EQ(n.size(), 3u);
}

TEST(FlatJson, RejectsWhatIsNotOneFlatObjectOfNumbersAndChangesNothing) {
    for (const char* text : {"",
                             "[]",
                             "{",
                             "{\"a\": 1",
                             "{\"a\": 1,}",
                             "{\"a\" 1}",
                             "{a: 1}",
                             "{\"a\": {\"b\": 1}}",
                             "{\"a\": [1]}",
                             "{\"a\": true}",
                             "{\"a\": 1} x",
                             "{} x",
                             "{\"a\": 1}{}",
                             "{\"a\": nan}",
                             "{\"a\": inf}",
                             "{\"a\": -infinity}",
                             "{\"a\": 0x10}",
                             "{\"a\": +1}",
                             "{\"a\": .5}",
                             "{\"b\": 1, \"a\": \"open}"}) {
        std::map<std::string, double> n{{"kept", 7}};
        EXPECT_FALSE(vq36tools::parseNumbers(text, &n)) << text;
        EXPECT_EQ(n, (std::map<std::string, double>{{"kept", 7}})) << text;
    }
}

TEST(FlatJson, ReadsAFileAndFailsForOneThatCannotBeRead) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("vq36-flat-json-" + std::to_string(getpid()) + ".json"))
                                 .string();
    std::ofstream(path) << "{\"blocks\": 12, \"driver\": \"d\"}\n";
    std::map<std::string, double> n;
    EXPECT_TRUE(vq36tools::readNumbers(path, &n));
    EXPECT_EQ(n, (std::map<std::string, double>{{"blocks", 12}}));
    std::filesystem::remove(path);
    EXPECT_FALSE(vq36tools::readNumbers(path, &n));
    EXPECT_FALSE(vq36tools::readNumbers(std::filesystem::temp_directory_path().string(), &n));
}

}  // namespace
