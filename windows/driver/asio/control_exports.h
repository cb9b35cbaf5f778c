#pragma once
// The control interface of VexaAsioVq36: plain functions exported by their undecorated names,
// for programs that drive the device without streaming audio (the control panel, the MIDI
// driver) and for the library's own setup dialog, status monitor and ASIO driver object.
//
// The handle that VQ36_open returns, and every other function takes, belongs to the caller
// until it is passed to VQ36_close.

#include <cstdint>

#include "hidi_packet.h"
#include "public/vq36_shared.h"
#include "win32/windows.h"

struct AudioDeviceInterfaceWrapper;

#define VQ36_EXPORT extern "C" __attribute__((visibility("default")))

// ---- Result codes ------------------------------------------------------------------------------
inline constexpr std::int32_t kVq36Ok = 0;
// A device message failed, a required output or handle was null (where stated), or a firmware
// update failed.
inline constexpr std::int32_t kVq36Failed = 1;
// The shared record cannot be obtained, or the outgoing queue does not exist yet.
inline constexpr std::int32_t kVq36NoRecord = 5;
inline constexpr std::int32_t kVq36BadParameter = 8;
inline constexpr std::int32_t kVq36PacketFull = 9;
inline constexpr std::int32_t kVq36PacketEmpty = 10;

// ---- Records passed by pointer (caller-owned) ------------------------------------------------
struct VersionRecord {
    std::uint32_t major;
    std::uint32_t minor;
    std::uint32_t reserved;  // always 0
    std::uint32_t build;
};
static_assert(sizeof(VersionRecord) == 16);

struct MidiChannelPair {
    std::int32_t midiInChannel;   // the "MidiInChannel" setting
    std::int32_t midiOutChannel;  // the "MidiOutChannel" setting
};
static_assert(sizeof(MidiChannelPair) == 8);

// Port status words: [0] 1 when the device is present, else 0; [1] always 0.
inline constexpr int kPortStatusWords = 2;

// ---- Callbacks (run on the status monitor thread) --------------------------------------------
typedef void(CALLBACK* HidiMessageCallback)(vq36::HidiInEntry* entry);
typedef void(CALLBACK* UsbPortStatusCallback)(std::int32_t* status);
typedef void(CALLBACK* MidiChannelsCallback)(MidiChannelPair* pair);
// Runs on the thread that updates the firmware, with a pointer to one byte holding the percent
// done (0 to 100; 100 comes once, after the device accepted the end of the update).
typedef void(CALLBACK* FirmwareProgressCallback)(BYTE* percent);

// ---- Exports ---------------------------------------------------------------------------------
VQ36_EXPORT AudioDeviceInterfaceWrapper* VQ36_open();
VQ36_EXPORT void VQ36_close(AudioDeviceInterfaceWrapper* w);
VQ36_EXPORT std::int32_t VQ36_get_vendor_id(AudioDeviceInterfaceWrapper* w, std::uint32_t* out);
VQ36_EXPORT std::int32_t VQ36_get_product_id(AudioDeviceInterfaceWrapper* w, std::uint32_t* out);
VQ36_EXPORT std::int32_t VQ36_get_api_version(VersionRecord* version);
VQ36_EXPORT std::int32_t VQ36_get_driver_version(AudioDeviceInterfaceWrapper* w,
                                                 VersionRecord* version);
VQ36_EXPORT std::int32_t VQ36_get_firmware_version(AudioDeviceInterfaceWrapper* w,
                                                   VersionRecord* version);
VQ36_EXPORT std::int32_t VQ36_get_firmware_embedded_version(AudioDeviceInterfaceWrapper* w,
                                                            VersionRecord* version);
VQ36_EXPORT std::int32_t VQ36_get_buffer_millisecs(AudioDeviceInterfaceWrapper* w,
                                                   std::int32_t* out);
VQ36_EXPORT std::int32_t VQ36_set_buffer_millisecs(AudioDeviceInterfaceWrapper* w,
                                                   std::int32_t milliseconds);
VQ36_EXPORT std::int32_t VQ36_get_midi_channels(AudioDeviceInterfaceWrapper* w,
                                                MidiChannelPair* out);
VQ36_EXPORT std::int32_t VQ36_set_midi_channels(AudioDeviceInterfaceWrapper* w,
                                                MidiChannelPair* in);
VQ36_EXPORT std::int32_t VQ36_set_midi_ch_callback(AudioDeviceInterfaceWrapper* w,
                                                   MidiChannelsCallback callback);
VQ36_EXPORT std::int32_t VQ36_set_usb_port_status_callback(AudioDeviceInterfaceWrapper* w,
                                                           UsbPortStatusCallback callback);
VQ36_EXPORT std::int32_t VQ36_set_hidimsg_callback(AudioDeviceInterfaceWrapper* w,
                                                   HidiMessageCallback callback);
VQ36_EXPORT std::int32_t VQ36_set_update_firmware(AudioDeviceInterfaceWrapper* w,
                                                  const BYTE* image, DWORD imageSize,
                                                  FirmwareProgressCallback callback);
VQ36_EXPORT std::int32_t VQ36_set_update_firmware_from_embedded(AudioDeviceInterfaceWrapper* w,
                                                                FirmwareProgressCallback callback);
VQ36_EXPORT std::int32_t VQ36_set_alt_product_id(AudioDeviceInterfaceWrapper* w);
VQ36_EXPORT std::int32_t VQ36_get_all_controls(AudioDeviceInterfaceWrapper* w);
VQ36_EXPORT std::int32_t VQ36_send_note_on(AudioDeviceInterfaceWrapper* w, std::int32_t note,
                                           std::int32_t velocity);
VQ36_EXPORT std::int32_t VQ36_send_note_off(AudioDeviceInterfaceWrapper* w, std::int32_t note);
VQ36_EXPORT std::int32_t VQ36_send_control_change(AudioDeviceInterfaceWrapper* w,
                                                  std::int32_t controller, std::int32_t value);
VQ36_EXPORT std::int32_t VQ36_send_sys_ex(AudioDeviceInterfaceWrapper* w, const BYTE* data,
                                          std::int32_t length);
VQ36_EXPORT std::int32_t VQ36_send_hidimsg(AudioDeviceInterfaceWrapper* w, HidiPacket* packet);
VQ36_EXPORT std::int32_t VQ36_set_control_point(AudioDeviceInterfaceWrapper* w,
                                                std::int32_t* point);
VQ36_EXPORT std::int32_t VQ36_get_usb_port_status(AudioDeviceInterfaceWrapper* w,
                                                  std::int32_t* status);
VQ36_EXPORT std::int32_t VQ36_is_boot_device(AudioDeviceInterfaceWrapper* w, std::int32_t* out);

// Entry points of the setup dialog: RH_open logs "RH_open" and opens as VQ36_open does; the
// others are the functions of the same suffix.
VQ36_EXPORT AudioDeviceInterfaceWrapper* RH_open();
VQ36_EXPORT std::int32_t RH_is_boot_device(AudioDeviceInterfaceWrapper* w, std::int32_t* out);
VQ36_EXPORT std::int32_t RH_get_firmware_version(AudioDeviceInterfaceWrapper* w,
                                                 VersionRecord* version);
VQ36_EXPORT std::int32_t RH_get_firmware_embedded_version(AudioDeviceInterfaceWrapper* w,
                                                          VersionRecord* version);
VQ36_EXPORT std::int32_t RH_set_buffer_millisecs(AudioDeviceInterfaceWrapper* w,
                                                 std::int32_t milliseconds);

// ---- Inside the library ----------------------------------------------------------------------

// The function behind VQ36_open (the ASIO driver object opens through it).
AudioDeviceInterfaceWrapper* uVexaAudioOpen();

// The device's only sample rate, 48000; every user of the sample rate asks here.
DWORD uDeviceSampleRate(AudioDeviceInterfaceWrapper* w);
