// A program that uses the control interface as other programs do: it loads VexaAsioVq36.dll
// through LoadLibraryA, opens a handle with callbacks, and reports on standard output, one line
// each:
//   open                      the handle is open
//   port A B                  UsbPortStatusCallback
//   channels I O              MidiChannelsCallback
//   hidi LL BB BB ...         HidiMessageCallback: the packet's length byte and its data (hex)
// Commands on standard input, one a line:
//   cc CONTROLLER VALUE       VQ36_send_control_change; answers "cc RESULT"
//   channels IN OUT           VQ36_set_midi_channels; answers "set RESULT"
//   all                       VQ36_get_all_controls; answers "all RESULT"
//   close                     VQ36_close, FreeLibrary; answers "closed" and ends
// Usage: asio_control_child PATH_OF_THE_DLL

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "control_exports.h"
#include "win32/windows.h"

namespace {

std::mutex gOut;

void say(const char* format, ...) {
    std::lock_guard lock(gOut);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

void CALLBACK onPort(std::int32_t* status) {
    say("port %d %d", status[0], status[1]);
}

void CALLBACK onChannels(MidiChannelPair* pair) {
    say("channels %d %d", pair->midiInChannel, pair->midiOutChannel);
}

void CALLBACK onPacket(vq36::HidiInEntry* entry) {
    std::string text = "hidi";
    const int length = entry->data[0] > 58 ? 58 : entry->data[0];
    for (int i = 0; i <= length; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", entry->data[i]);
        text += hex;
    }
    say("%s", text.c_str());
}

template <class F>
F exported(HMODULE library, const char* name) {
    FARPROC p = GetProcAddress(library, name);
    if (p == nullptr) {
        say("missing %s", name);
        std::exit(2);
    }
    return reinterpret_cast<F>(p);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    HMODULE library = LoadLibraryA(argv[1]);
    if (library == nullptr) {
        say("failed to load");
        return 1;
    }
    auto open = exported<decltype(&VQ36_open)>(library, "VQ36_open");
    auto close = exported<decltype(&VQ36_close)>(library, "VQ36_close");
    auto setPort = exported<decltype(&VQ36_set_usb_port_status_callback)>(
        library, "VQ36_set_usb_port_status_callback");
    auto setChannelsCallback =
        exported<decltype(&VQ36_set_midi_ch_callback)>(library, "VQ36_set_midi_ch_callback");
    auto setPacket =
        exported<decltype(&VQ36_set_hidimsg_callback)>(library, "VQ36_set_hidimsg_callback");
    auto sendControl =
        exported<decltype(&VQ36_send_control_change)>(library, "VQ36_send_control_change");
    auto setChannels =
        exported<decltype(&VQ36_set_midi_channels)>(library, "VQ36_set_midi_channels");
    auto allControls = exported<decltype(&VQ36_get_all_controls)>(library, "VQ36_get_all_controls");

    AudioDeviceInterfaceWrapper* w = open();
    if (w == nullptr) {
        say("failed to open");
        return 1;
    }
    setPort(w, onPort);
    setChannelsCallback(w, onChannels);
    setPacket(w, onPacket);
    say("open");

    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "cc") {
            int controller = 0, value = 0;
            in >> controller >> value;
            say("cc %d", sendControl(w, controller, value));
        } else if (command == "channels") {
            MidiChannelPair pair{};
            in >> pair.midiInChannel >> pair.midiOutChannel;
            say("set %d", setChannels(w, &pair));
        } else if (command == "all") {
            say("all %d", allControls(w));
        } else if (command == "close") {
            close(w);
            FreeLibrary(library);
            say("closed");
            return 0;
        }
    }
    return 0;
}
