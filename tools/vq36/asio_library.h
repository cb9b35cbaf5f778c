#pragma once
// VexaAsioVq36.dll loaded for one command of the front door, as a program that drives the
// device loads it: LoadLibraryA, and its exports found by name with GetProcAddress. The library
// is the given path; else VexaAsioVq36.dll where the module loader finds it; else the one this
// build makes. Problems are told on `err` with the command's name in front.
//
// ControlSession is what `vq36 ctl` and `vq36 firmware` share: the library loaded, its control
// functions resolved and a device handle open for one command. machineAnswers checks, before
// any of it, that a machine serves the root.

#include <cstdio>
#include <string>

#include "control_exports.h"
#include "standin/host/wire.h"
#include "standin/win32/machine.h"
#include "standin/win32/testing.h"
#include "win32/windows.h"

#ifndef VQ36_DEFAULT_ASIO_DLL
#define VQ36_DEFAULT_ASIO_DLL ""
#endif

namespace vq36tools {

class AsioLibrary {
  public:
    AsioLibrary(const char* command, std::FILE* err) : command_(command), err_(err) {}
    ~AsioLibrary() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    AsioLibrary(const AsioLibrary&) = delete;
    AsioLibrary& operator=(const AsioLibrary&) = delete;

    bool load(const std::string& explicitPath) {
        std::string tried = explicitPath.empty() ? "VexaAsioVq36.dll" : explicitPath;
        module_ = LoadLibraryA(tried.c_str());
        if (module_ == nullptr && explicitPath.empty() && VQ36_DEFAULT_ASIO_DLL[0] != '\0') {
            tried = VQ36_DEFAULT_ASIO_DLL;
            module_ = LoadLibraryA(tried.c_str());
        }
        if (module_ == nullptr) {
            std::fprintf(err_, "%s: cannot load %s (%s)\n", command_, tried.c_str(),
                         standin::win32::lastLoaderMessage().c_str());
        }
        return module_ != nullptr;
    }

    template <class F>
    bool resolve(const char* name, F* function) {
        FARPROC p = GetProcAddress(module_, name);
        if (p == nullptr) {
            std::fprintf(err_, "%s: the library does not export %s\n", command_, name);
            return false;
        }
        *function = reinterpret_cast<F>(p);
        return true;
    }

  private:
    const char* command_;
    std::FILE* err_;
    HMODULE module_ = nullptr;
};

// The control functions the front door calls.
struct ControlExports {
    decltype(&VQ36_open) open = nullptr;
    decltype(&VQ36_close) close = nullptr;
    decltype(&VQ36_get_api_version) apiVersion = nullptr;
    decltype(&VQ36_get_driver_version) driverVersion = nullptr;
    decltype(&VQ36_get_firmware_version) firmwareVersion = nullptr;
    decltype(&VQ36_get_firmware_embedded_version) embeddedVersion = nullptr;
    decltype(&VQ36_get_vendor_id) vendorId = nullptr;
    decltype(&VQ36_get_product_id) productId = nullptr;
    decltype(&VQ36_is_boot_device) isBootDevice = nullptr;
    decltype(&VQ36_get_buffer_millisecs) getBuffer = nullptr;
    decltype(&VQ36_set_buffer_millisecs) setBuffer = nullptr;
    decltype(&VQ36_get_midi_channels) getChannels = nullptr;
    decltype(&VQ36_set_midi_channels) setChannels = nullptr;
    decltype(&VQ36_set_hidimsg_callback) setPacketCallback = nullptr;
    decltype(&VQ36_set_usb_port_status_callback) setPortCallback = nullptr;
    decltype(&VQ36_set_midi_ch_callback) setChannelsCallback = nullptr;
    decltype(&VQ36_send_note_on) noteOn = nullptr;
    decltype(&VQ36_send_note_off) noteOff = nullptr;
    decltype(&VQ36_send_control_change) controlChange = nullptr;
    decltype(&VQ36_send_sys_ex) sysEx = nullptr;
    decltype(&VQ36_set_control_point) controlPoint = nullptr;
    decltype(&VQ36_get_all_controls) allControls = nullptr;
    decltype(&VQ36_get_usb_port_status) portStatus = nullptr;
    decltype(&VQ36_set_update_firmware) update = nullptr;
    decltype(&VQ36_set_update_firmware_from_embedded) updateEmbedded = nullptr;
};

// The library loaded and a handle open for one command; both released at the end.
class ControlSession {
  public:
    ControlSession(const char* command, std::FILE* err)
        : command_(command), err_(err), library_(command, err) {}
    ~ControlSession() {
        if (handle != nullptr) x.close(handle);
    }
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    bool start(const std::string& explicitPath) {
        if (!library_.load(explicitPath) || !resolveAll()) return false;
        handle = x.open();
        if (handle == nullptr) {
            std::fprintf(err_, "%s: VQ36_open gave no handle\n", command_);
            return false;
        }
        return true;
    }

    ControlExports x;
    AudioDeviceInterfaceWrapper* handle = nullptr;

  private:
    bool resolveAll() {
        AsioLibrary& l = library_;
        return l.resolve("VQ36_open", &x.open) && l.resolve("VQ36_close", &x.close) &&
               l.resolve("VQ36_get_api_version", &x.apiVersion) &&
               l.resolve("VQ36_get_driver_version", &x.driverVersion) &&
               l.resolve("VQ36_get_firmware_version", &x.firmwareVersion) &&
               l.resolve("VQ36_get_firmware_embedded_version", &x.embeddedVersion) &&
               l.resolve("VQ36_get_vendor_id", &x.vendorId) &&
               l.resolve("VQ36_get_product_id", &x.productId) &&
               l.resolve("VQ36_is_boot_device", &x.isBootDevice) &&
               l.resolve("VQ36_get_buffer_millisecs", &x.getBuffer) &&
               l.resolve("VQ36_set_buffer_millisecs", &x.setBuffer) &&
               l.resolve("VQ36_get_midi_channels", &x.getChannels) &&
               l.resolve("VQ36_set_midi_channels", &x.setChannels) &&
               l.resolve("VQ36_set_hidimsg_callback", &x.setPacketCallback) &&
               l.resolve("VQ36_set_usb_port_status_callback", &x.setPortCallback) &&
               l.resolve("VQ36_set_midi_ch_callback", &x.setChannelsCallback) &&
               l.resolve("VQ36_send_note_on", &x.noteOn) &&
               l.resolve("VQ36_send_note_off", &x.noteOff) &&
               l.resolve("VQ36_send_control_change", &x.controlChange) &&
               l.resolve("VQ36_send_sys_ex", &x.sysEx) &&
               l.resolve("VQ36_set_control_point", &x.controlPoint) &&
               l.resolve("VQ36_get_all_controls", &x.allControls) &&
               l.resolve("VQ36_get_usb_port_status", &x.portStatus) &&
               l.resolve("VQ36_set_update_firmware", &x.update) &&
               l.resolve("VQ36_set_update_firmware_from_embedded", &x.updateEmbedded);
    }

    const char* command_;
    std::FILE* err_;
    AsioLibrary library_;
};

// "1.2.345".
inline std::string versionText(const VersionRecord& v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build);
}

// Makes `root` (when not empty) the machine root of the process, then checks that a machine
// serves it; when none does, says so on `err` and returns false.
inline bool machineAnswers(const char* command, const std::string& root, std::FILE* err) {
    if (!root.empty()) standin::win32::setMachineRoot(root);
    const std::string machine = standin::win32::machineRoot();
    if (standin::host::wire::Fd(standin::host::wire::connectTo(machine)).valid()) return true;
    std::fprintf(err, "%s: no machine runs on %s (start one with `vq36 machine run`)\n", command,
                 machine.c_str());
    return false;
}

}  // namespace vq36tools
