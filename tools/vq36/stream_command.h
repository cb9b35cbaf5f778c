#pragma once
// `vq36 machine stream`: a raw kernel client on the running machine, to watch a machine stream.
//
//   vq36 machine stream [--root DIR] [--block FRAMES] [--seconds S]
//
// Opens the first VQ36 device interface, streams with blocks of FRAMES (default 96) and waits
// on its event for every block boundary; once a second it prints the blocks streamed, blocks a
// second, and the shared record's statistics (reads ok and failed, the estimated sample rate,
// slips). Runs until Ctrl-C, or for S seconds. Meanwhile `vq36 machine status` shows the stream.

#include <cstdio>
#include <string>
#include <vector>

namespace vq36tools {

// Runs the command (the words after "stream"); returns the process exit code.
int runStreamCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace vq36tools
