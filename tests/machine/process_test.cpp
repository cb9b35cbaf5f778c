// Several processes on one machine: a process that dies with its handles open, two processes
// sharing the driver's memory and named events, and the machine as a daemon (`vq36 machine
// run`): its management commands, a second daemon on the root, and a daemon that dies while a
// client waits.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <tuple>

#include "machine_fixture.h"
#include "standin/host/wire.h"
#include "standin/win32/machine.h"
#include "standin/win32/testing.h"
#include "test_kernel_driver.h"

namespace {

using machinetest::Child;
using machinetest::kWithInput;
using machinetest::eventually;
using machinetest::interfacePaths;
using machinetest::ioctl;
using machinetest::ioctlWord;
using machinetest::MachineTest;
using machinetest::openDevice;

constexpr const char* kChild = VQ_MACHINE_CHILD_PATH;
constexpr const char* kTool = VQ36_TOOL_PATH;

std::size_t openHandles(standin::host::Machine& machine) {
    auto status = machine.status();
    std::size_t n = 0;
    for (const auto& d : status.deviceObjects) n += d.openHandles;
    return n;
}

TEST_F(MachineTest, AProcessThatDiesWithItsHandleOpenIsCleanedUp) {
    startMachine(1);
    HANDLE watcher = CreateEventA(nullptr, TRUE, FALSE, "MachineTestChildEvent");
    ASSERT_NE(watcher, nullptr);
    Child child(kChild, {"keep-and-die", "MachineTestChildEvent"}, kWithInput);
    EXPECT_EQ(child.line(), "ready 0");
    EXPECT_EQ(child.wait(), 0);
    // Its handle's cleanup ran without it: the kept event was set, the handle is gone.
    EXPECT_EQ(WaitForSingleObject(watcher, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(eventually([&] { return openHandles(*machine) == 0; }));
    EXPECT_TRUE(eventually([&] { return machine->status().processes == 0; }));
    CloseHandle(watcher);
    // Nothing the dead process had is left with the machine: a new handle works as ever.
    HANDLE h = openDevice(interfacePaths().at(0));
    std::uint32_t id = 0;
    EXPECT_TRUE(ioctl(h, testdriver::kClientId, nullptr, 0, &id, 4).ok);
    EXPECT_EQ(id, 1u);
    CloseHandle(h);
}

TEST_F(MachineTest, TwoProcessesSeeTheSameBytesOfTheDriversMemory) {
    startMachine(1);
    HANDLE h = openDevice(interfacePaths().at(0));
    std::uint64_t address = 0;
    ASSERT_TRUE(ioctl(h, testdriver::kMapRecord, nullptr, 0, &address, 8).ok);
    auto* record = reinterpret_cast<std::uint8_t*>(static_cast<std::uintptr_t>(address));
    const std::uint32_t offset = 0x1E057, marker = 0x600DF00D;
    std::memcpy(record + offset, &marker, 4);

    Child child(kChild, {"shared", std::to_string(offset)}, kWithInput);
    EXPECT_EQ(child.line(), "seen " + std::to_string(marker));
    EXPECT_EQ(child.line(), "written");
    std::uint32_t back = 0;
    std::memcpy(&back, record + offset + 4, 4);
    EXPECT_EQ(back, marker + 1);
    child.say("bye");
    EXPECT_EQ(child.wait(), 0);
    CloseHandle(h);
}

TEST_F(MachineTest, NamedEventsAreSharedByTheProcessesOfTheMachine) {
    startMachine(0);
    HANDLE mine = CreateEventA(nullptr, TRUE, FALSE, "VexaVq36MidiDataReady42");
    ASSERT_NE(mine, nullptr);
    Child setter(kChild, {"set-event", "VexaVq36MidiDataReady42"}, kWithInput);
    EXPECT_EQ(setter.line(), "set");
    EXPECT_EQ(WaitForSingleObject(mine, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(setter.wait(), 0);

    // Created in another process first: this process opens it.
    Child creator(kChild, {"create-event", "MachineTestOther"}, kWithInput);
    EXPECT_EQ(creator.line(), "created 0");
    HANDLE theirs = CreateEventA(nullptr, TRUE, FALSE, "MachineTestOther");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(machine->status().namedEvents, 2u);
    CloseHandle(theirs);
    creator.say("bye");
    EXPECT_EQ(creator.wait(), 0);
    CloseHandle(mine);
    // The names go with their last holders.
    EXPECT_TRUE(eventually([&] { return machine->status().namedEvents == 0; }));
}

// ---------------------------------------------------------------------------------------------
// The daemon.
class Daemon : public MachineTest {
  protected:
    std::unique_ptr<Child> run(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"machine", "run", "--driver", kDriverPath};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Child>(kTool, args);
    }

    // Runs `vq36 machine ARGS`; its output.
    std::string tool(std::vector<std::string> args, int* code = nullptr) {
        args.insert(args.begin(), "machine");
        Child c(kTool, args);
        const int rc = c.wait();
        if (code != nullptr) *code = rc;
        return c.output();
    }
};

TEST_F(Daemon, ServesProcessesAndTakesManagementCommands) {
    auto daemon = run();
    EXPECT_TRUE(daemon->waitFor("machine running at " + root.root()));
    ASSERT_TRUE(eventually([] { return interfacePaths().size() == 1; }));
    HANDLE h = openDevice(interfacePaths().at(0));
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    int code = -1;
    std::string status = tool({"status"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(status.find("device 1 (port 1): working, open handles 1"), std::string::npos)
        << status;
    EXPECT_NE(status.find("processes 1"), std::string::npos) << status;

    EXPECT_EQ(tool({"plug", "--signal", "silence"}, &code), "plugged into port 2\n");
    EXPECT_TRUE(eventually([] { return interfacePaths().size() == 2; }));
    tool({"unplug", "9"}, &code);
    EXPECT_EQ(code, 1);
    tool({"unplug", "2"}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(interfacePaths().size(), 1u);

    EXPECT_EQ(tool({"shutdown"}, &code), "shutting down\n");
    EXPECT_EQ(daemon->wait(), 0);
    // The handle of a machine that is gone fails, and nothing opens any more.
    auto r = ioctl(h, testdriver::kClientId, nullptr, 0, nullptr, 0);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_BAD_COMMAND));
    CloseHandle(h);
    EXPECT_TRUE(interfacePaths().empty());
    tool({"status"}, &code);
    EXPECT_EQ(code, 1);
}

TEST_F(Daemon, ASecondDaemonOnTheRootRefusesToStart) {
    auto first = run();
    ASSERT_TRUE(first->waitFor("machine running"));
    auto second = run();
    EXPECT_EQ(second->wait(), 1);
    // The embedded machine is refused as well.
    standin::host::MachineOptions options;
    options.root = root.root();
    options.driverPath = kDriverPath;
    std::string error;
    EXPECT_EQ(standin::host::Machine::start(options, &error), nullptr);
    EXPECT_NE(error.find("another machine"), std::string::npos) << error;
    // The first one still serves.
    EXPECT_EQ(interfacePaths().size(), 1u);
}

TEST_F(Daemon, ADaemonKilledWhileAClientWaitsFailsTheCallAtOnce) {
    auto daemon = run();
    ASSERT_TRUE(daemon->waitFor("machine running"));
    ASSERT_TRUE(eventually([] { return interfacePaths().size() == 1; }));
    HANDLE h = openDevice(interfacePaths().at(0));
    std::uint64_t address = 0;
    ASSERT_TRUE(ioctl(h, testdriver::kMapRecord, nullptr, 0, &address, 8).ok);
    HANDLE named = CreateEventA(nullptr, TRUE, FALSE, "MachineTestSurvivor");

    std::atomic<bool> returned{false};
    machinetest::IoResult result;
    std::thread waiter([&] {
        result = ioctlWord(h, testdriver::kWait, 60000);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(returned.load());
    auto killed = std::chrono::steady_clock::now();
    daemon->kill9();
    daemon->wait();
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(10));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_BAD_COMMAND));
    // Every later call fails too; the view of the driver's memory stays readable; events keep
    // working within the process.
    EXPECT_EQ(ioctlWord(h, testdriver::kClientId, 0).error, static_cast<DWORD>(ERROR_BAD_COMMAND));
    volatile std::uint8_t first = *reinterpret_cast<std::uint8_t*>(address);
    (void)first;
    EXPECT_TRUE(SetEvent(named));
    EXPECT_EQ(WaitForSingleObject(named, 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(CloseHandle(h));
    CloseHandle(named);
    EXPECT_EQ(openDevice("\\\\?\\usb#vid_b713&pid_2e00#1#{5b1d8e42-93a7-4c6f-b2e1-7d0a6c39f814}"),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // A new daemon takes over the root the dead one left.
    auto next = run();
    EXPECT_TRUE(next->waitFor("machine running"));
    EXPECT_TRUE(eventually([] { return interfacePaths().size() == 1; }));
}

// ---------------------------------------------------------------------------------------------
// Who may use the machine.
constexpr uid_t kStranger = 65534;

// Runs `vq36 ARGS` (as the stranger when asked); its exit code and output.
std::pair<int, std::string> runTool(std::vector<std::string> args, bool asStranger = false) {
    std::string program = kTool;
    if (asStranger) {
        args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", kTool});
        program = "/usr/bin/setpriv";
    }
    Child c(program, args);
    const int code = c.wait();
    return {code, c.output()};
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

TEST_F(MachineTest, TheMachineServesOnlyItsOwner) {
    if (geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    startMachine(1);
    const std::string socket = standin::host::wire::socketPath(root.root());
    EXPECT_EQ(modeOf(root.root()), 0700u);
    EXPECT_EQ(modeOf(socket), 0600u);
    EXPECT_EQ(modeOf(root.root() + "/machine.lock"), 0600u);

    // Another user cannot even reach the socket, and is told that it is a matter of permission.
    auto [code, text] = runTool({"machine", "status"}, true);
    EXPECT_EQ(code, 1);
    EXPECT_NE(text.find("no permission to reach"), std::string::npos) << text;

    // With the folder and socket opened up by hand, the machine itself refuses the stranger on
    // every connection: a command with the reason, a device open with access denied.
    ASSERT_EQ(chmod(root.root().c_str(), 0755), 0);
    ASSERT_EQ(chmod(socket.c_str(), 0666), 0);
    std::tie(code, text) = runTool({"machine", "status"}, true);
    EXPECT_EQ(code, 1);
    EXPECT_NE(text.find("serves only user 0; user 65534 may not use it"), std::string::npos)
        << text;
    const std::string path = interfacePaths().at(0);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(kStranger) != 0 || setuid(kStranger) != 0) _exit(99);
        HANDLE h = openDevice(path);
        _exit(h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the stranger opened the device";
    EXPECT_EQ(openHandles(*machine), 0u);

    // The owner is served as before.
    EXPECT_EQ(runTool({"machine", "status"}).first, 0);
    HANDLE h = openDevice(path);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(MachineTest, ARootThatIsNotTheUsersAloneIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    auto startOn = [](const std::string& folder, std::string* error) {
        standin::host::MachineOptions options;
        options.root = folder;
        options.driverPath = kDriverPath;
        return standin::host::Machine::start(options, error);
    };
    std::string error;
    auto says = [&error](const char* text) { return error.find(text) != std::string::npos; };
    const std::string foreign = root.root() + "/foreign";
    ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
    ASSERT_EQ(chown(foreign.c_str(), kStranger, kStranger), 0);
    EXPECT_EQ(startOn(foreign, &error), nullptr);
    EXPECT_TRUE(says("belongs to user 65534")) << error;

    const std::string open = root.root() + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    EXPECT_EQ(startOn(open, &error), nullptr);
    EXPECT_TRUE(says("writable by other users (mode 0777)")) << error;

    // A lock planted as a link to another file: refused, and the file is left as it was.
    const std::string planted = root.root() + "/planted";
    ASSERT_EQ(mkdir(planted.c_str(), 0700), 0);
    const std::string victim = root.root() + "/victim";
    std::ofstream(victim) << "precious";
    ASSERT_EQ(symlink(victim.c_str(), (planted + "/machine.lock").c_str()), 0);
    EXPECT_EQ(startOn(planted, &error), nullptr);
    EXPECT_TRUE(says("symbolic link")) << error;
    std::string kept;
    std::getline(std::ifstream(victim), kept);
    EXPECT_EQ(kept, "precious");

    // A root that does not exist yet is made for the user alone, whatever the umask.
    const mode_t umaskBefore = umask(0);
    const std::string fresh = root.root() + "/fresh/machine";
    auto machine = startOn(fresh, &error);
    EXPECT_NE(machine, nullptr) << error;
    machine.reset();
    const std::string made = root.root() + "/made/machine";
    standin::win32::setMachineRoot(made);
    umask(umaskBefore);
    EXPECT_EQ(modeOf(fresh), 0700u);
    EXPECT_EQ(modeOf(made), 0700u);
    standin::win32::setMachineRoot(root.root());
}

TEST_F(MachineTest, MessagesSayWhatWentWrong) {
    // A command longer than a packet is too long, not unanswered.
    auto [code, text] = runTool({"machine", "played", "1", "/tmp/" + std::string(70000, 'x')});
    EXPECT_EQ(code, 2);
    EXPECT_NE(text.find("the command is too long"), std::string::npos) << text;
    // A registry that cannot be read is not one without drivers.
    std::ofstream(root.root() + "/registry.sqlite3") << std::string(8192, 'Z');
    std::tie(code, text) = runTool({"asio", "list"});
    EXPECT_EQ(code, 1);
    EXPECT_NE(text.find("the registry could not be read"), std::string::npos) << text;
    // A drift that is not a number.
    startMachine(1);
    EXPECT_EQ(machine->manage({"plug", "--drift", "nan"}, &text), 1);
    EXPECT_NE(text.find("drift must be between"), std::string::npos) << text;
}

}  // namespace
