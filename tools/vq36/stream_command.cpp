// `vq36 machine stream` (see stream_command.h).

#include "stream_command.h"

#include <chrono>

#include "command_line.h"
#include "standin/host/wire.h"
#include "standin/win32/machine.h"
#include "stream_client.h"

namespace vq36tools {
namespace {

constexpr long kDefaultBlockFrames = 96;
constexpr long kMinBlockFrames = 48;

constexpr const char* kUsage =
    "usage: vq36 machine stream [--root DIR] [--block FRAMES] [--seconds S]\n"
    "  streams from the machine's first VQ36 as an audio program does, with blocks of FRAMES\n"
    "  (48 to 3000, default 96), until Ctrl-C or for S seconds; prints once a second the\n"
    "  blocks streamed, blocks a second and the shared record's statistics\n";

struct Totals {
    std::uint64_t blocks = 0;
    std::chrono::steady_clock::time_point at;
};

void report(std::FILE* out, const vq36::AsioInfo* info, long second, Totals* last) {
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t blocks = vq36::Load64(&info->asioBlockCount);
    const double elapsed = std::chrono::duration<double>(now - last->at).count();
    // The count starts again when the block size changes (another client may change it).
    const double rate = blocks >= last->blocks && elapsed > 0
                            ? static_cast<double>(blocks - last->blocks) / elapsed
                            : 0.0;
    const vq36::AsioInfoStatistics& s = info->statistics;
    std::fprintf(out,
                 "%lds: blocks %llu (%.1f a second), block %u frames, reads ok %u failed %u, "
                 "estimated rate %u Hz, slips %u\n",
                 second, static_cast<unsigned long long>(blocks), rate,
                 vq36::Load32(&info->blockFrames), vq36::Load32(&s.readsOk),
                 vq36::Load32(&s.readsFailed), vq36::Load32(&s.estSampleRate),
                 vq36::Load32(&s.userSlips));
    std::fflush(out);
    last->blocks = blocks;
    last->at = now;
}

}  // namespace

int runStreamCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    long blockFrames = kDefaultBlockFrames;
    long seconds = 0;
    std::string root;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "help" || a == "--help") {
            std::fputs(kUsage, out);
            return 0;
        } else if (a == "--root" && hasValue) {
            root = args[++i];
        } else if (a == "--block" && hasValue) {
            if (!parseNumber(args[++i], kMinBlockFrames, vq36::kMaxBlockFrames, &blockFrames)) {
                std::fprintf(err, "vq36 machine stream: --block takes %ld to %u frames\n",
                             kMinBlockFrames, vq36::kMaxBlockFrames);
                return 2;
            }
        } else if (a == "--seconds" && hasValue) {
            if (!parseNumber(args[++i], 1, 86400, &seconds)) {
                std::fprintf(err, "vq36 machine stream: --seconds takes 1 to 86400\n");
                return 2;
            }
        } else {
            std::fprintf(err, "vq36 machine stream: unknown option %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
    // Before anything starts a thread (see StopSignals).
    StopSignals stop;

    if (!root.empty()) standin::win32::setMachineRoot(root);
    const std::string machine = standin::win32::machineRoot();
    if (!standin::host::wire::Fd(standin::host::wire::connectTo(machine)).valid()) {
        std::fprintf(err,
                     "vq36 machine stream: no machine runs on %s (start one with `vq36 machine "
                     "run`)\n",
                     machine.c_str());
        return 1;
    }
    const std::vector<std::string> paths = vq36InterfacePaths();
    if (paths.empty()) {
        std::fprintf(err, "vq36 machine stream: no VQ36 on the machine\n");
        return 1;
    }
    StreamClient client;
    if (!client.open(paths[0])) {
        std::fprintf(err, "vq36 machine stream: %s does not open\n", paths[0].c_str());
        return 1;
    }
    if (!client.start(static_cast<std::uint32_t>(blockFrames))) {
        std::fprintf(err, "vq36 machine stream: the driver refused to stream (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::fprintf(out, "streaming from %s with blocks of %ld frames; Ctrl-C stops\n",
                 paths[0].c_str(), blockFrames);
    std::fflush(out);

    const auto begin = std::chrono::steady_clock::now();
    Totals last{vq36::Load64(&client.info->asioBlockCount), begin};
    long second = 0;
    int code = 0;
    for (;;) {
        // Boundaries come every few milliseconds; a second without one is worth a word.
        if (client.next(1000) < 0) {
            std::fprintf(out, "no block boundary within a second\n");
            std::fflush(out);
            // A word with the driver finds out whether the device (or its machine) is still
            // there: a lost connection leaves the device marked gone, as a removal does.
            client.message(vq36::kDeviceMsgStreaming, vq36::kDeviceMsgGet, 0);
        }
        if (vq36::Load8(&client.info->deviceGone) != 0) {
            std::fprintf(err, "vq36 machine stream: the device went away\n");
            code = 1;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - begin >= std::chrono::seconds(second + 1)) {
            ++second;
            report(out, client.info, second, &last);
            if (seconds > 0 && second >= seconds) break;
        }
        if (stop.wait(0)) break;
    }
    client.close();
    return code;
}

}  // namespace vq36tools
