#pragma once
// `vq36 firmware`: the VQ36's firmware for a person.
//
//   vq36 firmware [--root DIR] [--dll PATH] version
//   vq36 firmware [--root DIR] [--dll PATH] update FILE | update --embedded
//   vq36 firmware make --version MAJOR.MINOR [--section OFFSET:FILE]... -o FILE
//
// version and update run through the exports of VexaAsioVq36.dll (loaded as `vq36 ctl` loads it)
// on the device of the running machine; make writes an image in the update format that the
// device model starts. Exit codes: 0 success, 1 the update (or the device) failed, 2 bad usage
// or a file that cannot be read or written.

#include <cstdio>
#include <string>
#include <vector>

namespace vq36tools {

// Runs one command (the words after "firmware"); returns the process exit code.
int runFirmwareCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace vq36tools
