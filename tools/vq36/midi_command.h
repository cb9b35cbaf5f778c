#pragma once
// `vq36 midi`: a MIDI application on the machine, through the multimedia layer.
//
//   install [--driver PATH]   copies VexaMidiVq36.dll to c:\Windows\System32 and lists it in
//                             the registry's Drivers32 values, as its setup would
//   uninstall                 unlists it and removes the copy
//   list                      the MIDI ports the layer offers, with their capability records
//   monitor [--seconds S]     opens and starts the VQ36 input port and prints each message
//                             (time stamp, channel, kind, data) until Ctrl-C
//   send note|off|cc CHANNEL DATA1 DATA2
//   send --hex BYTES...       a short message, or a long one, through the VQ36 output port
//
// Exit codes: 0 done, 1 no machine, no device or no driver (the message says which), 2 bad
// usage.

#include <cstdio>
#include <string>
#include <vector>

namespace vq36tools {

int runMidiCommand(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace vq36tools
