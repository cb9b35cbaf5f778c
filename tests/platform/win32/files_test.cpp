// Paths of the machine and the file calls on them.

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "standin/win32/machine.h"
#include "standin/win32/testing.h"
#include "test_support.h"
#include "win32/windows.h"

namespace {

using standin::win32::toHostPath;
using standin::win32::toWindowsPath;

std::string host(const char* windows) {
    std::string out;
    EXPECT_TRUE(toHostPath(windows, &out)) << windows;
    return out;
}

TEST(Paths, DrivesMapBelowTheRoot) {
    standin::win32::ScopedFreshMachine machine;
    const std::string c = machine.root() + "/drive_c";
    EXPECT_EQ(host("c:\\temp\\x.log"), c + "/temp/x.log");
    EXPECT_EQ(host("C:/temp/x.log"), c + "/temp/x.log");
    EXPECT_EQ(host("\\temp\\x.log"), c + "/temp/x.log");  // the current drive's root
    EXPECT_EQ(host("d:\\data"), machine.root() + "/drive_d/data");
    EXPECT_EQ(host("c:\\a\\.\\b\\..\\..\\..\\..\\etc\\passwd"),
              c + "/etc/passwd");  // never above the drive
    EXPECT_EQ(host("z:\\usr\\lib"), "/usr/lib");
    EXPECT_EQ(host("/usr/lib"), "/usr/lib");
    std::string out;
    EXPECT_FALSE(toHostPath("\\\\server\\share\\x", &out));
    EXPECT_FALSE(toHostPath("", &out));
    EXPECT_FALSE(toHostPath(nullptr, &out));
}

TEST(Paths, ExistingNamesAreFoundWithoutRegardToCase) {
    standin::win32::ScopedFreshMachine machine;
    std::filesystem::create_directories(machine.root() + "/drive_c/Program Files/Vexa");
    win32test::writeFile(machine.root() + "/drive_c/Program Files/Vexa/VexaDeck.exe", "x");
    EXPECT_EQ(host("C:\\PROGRAM FILES\\vexa\\vexadeck.EXE"),
              machine.root() + "/drive_c/Program Files/Vexa/VexaDeck.exe");
    EXPECT_EQ(host("c:\\windows\\SYSTEM32\\new.dll"),
              machine.root() + "/drive_c/Windows/System32/new.dll");
    EXPECT_EQ(host("c:\\program files\\missing\\More"),
              machine.root() + "/drive_c/Program Files/missing/More");
}

TEST(Paths, HostPathsMapBack) {
    standin::win32::ScopedFreshMachine machine;
    EXPECT_EQ(toWindowsPath(machine.root() + "/drive_c/Windows/System32"), "c:\\Windows\\System32");
    EXPECT_EQ(toWindowsPath(machine.root() + "/drive_c"), "c:\\");
    EXPECT_EQ(toWindowsPath("/usr/lib"), "z:\\usr\\lib");
    EXPECT_EQ(toWindowsPath("/usr/./lib/../lib"), "z:\\usr\\lib");
    // And back again.
    EXPECT_EQ(host(toWindowsPath(machine.root() + "/drive_c/Windows").c_str()),
              machine.root() + "/drive_c/Windows");
    EXPECT_EQ(host(toWindowsPath("/usr/lib").c_str()), "/usr/lib");
}

TEST(Files, AttributesCreateAndDelete) {
    standin::win32::ScopedFreshMachine machine;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetFileAttributesA("c:\\temp\\VexaEnableDebugLog.flag"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));  // no c:\temp

    EXPECT_FALSE(CreateDirectoryA("c:\\temp\\monitor", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(CreateDirectoryA("c:\\temp", nullptr));
    EXPECT_FALSE(CreateDirectoryA("C:\\TEMP", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileAttributesA("c:\\Temp") & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));

    EXPECT_EQ(GetFileAttributesA("c:\\temp\\VexaEnableDebugLog.flag"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    win32test::writeFile(machine.host("c:\\temp\\VexaEnableDebugLog.flag"), "");
    EXPECT_EQ(GetFileAttributesA("c:\\temp\\vexaenabledebuglog.FLAG"),
              static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));

    EXPECT_TRUE(DeleteFileA("c:\\temp\\VexaEnableDebugLog.flag"));
    EXPECT_FALSE(DeleteFileA("c:\\temp\\VexaEnableDebugLog.flag"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(DeleteFileA("c:\\temp"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(Files, SharedOpenTruncatesAndNeverCreatesFolders) {
    standin::win32::ScopedFreshMachine machine;
    const char* name = "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_001a2b.log";
    EXPECT_EQ(_fsopen(name, "w", _SH_DENYNO), nullptr);
    EXPECT_FALSE(std::filesystem::exists(machine.host("c:\\temp")));

    std::filesystem::create_directories(machine.host("c:\\temp\\VexaAsioLog"));
    win32test::writeFile(machine.host(name), "an older process's log\n");
    FILE* log = _fsopen(name, "w", _SH_DENYNO);
    ASSERT_NE(log, nullptr);
    std::fputs("VQ36: one", log);
    std::fflush(log);
    // Others may read while the log is open.
    FILE* reader = _fsopen(name, "rt", _SH_DENYNO);
    ASSERT_NE(reader, nullptr);
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, reader), nullptr);
    EXPECT_STREQ(line, "VQ36: one");
    std::fclose(reader);
    std::fclose(log);

    EXPECT_EQ(_fsopen(name, "w", 0x10), nullptr);  // only shared opening is offered
    EXPECT_EQ(_fsopen(name, "q", _SH_DENYNO), nullptr);
    EXPECT_EQ(_fsopen(nullptr, "w", _SH_DENYNO), nullptr);
}

}  // namespace
