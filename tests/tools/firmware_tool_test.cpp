// `vq36 firmware` against a machine daemon: versions, images made for the device model, updates
// with their progress lines and exit codes, and a second update refused while one runs. The
// library's fixed waits are shortened to a tenth (VQ36_TEST_FIRMWARE_WAIT_DIVISOR, inherited by
// the tool's processes).

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "standin/win32/machine.h"
#include "tool_fixture.h"

namespace {

using tooltest::Child;
using tooltest::Run;
using tooltest::ToolTest;

[[maybe_unused]] const int kShortWaits = setenv("VQ36_TEST_FIRMWARE_WAIT_DIVISOR", "10", 1);

// The percent lines of an update, in order.
std::vector<int> percents(const Run& r) {
    std::vector<int> out;
    for (const auto& l : r.lines)
        if (l.size() > 2 && l.substr(l.size() - 2) == " %") out.push_back(std::stoi(l));
    return out;
}

class FirmwareTool : public ToolTest {
  protected:
    // A file below the machine's c:\temp (made when needed).
    std::string file(const std::string& name) {
        std::string folder;
        standin::win32::toHostPath("c:\\temp", &folder);
        std::filesystem::create_directories(folder);
        return folder + "/" + name;
    }
};

TEST_F(FirmwareTool, MakesAnImageAndUpdatesTheDeviceFromItWithProgressLines) {
    // Bad usage and unreadable files give 2; a file that is no image 1, before any device traffic.
    const std::string code = file("code.bin");
    std::ofstream(code, std::ios::binary) << std::string(1000, 'x');
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"firmware"},
             {"firmware", "update"},
             {"firmware", "version", "extra"},
             {"firmware", "update", file("missing.bin")},
             {"firmware", "make", "--version", "1.5"},
             {"firmware", "make", "--version", "one", "-o", file("x.bin")},
             {"firmware", "make", "--version", "1.5", "--section", "0x4010:" + code, "-o",
              file("x.bin")},
             {"firmware", "make", "--version", "1.5", "--section", "0xFFFF0:" + code, "-o",
              file("x.bin")}})
        EXPECT_EQ(tooltest::run(args).code, 2) << args.back();
    const auto bad = tooltest::run({"firmware", "update", code});
    EXPECT_EQ(bad.code, 1) << bad.text;
    EXPECT_TRUE(bad.has("vq36 firmware: the update failed (VQ36_set_update_firmware gave 1)"));

    const auto before = tooltest::run({"firmware", "version"});
    ASSERT_EQ(before.code, 0) << before.text;
    EXPECT_TRUE(before.has("device firmware 1.2.345")) << before.text;
    EXPECT_TRUE(before.has("device in boot loader no")) << before.text;
    EXPECT_TRUE(before.has("built-in image 1.4.0")) << before.text;

    const std::string image = file("fw15.bin");
    const auto made = tooltest::run(
        {"firmware", "make", "--version", "1.5", "--section", "0x20000:" + code, "-o", image});
    ASSERT_EQ(made.code, 0) << made.text;
    // 64 + a 96-byte table + 32 (version) + 1024 (the code, in whole chunks).
    EXPECT_TRUE(made.has("wrote " + image + ": firmware 1.5, 2 section(s), 1216 bytes"))
        << made.text;

    const auto updated = tooltest::run({"firmware", "update", image});
    ASSERT_EQ(updated.code, 0) << updated.text;
    const auto p = percents(updated);
    ASSERT_FALSE(p.empty()) << updated.text;
    EXPECT_TRUE(std::is_sorted(p.begin(), p.end()));
    EXPECT_EQ(std::adjacent_find(p.begin(), p.end()), p.end()) << "one line per new value";
    EXPECT_EQ(p.back(), 100);
    EXPECT_TRUE(updated.has("firmware updated; the device runs 1.5.0")) << updated.text;

    EXPECT_TRUE(tooltest::run({"firmware", "version"}).has("device firmware 1.5.0"));
    EXPECT_TRUE(tooltest::run({"machine", "status"}).text.find("firmware 1.5.0") !=
                std::string::npos);
}

TEST_F(FirmwareTool, ASecondUpdateWhileOneRunsFailsWithTheLibrarysReason) {
    // The library's log on: the failing command quotes it.
    std::filesystem::create_directories(file("VexaAsioLog"));
    std::ofstream(file("VexaEnableDebugLog.flag")).close();

    Child first({"firmware", "update", "--embedded"});
    ASSERT_TRUE(first.waitFor("1 %", 60000)) << first.output();
    const auto status = tooltest::run({"machine", "status"});
    EXPECT_NE(status.text.find("firmware update in progress"), std::string::npos) << status.text;
    const auto second = tooltest::run({"firmware", "update", "--embedded"});
    EXPECT_EQ(second.code, 1) << second.text;
    EXPECT_TRUE(second.has(
        "vq36 firmware: the update failed (VQ36_set_update_firmware_from_embedded gave 1)"))
        << second.text;
    EXPECT_TRUE(
        second.has("vq36 firmware: the library's log: Firmware update failed, separate "
                   "update was too recently in progress"))
        << second.text;

    first.rest(180000);
    EXPECT_EQ(first.wait(), 0) << first.output();
    EXPECT_NE(first.output().find("firmware updated; the device runs 1.4.0"), std::string::npos);
}

}  // namespace
