#pragma once
// `vq36 machine`: runs the machine (the kernel host) as a daemon, or drives the one that runs.
//
//   vq36 machine [--root DIR] run [--driver PATH] [--devices N] [--variant V] [--signal S]
//       Runs the machine in this process until Ctrl-C, SIGTERM or `vq36 machine shutdown`.
//       N VQ36 devices (default 1; 0 for none) are plugged at the start. The driver is
//       Vq36Kernel.sys: PATH, else VQ36_KERNEL_DRIVER, else the one this build makes.
//   vq36 machine [--root DIR] status | plug ... | unplug ... | control ... | button ... |
//       port ... | signal ... | sleep | wake | played PORT FILE | shutdown
//       Asks the running machine (see `vq36 machine help`).
//   vq36 machine [--root DIR] stream [--block FRAMES] [--seconds S]
//       A raw kernel client that streams on the running machine (see stream_command.h).
//
// The machine is the one of the machine root: DIR, else VQ36_MACHINE_ROOT.

#include <cstdio>
#include <string>
#include <vector>

namespace vq36tools {

// Runs one command (the words after "machine"); returns the process exit code.
int runMachineCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace vq36tools
