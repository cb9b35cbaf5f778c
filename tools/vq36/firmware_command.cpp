// `vq36 firmware`: the device's firmware version, updates through the library, and images for
// the device model (see firmware_command.h).

#include "firmware_command.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include "asio_library.h"
#include "control_exports.h"
#include "standin/vq36/firmware.h"
#include "standin/win32/machine.h"
#include "win32/windows.h"

namespace vq36tools {
namespace {

// The library's log of this process, when "c:\temp\VexaEnableDebugLog.flag" exists.
constexpr const char* kLogFormat = "c:\\temp\\VexaAsioLog\\VexaAsioLogDLL_%06x.log";
constexpr int kBarWidth = 40;

constexpr const char* kUsage =
    "usage: vq36 firmware [--root DIR] [--dll PATH] <command>\n"
    "  version                     the device's firmware, the library's built-in image, and\n"
    "                              whether the device runs its boot loader\n"
    "  update FILE                 writes the firmware image in FILE into the device\n"
    "  update --embedded           writes the library's built-in image into the device\n"
    "  make --version MAJOR.MINOR [--section OFFSET:FILE]... -o FILE\n"
    "                              writes an image that the device model starts: the version\n"
    "                              section, and each FILE at its flash OFFSET (hex with 0x)\n"
    "An update takes the device through its boot loader and back and lasts at least 11 s.\n"
    "Exit codes: 0 done, 1 the update or the device failed, 2 bad usage or unreadable file.\n"
    "The library is PATH, else VexaAsioVq36.dll as the module loader finds it, else the one\n"
    "this build makes. The machine root is DIR, else VQ36_MACHINE_ROOT.\n";

// ---- Progress ---------------------------------------------------------------------------------

std::FILE* gProgressTo = stdout;
bool gProgressBar = false;  // a terminal: one line, rewritten
int gLastPercent = -1;

// On a terminal a bar rewritten in place; otherwise a line for each new value.
void CALLBACK showProgress(BYTE* percent) {
    const int p = *percent > 100 ? 100 : *percent;
    if (p == gLastPercent) return;
    gLastPercent = p;
    if (gProgressBar) {
        const int filled = p * kBarWidth / 100;
        std::fprintf(gProgressTo, "\rupdating [%.*s%*s] %3d %%", filled,
                     "########################################", kBarWidth - filled, "", p);
    } else {
        std::fprintf(gProgressTo, "%d %%\n", p);
    }
    std::fflush(gProgressTo);
}

// The library's last log line about the update that says what failed (else its last line);
// empty when the log is off.
std::string lastLogLine() {
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, kLogFormat, static_cast<unsigned>(GetCurrentProcessId()));
    std::string path;
    if (!standin::win32::toHostPath(name, &path)) return {};
    std::ifstream in(path, std::ios::binary);
    std::string line, last, failed;
    while (std::getline(in, line)) {
        const std::size_t at = line.rfind("VQ36: ");
        if (at == std::string::npos) continue;
        line = line.substr(at + 6);
        last = line;
        if (line.find("failed") != std::string::npos) failed = line;
    }
    return failed.empty() ? last : failed;
}

// ---- Commands -------------------------------------------------------------------------------

int version(ControlSession& lib, std::FILE* out, std::FILE* err) {
    int code = 0;
    VersionRecord v{};
    if (lib.x.firmwareVersion(lib.handle, &v) == kVq36Ok) {
        std::fprintf(out, "device firmware %s\n", versionText(v).c_str());
    } else {
        std::fprintf(err, "vq36 firmware: the device does not answer (no VQ36 on the machine?)\n");
        code = 1;
    }
    std::int32_t boot = 0;
    if (lib.x.isBootDevice(lib.handle, &boot) == kVq36Ok) {
        std::fprintf(out, "device in boot loader %s\n", boot != 0 ? "yes" : "no");
    } else {
        code = 1;
    }
    lib.x.embeddedVersion(lib.handle, &v);
    std::fprintf(out, "built-in image %s\n", versionText(v).c_str());
    return code;
}

int update(ControlSession& lib, const std::vector<std::uint8_t>* image, const std::string& from,
           std::FILE* out, std::FILE* err) {
    gProgressTo = out;
    gProgressBar = isatty(fileno(out)) != 0;
    std::fprintf(out, "updating the firmware from %s; the device restarts twice\n", from.c_str());
    std::fflush(out);
    const std::int32_t rc = image != nullptr
                                ? lib.x.update(lib.handle, image->data(),
                                               static_cast<DWORD>(image->size()), showProgress)
                                : lib.x.updateEmbedded(lib.handle, showProgress);
    if (gProgressBar && gLastPercent >= 0) std::fputc('\n', out);
    if (rc != kVq36Ok) {
        std::fprintf(err, "vq36 firmware: the update failed (%s gave %d)\n",
                     image != nullptr ? "VQ36_set_update_firmware"
                                      : "VQ36_set_update_firmware_from_embedded",
                     rc);
        const std::string line = lastLogLine();
        if (!line.empty())
            std::fprintf(err, "vq36 firmware: the library's log: %s\n", line.c_str());
        return 1;
    }
    VersionRecord v{};
    if (lib.x.firmwareVersion(lib.handle, &v) == kVq36Ok) {
        std::fprintf(out, "firmware updated; the device runs %s\n", versionText(v).c_str());
    } else {
        std::fprintf(out, "firmware updated\n");
    }
    return 0;
}

bool readFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::FILE* err) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(err, "vq36 firmware: cannot read %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::fprintf(err, "vq36 firmware: cannot read %s\n", path.c_str());
        return false;
    }
    if (bytes->size() > 0xFFFFFFFFu) {
        std::fprintf(err, "vq36 firmware: %s is larger than 4 GiB\n", path.c_str());
        return false;
    }
    return true;
}

// `make`: the sections must lie inside the flash, clear of the section table and the version
// section (0x4000 to 0x441F) and of each other.
int make(const std::vector<std::string>& words, std::FILE* out, std::FILE* err) {
    namespace model = standin::vq36;
    std::optional<model::FirmwareVersion> version;
    std::vector<model::FirmwareSection> sections;
    std::string output;
    auto usage = [&](const std::string& problem) {
        std::fprintf(err, "vq36 firmware make: %s\nsee `vq36 firmware help`\n", problem.c_str());
        return 2;
    };
    for (std::size_t i = 1; i < words.size(); ++i) {
        const bool hasValue = i + 1 < words.size();
        if (words[i] == "--version" && hasValue) {
            const std::string& text = words[++i];
            unsigned major = 0, minor = 0;
            char extra = 0;
            if (std::sscanf(text.c_str(), "%u.%u%c", &major, &minor, &extra) != 2 || major > 255 ||
                minor > 255)
                return usage("the version is MAJOR.MINOR, each 0 to 255 (not '" + text + "')");
            version = model::FirmwareVersion{static_cast<std::uint8_t>(major),
                                             static_cast<std::uint8_t>(minor), 0};
        } else if (words[i] == "--section" && hasValue) {
            const std::string& text = words[++i];
            const std::size_t colon = text.find(':');
            char* end = nullptr;
            const unsigned long offset =
                colon == std::string::npos ? 0 : std::strtoul(text.c_str(), &end, 0);
            if (colon == std::string::npos || end != text.c_str() + colon || offset == 0 ||
                offset >= model::kFlashSize)
                return usage(
                    "a section is OFFSET:FILE with an offset inside the 1 MiB flash (not '" + text +
                    "')");
            model::FirmwareSection s;
            s.flashOffset = static_cast<std::uint32_t>(offset);
            if (!readFile(text.substr(colon + 1), &s.bytes, err)) return 2;
            if (s.bytes.empty())
                return usage("the section file " + text.substr(colon + 1) + " is empty");
            sections.push_back(std::move(s));
        } else if (words[i] == "-o" && hasValue) {
            output = words[++i];
        } else {
            return usage("unknown or incomplete option " + words[i]);
        }
    }
    if (!version) return usage("--version MAJOR.MINOR is needed");
    if (output.empty()) return usage("-o FILE is needed");

    // Flash ranges, as the update writes them (sections are padded to whole 32-byte chunks).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> used = {
        {model::kSectionTableOffset, model::kVersionSectionOffset + 32}};
    for (const auto& s : sections) {
        const std::uint64_t begin = s.flashOffset;
        const std::uint64_t end = begin + (s.bytes.size() + 31) / 32 * 32;
        if (end > model::kFlashSize)
            return usage("the section at " + std::to_string(begin) + " runs past the flash");
        for (const auto& [b, e] : used)
            if (begin < e && b < end)
                return usage("the section at " + std::to_string(begin) +
                             " overlaps the table, the version section or another section");
        used.push_back({begin, end});
    }
    const std::vector<std::uint8_t> image = model::buildFirmwareImage(*version, sections);
    std::ofstream file(output, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(image.data()),
               static_cast<std::streamsize>(image.size()));
    file.close();
    if (!file) {
        std::fprintf(err, "vq36 firmware make: cannot write %s\n", output.c_str());
        return 2;
    }
    std::fprintf(out, "wrote %s: firmware %u.%u, %zu section(s), %zu bytes\n", output.c_str(),
                 unsigned(version->major), unsigned(version->minor), sections.size() + 1,
                 image.size());
    return 0;
}

}  // namespace

int runFirmwareCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    std::string root, dll;
    std::size_t i = 0;
    for (; i + 1 < args.size(); i += 2) {
        if (args[i] == "--root") {
            root = args[i + 1];
        } else if (args[i] == "--dll") {
            dll = args[i + 1];
        } else {
            break;
        }
    }
    if (i >= args.size()) {
        std::fputs(kUsage, err);
        return 2;
    }
    const std::vector<std::string> words(args.begin() + static_cast<long>(i), args.end());
    const std::string& command = words[0];
    if (command == "help" || command == "--help") {
        std::fputs(kUsage, out);
        return 0;
    }
    if (command == "make") return make(words, out, err);

    std::vector<std::uint8_t> image;
    std::string from;
    const bool embedded = command == "update" && words.size() == 2 && words[1] == "--embedded";
    if (embedded) {
        from = "the library's built-in image";
    } else if (command == "update" && words.size() == 2 && words[1][0] != '-') {
        if (!readFile(words[1], &image, err)) return 2;
        from = words[1];
    } else if (command != "version" || words.size() != 1) {
        std::fprintf(err, "vq36 firmware: %s\nsee `vq36 firmware help`\n",
                     command == "update"    ? "update takes FILE or --embedded"
                     : command == "version" ? "version takes no arguments"
                                            : ("unknown command " + command).c_str());
        return 2;
    }

    if (!machineAnswers("vq36 firmware", root, err)) return 1;
    ControlSession lib("vq36 firmware", err);
    if (!lib.start(dll)) return 1;
    if (command == "version") return version(lib, out, err);
    return update(lib, embedded ? nullptr : &image, from, out, err);
}

}  // namespace vq36tools
