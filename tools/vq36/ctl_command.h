#pragma once
// `vq36 ctl`: calls the control functions of VexaAsioVq36.dll on the running machine, as a
// program that drives the device does: the library is loaded with LoadLibraryA, its exports
// are found with GetProcAddress, a handle is opened with VQ36_open, one command runs, and the
// handle and the library are released.
//
//   vq36 ctl [--root DIR] [--dll PATH] <command>   (see `vq36 ctl help`)
//
// The library is PATH; else VexaAsioVq36.dll where the module loader finds it (the program's
// folder, the machine's c:\Windows\System32, the folders of VQ36_MODULE_PATH); else the one
// this build makes. The machine is the one of DIR, else of VQ36_MACHINE_ROOT.

#include <cstdio>
#include <string>
#include <vector>

namespace vq36tools {

// Runs one command (the words after "ctl"); returns the process exit code.
int runCtlCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace vq36tools
