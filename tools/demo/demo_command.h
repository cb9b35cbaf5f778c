#pragma once
// `vq36 demo`: two ASIO programs stream to one VQ36 at once, and the demo proves that the
// device played their clipped sum bit for bit.
//
//   vq36 demo [--seconds S] [--out DIR]
//
// On a fresh machine (a temporary root, removed at the end) with Vq36Kernel.sys and one VQ36
// whose capture inputs 1-2 loop back its outputs 1-2, the demo registers VexaAsioVq36.dll,
// waits for the kernel to stream, and starts two `vq36 asio stream` processes about a second
// apart: a 440 Hz and a 660 Hz sine on outputs 1-2 (amplitude 0.6 each, so the sum clips now and
// then), both recording inputs 1-2. After about S seconds together (default 5) it prints what
// each streamed, the slips and reset requests, the estimated sample rate, the mixing check and
// the loopback check, and writes into DIR (default out/demo): played.wav (what the device
// played), captured.wav (what the 440 Hz program recorded) and waveforms.png (about 5 ms of each
// program's output and of the played mix). Exits 0 when every check passed, 1 when one failed,
// 2 for a bad command line.

#include <cstdio>
#include <string>
#include <vector>

namespace vq36tools {

// Runs the command (the words after "demo"); returns the process exit code.
int runDemoCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace vq36tools
