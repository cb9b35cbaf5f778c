#pragma once
// `vq36 asio panel --screenshots DIR`: the setup dialog off screen, driven by a fixed script
// as a person drives it (mouse clicks at client coordinates) and by the device model, with one
// PNG of the dialog's client area (669 x 327) written for each state:
//
//   1-not-connected.png    no VQ36 on the machine: the dialog searches
//   2-preferences.png      a VQ36 with firmware 1.2 plugged in: page 0, the update offered
//   3-pgm-inputs.png       page 1, after a click on the page button
//   4-midi-out-list.png    page 3, after a click on the "MIDI Out Port" face: its list dropped
//                          down (the list's own window drawn over the client area where it lies)
//   5-update-50.png        page 0 again, the update started with its button: the frame whose
//                          LED row shows LEDs 0 to 9 lit, 50 %
//   6-update-complete.png  the update at 100 %: all 19 LEDs lit and the second status line
//
// The script reads only what a person sees: it waits for each state by comparing the frame's
// pixels with the library's own images (backgrounds, update button, radio buttons, LEDs) at
// the places where the dialog draws them, and by looking for white text where a status line
// stands. The update lasts as long as it does on the device (its two fixed waits alone 11 s);
// VQ36_TEST_FIRMWARE_WAIT_DIVISOR=N in the environment divides those waits by N (1 to 1000).

#include <cstdio>

#include "panel_command.h"

namespace vq36tools {

int writePanelScreenshots(const PanelOptions& options, std::FILE* out, std::FILE* err);

}  // namespace vq36tools
