// The library's frame: per-user settings, registry strings and the debug log.

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "library.h"
#include "standin/win32/testing.h"
#include "test_support.h"
#include "win32/windows.h"

namespace {

constexpr const char* kSettings = "SOFTWARE\\Vexa\\VQ36";

using win32test::readFile;
// The library's log state is per process and is only ever touched in forked children, so each
// child starts with the log not yet opened.
using win32test::inChild;

class Frame : public ::testing::Test {
  protected:
    void store(const char* name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kSettings, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void storeDword(const char* name, DWORD value) { store(name, REG_DWORD, &value, 4); }

    std::string logPath(DWORD pid) {
        char name[MAX_PATH];
        FormatDebugLogFileName(name, sizeof name, pid);
        return machine.host(name);
    }
    void enableLog(bool withFolder = true) {
        std::filesystem::create_directories(machine.host("c:\\temp"));
        if (withFolder) std::filesystem::create_directories(machine.host("c:\\temp\\VexaAsioLog"));
        std::ofstream(machine.host("c:\\temp\\VexaEnableDebugLog.flag")).close();
    }

    standin::win32::ScopedFreshMachine machine;
};

TEST_F(Frame, BufferSizeDefaultsAndClamps) {
    EXPECT_EQ(getBufferSizeMillisecs(), 8u);  // no key at all
    const std::pair<DWORD, DWORD> cases[] = {{0, 1},   {1, 1},   {12, 12},
                                             {50, 50}, {51, 50}, {0xFFFFFFFF, 50}};
    for (auto [stored, expected] : cases) {
        storeDword("BufferSizeMillisecs", stored);
        EXPECT_EQ(getBufferSizeMillisecs(), expected) << "stored " << stored;
    }
}

TEST_F(Frame, RealTimeFlagAndMidiChannels) {
    EXPECT_TRUE(isRealTimeEnabled());
    EXPECT_EQ(getMidiInChannel(), 0u);
    EXPECT_EQ(getMidiOutChannel(), 1u);
    storeDword("IsRealTimeEnabled", 0);
    EXPECT_FALSE(isRealTimeEnabled());
    storeDword("IsRealTimeEnabled", 2);
    EXPECT_TRUE(isRealTimeEnabled());
    storeDword("MidiInChannel", 99);
    storeDword("MidiOutChannel", 99);
    EXPECT_EQ(getMidiInChannel(), 99u);
    EXPECT_EQ(getMidiOutChannel(), 99u);
}

TEST_F(Frame, ValuesOfAnotherTypeReadTheDefault) {
    store("BufferSizeMillisecs", REG_SZ, "12", 3);
    EXPECT_EQ(getBufferSizeMillisecs(), 8u);
    const BYTE two[2] = {12, 0};
    store("BufferSizeMillisecs", REG_DWORD, two, 2);  // a DWORD of the wrong size
    EXPECT_EQ(getBufferSizeMillisecs(), 8u);
    store("IsRealTimeEnabled", REG_SZ, "0", 2);
    EXPECT_TRUE(isRealTimeEnabled());
    const BYTE four[4] = {5, 0, 0, 0};
    store("MidiOutChannel", REG_BINARY, four, 4);  // four binary bytes count as a DWORD
    EXPECT_EQ(getMidiOutChannel(), 5u);
}

TEST_F(Frame, SettingsWrittenAreReadBack) {
    setBufferSizeMillisecs(12);  // creates the key
    setMidiInChannel(3);
    setMidiOutChannel(4);
    EXPECT_EQ(getBufferSizeMillisecs(), 12u);
    EXPECT_EQ(getMidiInChannel(), 3u);
    EXPECT_EQ(getMidiOutChannel(), 4u);
}

TEST_F(Frame, ReadRegistryString) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Vexa\\VQ36", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const char path[] = "c:\\Program Files\\Vexa";
    ASSERT_EQ(RegSetValueExA(key, "InstallPath", 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                             sizeof path),
              ERROR_SUCCESS);
    char buffer[MAX_PATH] = {};
    EXPECT_TRUE(readRegistryString(HKEY_LOCAL_MACHINE, "Software\\Vexa\\VQ36", "InstallPath",
                                   buffer, sizeof buffer));
    EXPECT_STREQ(buffer, path);

    // Larger than the buffer: false, and the buffer is untouched.
    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_FALSE(readRegistryString(HKEY_LOCAL_MACHINE, "Software\\Vexa\\VQ36", "InstallPath",
                                    small, sizeof small));
    EXPECT_EQ(std::string(small, sizeof small), std::string(8, '#'));

    // A string stored without its terminator is terminated, and needs room for it.
    ASSERT_EQ(RegSetValueExA(key, "Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>("12345678"), 8),
              ERROR_SUCCESS);
    EXPECT_FALSE(readRegistryString(HKEY_LOCAL_MACHINE, "Software\\Vexa\\VQ36", "Bare", small,
                                    sizeof small));
    EXPECT_EQ(std::string(small, sizeof small), std::string(8, '#'));
    char nine[9];
    std::memset(nine, '#', sizeof nine);
    EXPECT_TRUE(
        readRegistryString(HKEY_LOCAL_MACHINE, "Software\\Vexa\\VQ36", "Bare", nine, sizeof nine));
    EXPECT_STREQ(nine, "12345678");
    RegCloseKey(key);

    EXPECT_FALSE(readRegistryString(HKEY_LOCAL_MACHINE, "Software\\Vexa\\VQ36", "Missing", buffer,
                                    sizeof buffer));
    EXPECT_FALSE(readRegistryString(HKEY_LOCAL_MACHINE, "Software\\Nobody", "InstallPath", buffer,
                                    sizeof buffer));
    EXPECT_FALSE(
        readRegistryString(HKEY_LOCAL_MACHINE, nullptr, "InstallPath", buffer, sizeof buffer));
}

TEST_F(Frame, LogFileNameCarriesSixHexDigitsOfTheProcessId) {
    char name[MAX_PATH];
    FormatDebugLogFileName(name, sizeof name, 0x1A2B);
    EXPECT_STREQ(name, "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_001a2b.log");
}

TEST_F(Frame, LogLinesAreThreePiecesAndFragmentsRunOn) {
    enableLog();
    inChild([&] {
        // An older process with the same id left a log: this one starts it afresh.
        std::ofstream(logPath(GetCurrentProcessId())) << "stale\n";
        DebugLog(1, "Creating critical section");
        DebugLogFragment(2, "%s %d", "SET", 32);
        DebugLog(2, "IOCTL failed in SendDeviceMessage\n");
        DebugLog(3, "not at level 2");
        DebugLog(2, "value %u", 7u);
        gLogLevel = 0;
        DebugLog(1, "silenced");
        char expectedName[MAX_PATH];
        FormatDebugLogFileName(expectedName, sizeof expectedName, GetCurrentProcessId());
        EXPECT_STREQ(DebugLogFileName(), expectedName);
        EXPECT_EQ(readFile(logPath(GetCurrentProcessId())),
                  "VQ36: Creating critical section\n"
                  "SET 32VQ36: IOCTL failed in SendDeviceMessage\n\n"
                  "VQ36: value 7\n");
    });
}

TEST_F(Frame, LogNeedsTheFlagAtTheFirstWrite) {
    std::filesystem::create_directories(machine.host("c:\\temp\\VexaAsioLog"));
    inChild([&] {
        DebugLog(1, "before the flag");
        enableLog();
        DebugLog(1, "after the flag");
        EXPECT_FALSE(std::filesystem::exists(logPath(GetCurrentProcessId())));
        EXPECT_STREQ(DebugLogFileName(), "");
    });
}

TEST_F(Frame, LogWithoutItsFolderStaysClosed) {
    enableLog(/*withFolder=*/false);
    inChild([&] {
        DebugLog(1, "nowhere to go");
        EXPECT_FALSE(
            std::filesystem::exists(machine.host("c:\\temp\\VexaAsioLog")));  // never created
        EXPECT_STREQ(DebugLogFileName(), "");
    });
}

TEST_F(Frame, FirstLinesFromSeveralThreadsOpenOneLog) {
    enableLog();
    inChild([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 20; ++i) DebugLog(1, "thread %d line %d", t, i);
            });
        }
        for (auto& t : threads) t.join();
        const std::string log = readFile(logPath(GetCurrentProcessId()));
        std::size_t lines = 0, prefixes = 0;
        for (std::size_t p = 0; (p = log.find('\n', p)) != std::string::npos; ++p) ++lines;
        for (std::size_t p = 0; (p = log.find("VQ36: ", p)) != std::string::npos; ++p) ++prefixes;
        EXPECT_EQ(lines, 160u);  // pieces may interleave; none is lost
        EXPECT_EQ(prefixes, 160u);
    });
}

}  // namespace
