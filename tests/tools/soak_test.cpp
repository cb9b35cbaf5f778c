// The fault soak: ASIO hosts (`vq36 asio stream`, real processes) on a machine daemon while
// clients are killed and started, the device is pulled out and plugged in again, the daemon
// itself is killed and started again, and a settings write is killed half-way. After each
// phase every client has ended or streams again, the machine holds no handle or joined client
// of a client that left, and the kernel's memory and the daemon's are where they were. The
// figures are printed at the end.

#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "asio_host.h"
#include "tool_fixture.h"

namespace {

using tooltest::Child;
using tooltest::run;
using tooltest::ToolTest;
using Clock = std::chrono::steady_clock;

// Bounds of the soak.
constexpr int kClientEndMs = 15000;          // a client told to stop has ended within this
constexpr int kSettleMs = 20000;             // the machine is back to its idle counts within this
constexpr long kDaemonGrowthKb = 48 * 1024;  // the daemon's resident memory grows less than this
constexpr long kDaemonFdGrowth = 8;          // and its open descriptors by at most this many

// What `vq36 machine status` shows that the soak checks.
struct Counts {
    long openHandles = 0;    // over every device object
    long joinedClients = 0;  // of the working device
    long poolBlocks = -1;
    long pageLists = -1;
    long deviceObjects = 0;
    bool ok = false;
};

long numberAfter(const std::string& text, const std::string& key, std::size_t from = 0) {
    const std::size_t at = text.find(key, from);
    if (at == std::string::npos) return -1;
    return std::strtol(text.c_str() + at + key.size(), nullptr, 10);
}

Counts counts() {
    const auto r = run({"machine", "status"});
    Counts c;
    c.ok = r.code == 0;
    for (const std::string& line : r.lines) {
        if (long n = numberAfter(line, "open handles "); n >= 0) {
            c.openHandles += n;
            c.deviceObjects += 1;
        }
        if (long n = numberAfter(line, "joined clients "); n >= 0) c.joinedClients += n;
        if (long n = numberAfter(line, "kernel pool "); n >= 0) c.poolBlocks = n;
        if (long n = numberAfter(line, "page lists "); n >= 0) c.pageLists = n;
    }
    return c;
}

// The daemon's resident memory (kB) and open descriptors.
long residentKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

long openDescriptors(pid_t pid) {
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (d == nullptr) return -1;
    long n = 0;
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

void sleepMs(long ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

class FaultSoak : public ToolTest {
  protected:
    using Clients = std::vector<std::unique_ptr<Child>>;

    static std::unique_ptr<Child> client(const char* seconds = "3600") {
        return std::make_unique<Child>(std::vector<std::string>{
            "asio", "stream", "--seconds", seconds, "--play", "1=sine:440", "--ready-line"});
    }

    // Waits until the status shows what `done` wants (or the bound passes); the last counts.
    template <class F>
    Counts waitCounts(F done, int ms = kSettleMs) {
        const auto limit = Clock::now() + std::chrono::milliseconds(ms);
        Counts c = counts();
        while (!done(c) && Clock::now() < limit) {
            sleepMs(100);
            c = counts();
        }
        return c;
    }

    // Asks every client to stop (Ctrl-C); each must end within the bound. The longest wait.
    long stopAll(Clients& clients) {
        long longest = 0;
        for (auto& c : clients) c->interrupt();
        for (auto& c : clients) {
            const auto begin = Clock::now();
            const int code = c->wait(kClientEndMs);
            EXPECT_NE(code, -1) << "a client did not end within " << kClientEndMs << " ms\n"
                                << c->tail();
            longest = std::max<long>(
                longest, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin)
                             .count());
        }
        clients.clear();
        return longest;
    }

    void restartDaemon() {
        daemon->kill9();
        daemon = std::make_unique<Child>(
            std::vector<std::string>{"machine", "run", "--driver", tooltest::kKernel});
        ASSERT_TRUE(daemon->waitFor("machine running at")) << daemon->tail();
    }

    // Reads what the children wrote so that no pipe fills up.
    static void drain(Clients& clients) {
        for (auto& c : clients) c->wait(0);
    }

    std::ostringstream figures;
};

TEST_F(FaultSoak, ClientsDevicesAndTheDaemonComeAndGoWithoutAStuckClientOrALeak) {
    std::mt19937 random(36);
    ASSERT_EQ(run({"regsvr"}).code, 0);
    // Warm-up: the shared regions exist from the first stream on, for the device's lifetime.
    {
        const auto r = run({"asio", "stream", "--seconds", "0.5"});
        ASSERT_EQ(r.code, 0) << r.text;
    }
    Counts base = waitCounts([](const Counts& c) { return c.openHandles == 0; });
    ASSERT_TRUE(base.ok);
    ASSERT_GE(base.poolBlocks, 0) << "the status shows no kernel memory";
    const pid_t daemonPid = daemon->pid();
    const long fdBase = openDescriptors(daemonPid);
    long rssBase = 0;

    // 1. Four clients; one killed and another started, 100 times.
    {
        const auto begin = Clock::now();
        Clients clients;
        for (int i = 0; i < 4; ++i) clients.push_back(client());
        for (int round = 0; round < 100; ++round) {
            auto& victim = clients[random() % clients.size()];
            victim->kill9();
            victim = client();
            drain(clients);
            sleepMs(50 + random() % 200);
        }
        const long stopMs = stopAll(clients);
        const Counts after = waitCounts([&](const Counts& c) {
            return c.openHandles == 0 && c.joinedClients == 0 && c.poolBlocks == base.poolBlocks &&
                   c.pageLists == base.pageLists;
        });
        EXPECT_EQ(after.openHandles, 0);
        EXPECT_EQ(after.joinedClients, 0);
        EXPECT_EQ(after.poolBlocks, base.poolBlocks);
        EXPECT_EQ(after.pageLists, base.pageLists);
        figures << "kill and start 100 x under 4 clients: "
                << std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin).count()
                << " s, slowest stop " << stopMs << " ms, pool " << after.poolBlocks
                << " blocks (start " << base.poolBlocks << "), page lists " << after.pageLists
                << " (start " << base.pageLists << ")\n";
    }

    // The device model keeps what it played (up to a minute) for as long as it is plugged in:
    // the daemon's memory is measured from here, with the first phase's recording in it.
    rssBase = residentKb(daemonPid);

    // 2. The device pulled out and plugged in again 50 times under two clients, which stream
    //    again after the last plug (none stays stuck).
    {
        const auto begin = Clock::now();
        Clients clients;
        for (int i = 0; i < 2; ++i) {
            clients.push_back(client());
            ASSERT_TRUE(clients.back()->waitFor("streaming", 20000)) << clients.back()->tail();
        }
        for (int round = 0; round < 50; ++round) {
            ASSERT_EQ(run({"machine", "unplug"}).code, 0);
            sleepMs(random() % 150);
            ASSERT_EQ(run({"machine", "plug"}).code, 0);
            drain(clients);
            sleepMs(100 + random() % 400);
        }
        const auto replugged = Clock::now();
        const Counts streaming = waitCounts(
            [](const Counts& c) { return c.joinedClients == 2 && c.deviceObjects == 1; });
        const long recoverMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - replugged).count();
        EXPECT_EQ(streaming.joinedClients, 2) << "a client stays stuck after the last plug";
        EXPECT_EQ(streaming.deviceObjects, 1) << "a removed device is still held open";
        const long stopMs = stopAll(clients);
        const Counts after = waitCounts([&](const Counts& c) {
            return c.openHandles == 0 && c.joinedClients == 0 && c.pageLists == base.pageLists;
        });
        EXPECT_EQ(after.openHandles, 0);
        EXPECT_EQ(after.joinedClients, 0);
        EXPECT_EQ(after.pageLists, base.pageLists);
        figures << "unplug and plug 50 x under 2 clients: "
                << std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - begin).count()
                << " s, both streaming again " << recoverMs << " ms after the last plug, "
                << "slowest stop " << stopMs << " ms, page lists " << after.pageLists << "\n";
    }
    const long rssAfter = residentKb(daemonPid);
    const long fdAfter = openDescriptors(daemonPid);
    EXPECT_LT(rssAfter - rssBase, kDaemonGrowthKb);
    EXPECT_LE(fdAfter - fdBase, kDaemonFdGrowth);
    figures << "daemon: resident " << rssBase << " -> " << rssAfter << " kB (bound +"
            << kDaemonGrowthKb << "), descriptors " << fdBase << " -> " << fdAfter << " (bound +"
            << kDaemonFdGrowth << ")\n";

    // 3. A settings write killed half-way, 20 times: the registry and the settings still read.
    {
        for (int round = 0; round < 20; ++round) {
            Child write({"ctl", "buffer", std::to_string(3 + 3 * (round % 10))});
            sleepMs(random() % 40);
            write.kill9();
        }
        const auto settings = run({"ctl", "buffer"});
        EXPECT_EQ(settings.code, 0) << settings.text;
        const auto listed = run({"asio", "list"});
        EXPECT_EQ(listed.code, 0) << listed.text;
        EXPECT_NE(listed.text.find("Vexa VQ36"), std::string::npos) << listed.text;
        const auto again = run({"asio", "stream", "--seconds", "0.5"});
        EXPECT_EQ(again.code, 0) << again.text;
        figures << "settings write killed 20 x: " << settings.text;
    }

    // 4. The daemon killed 10 times under two streaming clients and started again: each time
    //    both clients come back.
    {
        Clients clients;
        for (int i = 0; i < 2; ++i) {
            clients.push_back(client());
            ASSERT_TRUE(clients.back()->waitFor("streaming", 20000)) << clients.back()->tail();
        }
        long slowest = 0;
        for (int round = 0; round < 10; ++round) {
            sleepMs(300 + random() % 700);
            restartDaemon();
            const auto started = Clock::now();
            const Counts back =
                waitCounts([](const Counts& c) { return c.joinedClients == 2; }, 30000);
            EXPECT_EQ(back.joinedClients, 2) << "round " << round << ": a client did not return";
            slowest = std::max<long>(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  Clock::now() - started)
                                                  .count());
            drain(clients);
        }
        const long stopMs = stopAll(clients);
        const Counts after = waitCounts([](const Counts& c) { return c.openHandles == 0; });
        EXPECT_EQ(after.openHandles, 0);
        EXPECT_EQ(after.joinedClients, 0);
        figures << "daemon killed 10 x under 2 clients: both back within " << slowest
                << " ms at the slowest, slowest stop " << stopMs << " ms\n";
    }

    // 5. The daemon killed for good under a client: it gives up with a clear error in bound.
    {
        auto last = client("3600");
        ASSERT_TRUE(last->waitFor("streaming", 20000)) << last->tail();
        daemon->kill9();
        daemon.reset();
        const auto killed = Clock::now();
        const int code =
            last->wait(static_cast<int>(vq36host::kRecreateLimit.count()) * 1000 + 15000);
        const long endedMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count();
        EXPECT_EQ(code, 1) << last->tail();
        EXPECT_NE(last->output().find("seconds"), std::string::npos) << last->tail();
        const std::string& said = last->output();
        const std::size_t at = said.find("vq36 asio stream: ");
        figures << "no machine: the client ended with " << code << " after " << endedMs << " ms: "
                << (at == std::string::npos ? said : said.substr(at, said.find('\n', at) - at))
                << "\n";
    }
    std::printf("fault soak figures:\n%s", figures.str().c_str());
}

}  // namespace
