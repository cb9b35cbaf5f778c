// The deliverable loads into a program through LoadLibraryA and unloads through FreeLibrary.

#include <elf.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "standin/win32/machine.h"
#include "standin/win32/testing.h"
#include "ui/standin_ui.h"
#include "win32/windows.h"

namespace {

const std::string kLibrary = VQ36_ASIO_DLL_PATH;

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class Load : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(machine.host("c:\\temp\\VexaAsioLog"));
        std::ofstream(machine.host("c:\\temp\\VexaEnableDebugLog.flag")).close();
    }
    std::string logText() {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_%06x.log",
                      GetCurrentProcessId());
        return readFile(machine.host(name));
    }
    standin::win32::ScopedFreshMachine machine;
};

TEST_F(Load, StartsAndStopsCleanly) {
    const auto gdiplus = standin::ui::gdiplusCounters();
    const long sections = standin::win32::liveCriticalSections();

    HMODULE library = LoadLibraryA(kLibrary.c_str());
    ASSERT_NE(library, nullptr) << standin::win32::lastLoaderMessage();
    // InitInstance ran: the lock exists, GDI+ is started and its hook installed.
    EXPECT_EQ(standin::win32::liveCriticalSections(), sections + 1);
    auto now = standin::ui::gdiplusCounters();
    EXPECT_EQ(now.startups, gdiplus.startups + 1);
    EXPECT_EQ(now.liveSessions, gdiplus.liveSessions + 1);
    EXPECT_EQ(now.liveHooks, gdiplus.liveHooks + 1);
    EXPECT_EQ(logText(), "VQ36: Creating critical section\n");

    EXPECT_EQ(GetModuleHandleA("VexaAsioVq36.dll"), library);
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(library, path, sizeof path), 0u);
    EXPECT_EQ(std::string(path), standin::win32::toWindowsPath(kLibrary));

    // The setup dialog's resources: its template, its icon and its images (no 211, 225, 226).
    EXPECT_NE(FindResourceA(library, MAKEINTRESOURCEA(101), RT_DIALOG), nullptr);
    EXPECT_NE(FindResourceA(library, MAKEINTRESOURCEA(115), RT_GROUP_ICON), nullptr);
    for (int id = 200; id <= 226; ++id) {
        const bool present = id <= 224 && id != 211;
        EXPECT_EQ(FindResourceA(library, MAKEINTRESOURCEA(id), "PNG") != nullptr, present) << id;
    }

    // A second reference: no second start.
    EXPECT_EQ(LoadLibraryA("vexaasiovq36"), library);
    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_EQ(standin::ui::gdiplusCounters().startups, now.startups);
    EXPECT_EQ(standin::ui::gdiplusCounters().shutdowns, gdiplus.shutdowns);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(FreeLibrary(library));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    // ExitInstance waited its second before the lock went.
    EXPECT_GE(elapsed, std::chrono::milliseconds(990));
    EXPECT_EQ(standin::win32::liveCriticalSections(), sections);
    now = standin::ui::gdiplusCounters();
    EXPECT_EQ(now.shutdowns, gdiplus.shutdowns + 1);
    EXPECT_EQ(now.unhooks, gdiplus.unhooks + 1);
    EXPECT_EQ(now.liveSessions, gdiplus.liveSessions);
    EXPECT_EQ(now.liveHooks, gdiplus.liveHooks);
    EXPECT_EQ(now.badShutdowns, gdiplus.badShutdowns);
    EXPECT_EQ(now.badUnhooks, gdiplus.badUnhooks);
    EXPECT_EQ(now.shutdownsWithLiveHooks, gdiplus.shutdownsWithLiveHooks);
    EXPECT_EQ(logText(),
              "VQ36: Creating critical section\n"
              "VQ36: Deleting critical section\n"
              "VQ36: Before shut down GDI plus\n"
              "VQ36: After shut down GDI plus\n");
    // Unloaded: the process no longer holds it.
    EXPECT_EQ(GetModuleHandleA("VexaAsioVq36.dll"), nullptr);
}

TEST_F(Load, LoadsFromTheMachinesDriveUnderItsFileName) {
    const std::string folder = machine.host("c:\\Program Files\\Vexa");
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(kLibrary, folder + "/VexaAsioVq36.dll");
    HMODULE library = LoadLibraryA("C:\\PROGRAM FILES\\vexa\\vexaasiovq36.dll");
    ASSERT_NE(library, nullptr) << standin::win32::lastLoaderMessage();
    char path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(GetModuleHandleA("VexaAsioVq36.dll"), path, sizeof path), 0u);
    EXPECT_STREQ(path, "c:\\Program Files\\Vexa\\VexaAsioVq36.dll");
    EXPECT_NE(GetProcAddress(library, "DllMain"), nullptr);
    EXPECT_TRUE(FreeLibrary(library));
    EXPECT_EQ(GetModuleHandleA("VexaAsioVq36.dll"), nullptr);
}

TEST(Exports, TheLibraryExportsOnlyWhatItMarksForExport) {
    // The dynamic symbol table of the deliverable: every symbol it defines for others must be
    // one of its entry points, never a helper of the language's library.
    const std::string image = readFile(kLibrary);
    ASSERT_GT(image.size(), sizeof(Elf64_Ehdr));
    Elf64_Ehdr header;
    std::memcpy(&header, image.data(), sizeof header);
    auto section = [&](std::size_t i) {
        Elf64_Shdr s;
        std::memcpy(&s, image.data() + header.e_shoff + i * sizeof s, sizeof s);
        return s;
    };
    std::vector<std::string> exported;
    for (std::size_t i = 0; i < header.e_shnum; ++i) {
        const Elf64_Shdr symbols = section(i);
        if (symbols.sh_type != SHT_DYNSYM) continue;
        const Elf64_Shdr names = section(symbols.sh_link);
        for (std::size_t k = 1; k < symbols.sh_size / sizeof(Elf64_Sym); ++k) {
            Elf64_Sym sym;
            std::memcpy(&sym, image.data() + symbols.sh_offset + k * sizeof sym, sizeof sym);
            if (sym.st_shndx == SHN_UNDEF || ELF64_ST_BIND(sym.st_info) == STB_LOCAL) continue;
            exported.push_back(image.data() + names.sh_offset + sym.st_name);
        }
    }
    EXPECT_GE(exported.size(), 5u);
    for (const std::string& name : exported) {
        // The linker's own section-boundary markers are not entry points but are no leak either.
        const bool linkerMarker = name == "__bss_start" || name == "_edata" || name == "_end";
        const bool entry = linkerMarker || name.rfind("VQ36_", 0) == 0 ||
                           name.rfind("RH_", 0) == 0 || name.rfind("Dll", 0) == 0;
        EXPECT_TRUE(entry) << name;
    }
}

}  // namespace
