// vq36: the front door to the machine and its tools.
//
//   vq36 demo ...      two ASIO programs mixed on one VQ36, checked; see `vq36 demo help`
//   vq36 machine ...   runs or drives the machine (the kernel host); see `vq36 machine help`
//   vq36 reg ...       reads and writes the machine's registry
//   vq36 ctl ...       calls the control functions of VexaAsioVq36.dll; see `vq36 ctl help`
//   vq36 firmware ...  the device's firmware: version, update, images; see `vq36 firmware help`
//   vq36 asio ...      an ASIO host: drivers, streams, the setup dialog; see `vq36 asio help`
//   vq36 midi ...      a MIDI application: installs the driver, lists, monitors, sends
//   vq36 regsvr ...    registers (or with /u unregisters) VexaAsioVq36.dll

#include <cstdio>
#include <string>
#include <vector>

#include "asio_command.h"
#include "ctl_command.h"
#include "demo_command.h"
#include "firmware_command.h"
#include "machine_command.h"
#include "midi_command.h"
#include "reg_command.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "help" || args[0] == "--help") {
        std::fputs(
            "usage: vq36 demo ... | vq36 machine ... | vq36 reg ... | vq36 ctl ... | vq36 firmware ... |\n"
            "       vq36 asio ... | vq36 midi ... | vq36 regsvr ...\n"
            "  demo      two ASIO programs mixed on one VQ36 of a fresh machine, checked\n"
            "  machine   runs the machine (the kernel host) or drives the one that runs\n"
            "  reg       reads and writes the machine's registry\n"
            "  ctl       calls the control functions of VexaAsioVq36.dll on the machine\n"
            "  firmware  the device's firmware version, updates, and images for the device model\n"
            "  asio      an ASIO host: lists the registered drivers, streams, opens the setup dialog\n"
            "  midi      a MIDI application: installs the MIDI driver, lists, monitors, sends\n"
            "  regsvr    registers (/u: unregisters) VexaAsioVq36.dll as an in-process server\n",
            args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "demo") return vq36tools::runDemoCommand(args, stdout, stderr);
    if (command == "machine") return vq36tools::runMachineCommand(args, stdout, stderr);
    if (command == "reg") return vq36tools::runRegCommand(args, stdout, stderr);
    if (command == "ctl") return vq36tools::runCtlCommand(args, stdout, stderr);
    if (command == "firmware") return vq36tools::runFirmwareCommand(args, stdout, stderr);
    if (command == "asio") return vq36tools::runAsioCommand(args, stdout, stderr);
    if (command == "midi") return vq36tools::runMidiCommand(args, stdout, stderr);
    if (command == "regsvr") return vq36tools::runRegsvrCommand(args, stdout, stderr);
    std::fprintf(stderr, "vq36: unknown command %s\n", command.c_str());
    return 2;
}
