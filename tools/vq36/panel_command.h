#pragma once
// `vq36 asio panel`: the ASIO driver's built-in setup dialog, opened as an ASIO host opens it.
//
//   vq36 asio panel [--driver NAME]
//       On the machine of VQ36_MACHINE_ROOT: creates the registered driver (default
//       "Vexa VQ36") through COM, calls `future` with the driver's private selector that makes
//       `controlPanel` show the built-in dialog, then `controlPanel`, which runs the dialog in a
//       real window (X11: DISPLAY must name a server) until the user closes it.
//   vq36 asio panel --screenshots DIR [--driver NAME]
//       Needs no display and no running machine: on a machine of its own (a temporary root,
//       removed at the end) the dialog runs off screen, a fixed script drives it with mouse
//       clicks at client coordinates and with the device model (no device, then a VQ36 with
//       firmware 1.2, older than the library's built-in image), and one PNG of the client area
//       is written into DIR for each state it reaches (see panel_script.h).
//
// Exit codes: 0 the dialog was shown and closed (with --screenshots: every picture written),
// 1 no display, no machine, no driver registered, no VQ36, or the driver or the script failed,
// 2 bad usage.

#include <cstdio>
#include <string>

#include "asio_host.h"

namespace vq36tools {

struct PanelOptions {
    std::string driver = "Vexa VQ36";
    std::string screenshots;  // the folder for the pictures; empty: a window for a person
};

int runPanel(const PanelOptions& options, std::FILE* out, std::FILE* err);

// Shows the setup dialog of the registered driver `entry` as a host does, on the calling thread
// (COM initialised and uninitialised around it): true once the dialog has been shown and
// closed; false (and *error) when the driver object cannot be made or does not take the
// selector.
bool showSetupDialog(const vq36host::DriverEntry& entry, std::string* error);

}  // namespace vq36tools
