// vq36: the front door to the machine and its tools.
//
//   vq36 machine ...   runs or drives the machine (the kernel host); see `vq36 machine help`
//   vq36 reg ...       reads and writes the machine's registry

#include <cstdio>
#include <string>
#include <vector>

#include "machine_command.h"
#include "reg_command.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "help" || args[0] == "--help") {
        std::fputs(
            "usage: vq36 machine ... | vq36 reg ...\n"
            "  machine   runs the machine (the kernel host) or drives the one that runs\n"
            "  reg       reads and writes the machine's registry\n",
            args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "machine") return vq36tools::runMachineCommand(args, stdout, stderr);
    if (command == "reg") return vq36tools::runRegCommand(args, stdout, stderr);
    std::fprintf(stderr, "vq36: unknown command %s\n", command.c_str());
    return 2;
}
