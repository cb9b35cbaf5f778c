// Starting programs: CreateProcessA and ShellExecuteA.

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "standin/win32/testing.h"
#include "test_support.h"
#include "win32/windows.h"

namespace {

class Programs : public ::testing::Test {
  protected:
    // Writes an executable script at a Windows path.
    void makeProgram(const char* windowsPath, const std::string& body) {
        const std::string path = machine.host(windowsPath);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        win32test::writeFile(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
    }

    // Waits (generously) for a file a program writes.
    std::string waitForFile(const std::string& path) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::string text = win32test::readFile(path);
            if (!text.empty() && text.back() == '\n') return text;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return win32test::readFile(path);
    }

    standin::win32::ScopedFreshMachine machine;
};

TEST_F(Programs, CreateProcessRunsTheProgramWithItsArguments) {
    makeProgram("c:\\Program Files\\Vexa\\VexaDeck.exe",
                "printf '%s|%s|%s|%s\\n' \"$#\" \"$1\" \"$2\" \"$(pwd)\" > args.txt\nexit 3\n");
    std::filesystem::create_directories(machine.host("c:\\work"));
    char commandLine[] = "\"c:\\Program Files\\Vexa\\VexaDeck.exe\" \"two words\" a\\\\\\\"b";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA("c:\\program files\\vexa\\vexadeck.exe", commandLine, nullptr,
                               nullptr, FALSE, 0, nullptr, "c:\\work", &startup, &info));
    EXPECT_NE(info.hProcess, nullptr);
    EXPECT_NE(info.hThread, nullptr);
    EXPECT_GT(info.dwProcessId, 0u);
    DWORD exitCode = 0;
    ASSERT_TRUE(standin::win32::waitForProcessExit(info.hProcess, 10000, &exitCode));
    EXPECT_EQ(exitCode, 3u);
    EXPECT_EQ(win32test::readFile(machine.host("c:\\work\\args.txt")),
              "2|two words|a\\\"b|" + machine.host("c:\\work") + "\n");
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
    EXPECT_FALSE(CloseHandle(info.hProcess));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(Programs, CreateProcessFailsForAMissingProgram) {
    char commandLine[] = "\\VexaDeck.exe";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    EXPECT_FALSE(CreateProcessA("\\VexaDeck.exe", commandLine, nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, &startup, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(info.hProcess, nullptr);
    EXPECT_FALSE(CreateProcessA("c:\\missing\\folder\\x.exe", nullptr, nullptr, nullptr, FALSE, 0,
                                nullptr, nullptr, &startup, &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(Programs, ShellExecuteRunsABatchFileInItsFolder) {
    std::filesystem::create_directories(machine.host("c:\\temp\\monitor"));
    // A batch file is a shell script on this machine (no interpreter line, no execute bit).
    win32test::writeFile(machine.host("c:\\temp\\monitor\\monitor.bat"),
                         "printf '%s\\n' \"$1\" > seen.txt\n");
    HINSTANCE r = ShellExecuteA(nullptr, nullptr, "c:\\temp\\monitor\\monitor.bat",
                                "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_001a2b.log",
                                "c:\\temp\\monitor", SW_SHOWNORMAL);
    EXPECT_GT(reinterpret_cast<std::uintptr_t>(r), 32u);
    EXPECT_EQ(waitForFile(machine.host("c:\\temp\\monitor\\seen.txt")),
              "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_001a2b.log\n");

    auto code = [](HINSTANCE h) { return reinterpret_cast<std::uintptr_t>(h); };
    EXPECT_EQ(
        code(ShellExecuteA(nullptr, "open", "c:\\temp\\monitor\\none.bat", "", nullptr, SW_SHOW)),
        2u);
    EXPECT_EQ(code(ShellExecuteA(nullptr, "open", "c:\\nowhere\\none.bat", "", nullptr, SW_SHOW)),
              3u);
    EXPECT_LE(code(ShellExecuteA(nullptr, "print", "c:\\temp\\monitor\\monitor.bat", "", nullptr,
                                 SW_SHOW)),
              32u);
    win32test::writeFile(machine.host("c:\\temp\\notes.txt"), "text");
    EXPECT_LE(
        code(ShellExecuteA(nullptr, nullptr, "c:\\temp\\notes.txt", nullptr, nullptr, SW_SHOW)),
        32u);
}

}  // namespace
