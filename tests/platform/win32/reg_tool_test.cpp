// The registry command that people use.

#include <cstdio>
#include <string>

#include "reg_command.h"
#include "standin/win32/testing.h"
#include "test_support.h"
#include "win32/windows.h"

namespace {

struct RegRun {
    int code;
    std::string out;
    std::string err;
};

RegRun reg(std::vector<std::string> args) {
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    RegRun r{vq36tools::runRegCommand(args, out, err), {}, {}};
    for (auto [file, text] : {std::pair{out, &r.out}, std::pair{err, &r.err}}) {
        std::rewind(file);
        char buffer[512];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
        std::fclose(file);
    }
    return r;
}

TEST(RegCommand, SetThenQuery) {
    standin::win32::ScopedFreshMachine machine;
    EXPECT_EQ(
        reg({"set", "HKCU\\SOFTWARE\\Vexa\\VQ36", "BufferSizeMillisecs", "dword", "0x0C"}).code, 0);
    EXPECT_EQ(
        reg({"set", "HKEY_LOCAL_MACHINE\\Software\\Vexa\\VQ36", "InstallPath", "sz", "c:\\Vexa"})
            .code,
        0);

    RegRun one = reg({"query", "hkcu\\software\\vexa\\vq36", "buffersizemillisecs"});
    EXPECT_EQ(one.code, 0);
    EXPECT_NE(one.out.find("BufferSizeMillisecs    REG_DWORD    0xc (12)"), std::string::npos)
        << one.out;

    RegRun all = reg({"query", "HKLM\\Software\\Vexa"});
    EXPECT_EQ(all.code, 0);
    EXPECT_NE(all.out.find("HKEY_LOCAL_MACHINE\\Software\\Vexa\\VQ36"), std::string::npos)
        << all.out;

    // What the command wrote is what the product reads.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Vexa\\VQ36", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    char text[32] = {};
    DWORD size = sizeof text, type = 0;
    EXPECT_EQ(
        RegQueryValueExA(key, "InstallPath", nullptr, &type, reinterpret_cast<BYTE*>(text), &size),
        ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(text, "c:\\Vexa");
    RegCloseKey(key);
}

TEST(RegCommand, ReportsMistakes) {
    standin::win32::ScopedFreshMachine machine;
    RegRun missing = reg({"query", "HKCU\\Nope"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("cannot find the file"), std::string::npos) << missing.err;
    EXPECT_EQ(reg({"set", "HKCU\\X", "V", "dword", "4294967296"}).code, 2);
    EXPECT_EQ(reg({"set", "HKXX\\X", "V", "dword", "1"}).code, 2);
}

}  // namespace
