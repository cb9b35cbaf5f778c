// Modules: loading, DllMain, reference counts and look-ups.

#include <cstdlib>
#include <filesystem>

#include "standin/win32/machine.h"
#include "standin/win32/modules.h"
#include "standin/win32/testing.h"
#include "test_support.h"
#include "win32/windows.h"

namespace {

using Events = std::vector<std::string>;

const std::string kModulePath = VQ_TEST_MODULE_PATH;  // the build output, outside the machine

std::string fileNameOf(HMODULE module) {
    char path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameA(module, path, sizeof path);
    return std::string(path, n);
}

class Modules : public ::testing::Test {
  protected:
    void SetUp() override { win32test::takeRecordedEvents(); }
    standin::win32::ScopedFreshMachine machine;
};

TEST_F(Modules, AttachAfterStaticInitialisationDetachBeforeDestruction) {
    HMODULE first = LoadLibraryA(kModulePath.c_str());
    ASSERT_NE(first, nullptr) << standin::win32::lastLoaderMessage();
    EXPECT_EQ(win32test::takeRecordedEvents(), (Events{"construct", "attach"}));

    // More references: no new attach; the last FreeLibrary detaches and unloads.
    EXPECT_EQ(LoadLibraryA(kModulePath.c_str()), first);
    EXPECT_EQ(LoadLibraryA("VqTestModule"), first);  // by name: the module already loaded
    EXPECT_TRUE(win32test::takeRecordedEvents().empty());
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_TRUE(win32test::takeRecordedEvents().empty());
    EXPECT_EQ(GetModuleHandleA("VqTestModule.dll"), first);
    EXPECT_TRUE(FreeLibrary(first));
    EXPECT_EQ(win32test::takeRecordedEvents(), (Events{"detach", "destruct"}));
    EXPECT_EQ(GetModuleHandleA("VqTestModule.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_FALSE(FreeLibrary(first));
}

TEST_F(Modules, LookUpByNameAndPath) {
    HMODULE module = LoadLibraryA(kModulePath.c_str());
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(standin::win32::moduleFromAddress(
                  reinterpret_cast<const void*>(GetProcAddress(module, "VqTestModuleAnswer"))),
              module);
    EXPECT_EQ(GetModuleHandleA("vqtestmodule.DLL"), module);
    EXPECT_EQ(GetModuleHandleA("VQTESTMODULE"), module);  // ".dll" is implied
    EXPECT_EQ(GetModuleHandleA(kModulePath.c_str()), module);
    const std::string windowsPath = fileNameOf(module);
    EXPECT_EQ(windowsPath, standin::win32::toWindowsPath(kModulePath));
    EXPECT_EQ(windowsPath.rfind("z:\\", 0), 0u);  // outside the machine
    EXPECT_EQ(GetModuleHandleA(windowsPath.c_str()), module);
    EXPECT_EQ(GetModuleHandleA(standin::win32::lowerAnsi(windowsPath).c_str()), module);

    auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "VqTestModuleAnswer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    // Only the module's own exports: not those of the libraries it uses.
    EXPECT_EQ(GetProcAddress(module, "GetModuleHandleA"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(std::uintptr_t{1})), nullptr);

    // A truncated file name is terminated and reports the buffer's size.
    char small[6];
    EXPECT_EQ(GetModuleFileNameA(module, small, sizeof small), sizeof small);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::string(small), windowsPath.substr(0, 5));
    EXPECT_TRUE(FreeLibrary(module));
    win32test::takeRecordedEvents();
}

TEST_F(Modules, ProgramAndBuildTimeLibrariesAreModulesToo) {
    HMODULE program = GetModuleHandleA(nullptr);
    ASSERT_NE(program, nullptr);
    EXPECT_EQ(standin::win32::moduleFromAddress(reinterpret_cast<const void*>(&fileNameOf)),
              program);
    const std::string name = fileNameOf(nullptr);
    EXPECT_EQ(name, fileNameOf(program));
    EXPECT_NE(name.find("test_platform_win32"), std::string::npos);
    // The stand-in itself was linked at build time; no registration makes it known.
    HMODULE standin = GetModuleHandleA("libstandin_win32.so");
    ASSERT_NE(standin, nullptr);
    EXPECT_EQ(standin::win32::moduleFromAddress(reinterpret_cast<const void*>(&GetModuleHandleA)),
              standin);
    EXPECT_NE(GetProcAddress(standin, "GetModuleHandleA"), nullptr);
    EXPECT_TRUE(FreeLibrary(standin));  // pinned: nothing happens
    EXPECT_EQ(GetModuleHandleA("libstandin_win32.so"), standin);
}

TEST_F(Modules, FoundInSystem32AndTheModulePath) {
    const std::string system32 = machine.host("c:\\Windows\\System32");
    std::filesystem::copy_file(kModulePath, system32 + "/VqSystemModule.dll");
    HMODULE fromSystem = LoadLibraryA("vqsystemmodule");
    ASSERT_NE(fromSystem, nullptr) << standin::win32::lastLoaderMessage();
    EXPECT_EQ(fileNameOf(fromSystem), "c:\\Windows\\System32\\VqSystemModule.dll");
    EXPECT_EQ(LoadLibraryA("C:\\WINDOWS\\system32\\VQSYSTEMMODULE.DLL"), fromSystem);

    const std::string extra = machine.root() + "/extra";
    std::filesystem::create_directories(extra);
    std::filesystem::copy_file(kModulePath, extra + "/VqPathModule.dll");
    EXPECT_EQ(LoadLibraryA("VqPathModule.dll"), nullptr);
    setenv("VQ36_MODULE_PATH", ("/nonexistent:" + extra).c_str(), 1);
    HMODULE fromPath = LoadLibraryA("VqPathModule.dll");
    unsetenv("VQ36_MODULE_PATH");
    ASSERT_NE(fromPath, nullptr) << standin::win32::lastLoaderMessage();
    EXPECT_NE(fromPath, fromSystem);  // another copy, another module
    EXPECT_EQ(win32test::takeRecordedEvents(),
              (Events{"construct", "attach", "construct", "attach"}));
    EXPECT_TRUE(FreeLibrary(fromPath));
    EXPECT_TRUE(FreeLibrary(fromSystem));
    EXPECT_TRUE(FreeLibrary(fromSystem));
    EXPECT_EQ(win32test::takeRecordedEvents(),
              (Events{"detach", "destruct", "detach", "destruct"}));
}

TEST_F(Modules, FailuresReportThePlatformsErrors) {
    EXPECT_EQ(LoadLibraryA("NoSuchModule.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    win32test::writeFile(machine.host("c:\\Windows\\System32\\NotElf.dll"), "MZ not an ELF file");
    EXPECT_EQ(LoadLibraryA("NotElf.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));

    // A DllMain that fails the attach is detached again and the module unloaded.
    setenv("VQ_TEST_MODULE_FAIL_ATTACH", "1", 1);
    EXPECT_EQ(LoadLibraryA(kModulePath.c_str()), nullptr);
    unsetenv("VQ_TEST_MODULE_FAIL_ATTACH");
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
    EXPECT_EQ(win32test::takeRecordedEvents(),
              (Events{"construct", "attach", "detach", "destruct"}));
    EXPECT_EQ(GetModuleHandleA("VqTestModule.dll"), nullptr);
}

}  // namespace
