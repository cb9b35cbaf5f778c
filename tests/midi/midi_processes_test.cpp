// `vq36 midi` on a machine daemon: the driver installed as its setup would, two programs with
// the input port open at once, a note sent through the output port, and the exit codes.

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

namespace {

using Child = vq36tools::ChildProcess;

// Runs `vq36 ARGS`; its exit code, and its output in *text.
int vq36(std::vector<std::string> args, std::string* text = nullptr) {
    Child tool(VQ36_TOOL_PATH, args);
    tool.rest();
    const int code = tool.wait();
    if (text != nullptr) *text = tool.output();
    return code;
}

TEST(MidiCommand, WithoutMachineOrDriverItSaysWhichAndBadUsageExitsTwo) {
    standin::win32::ScopedFreshMachine root;
    std::string text;
    EXPECT_EQ(vq36({"midi", "send", "note", "17", "60", "100"}, &text), 2);
    EXPECT_EQ(vq36({"midi", "send", "--hex", "1g"}), 2);
    EXPECT_EQ(vq36({"midi", "frobnicate"}), 2);
    EXPECT_EQ(vq36({"midi", "send", "note", "1", "60", "100"}, &text), 1);
    EXPECT_NE(text.find("no machine runs"), std::string::npos) << text;
    EXPECT_EQ(vq36({"midi", "list"}, &text), 1);
    EXPECT_NE(text.find("no MIDI driver is installed"), std::string::npos) << text;
    EXPECT_EQ(vq36({"midi", "uninstall"}), 1);
}

TEST(MidiCommand, TwoMonitorsSeeTheSurfaceAndASentNoteReachesTheDevice) {
    std::signal(SIGPIPE, SIG_IGN);
    standin::win32::ScopedFreshMachine root;
    Child daemon(VQ36_TOOL_PATH, {"machine", "run", "--driver", VQ36_KERNEL_SYS_PATH});
    ASSERT_TRUE(daemon.waitFor("machine running at", 20000));
    std::string text;
    ASSERT_EQ(vq36({"midi", "install", "--driver", VQ36_MIDI_DLL_PATH}, &text), 0) << text;
    EXPECT_EQ(vq36({"midi", "list"}, &text), 0);
    EXPECT_NE(text.find("out 0: Vexa VQ36 MIDI  manufacturer 255"), std::string::npos) << text;
    EXPECT_NE(text.find("in 0: Vexa VQ36 MIDI  manufacturer 255"), std::string::npos) << text;

    std::vector<std::unique_ptr<Child>> monitors;
    for (int i = 0; i < 2; ++i) {
        monitors.push_back(
            std::make_unique<Child>(VQ36_TOOL_PATH, std::vector<std::string>{"midi", "monitor"}));
        ASSERT_TRUE(monitors.back()->waitFor("monitoring Vexa VQ36 MIDI", 20000));
    }
    // Moved until both have seen it (each monitor's library delivers what arrives after its
    // first pass).
    for (auto& m : monitors) {
        bool seen = false;
        for (int attempt = 0; attempt < 40 && !seen; ++attempt) {
            ASSERT_EQ(vq36({"machine", "control", "1", "7", "64"}), 0);
            while (auto line = m->line(300)) {
                if (line->find("ch  1  control    7  64") != std::string::npos) seen = true;
            }
        }
        EXPECT_TRUE(seen) << m->tail();
    }
    for (auto& m : monitors) {
        m->interrupt();
        EXPECT_EQ(m->wait(), 0);
    }

    // The output port passes channel 1 ("MidiInChannel"), as `vq36 ctl channels 1 1` sets it.
    HKEY key = nullptr;
    const DWORD channel = 1;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "SOFTWARE\\Vexa\\VQ36", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "MidiInChannel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&channel), 4);
    RegCloseKey(key);
    ASSERT_EQ(vq36({"midi", "send", "note", "1", "60", "100"}, &text), 0) << text;
    ASSERT_EQ(vq36({"midi", "send", "--hex", "b0", "07", "21", "c0", "05"}, &text), 0) << text;
    EXPECT_EQ(vq36({"machine", "packets", "1", "2"}, &text), 0);
    EXPECT_NE(text.find("41  03 90 3c 64\n"), std::string::npos) << text;
    EXPECT_NE(text.find("41  03 b0 07 21\n"), std::string::npos) << text;

    EXPECT_EQ(vq36({"midi", "uninstall"}, &text), 0);
    EXPECT_EQ(vq36({"midi", "send", "note", "1", "60", "100"}, &text), 1);
    EXPECT_NE(text.find("not installed"), std::string::npos) << text;
    EXPECT_EQ(vq36({"machine", "shutdown"}), 0);
    daemon.wait();
}

}  // namespace
