// vq36-reg: reads and writes values of the machine's registry (see reg_command.h).

#include <cstdio>
#include <string>
#include <vector>

#include "reg_command.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return vq36tools::runRegCommand(args, stdout, stderr);
}
