// The exported control functions: a thin layer over the device link, the settings, the control
// packets and the outgoing queue.
//
// Every function switches to the library's module state for the duration of the call, except
// VQ36_get_midi_channels and VQ36_set_midi_channels.

#include <cstring>

#include "control_exports.h"
#include "device_link.h"
#include "firmware_image.h"
#include "hidi_queue.h"
#include "library.h"
#include "ui/afx.h"

namespace {

// The version of the control interface.
constexpr VersionRecord kApiVersion = {0, 17, 0, 0};
// The version of the firmware image built into the library.
constexpr VersionRecord kEmbeddedFirmwareVersion = {kEmbeddedFirmwareMajor, kEmbeddedFirmwareMinor,
                                                    0, 0};

constexpr std::int32_t result(BYTE ok) {
    return ok ? kVq36Ok : kVq36Failed;
}

// One short message or device command as its own packet, queued.
template <class Build>
std::int32_t sendBuilt(AudioDeviceInterfaceWrapper* w, int noSplice, Build build) {
    HidiPacketBuilder builder;
    builder.clear();
    if (int rc = build(builder); rc != kVq36Ok) return rc;
    HidiPacket packet{};
    if (int rc = builder.copyTo(&packet); rc != kVq36Ok) return rc;
    return uEnqueueHidiPacketToDevice(w, &packet, noSplice);
}

// Stores one of a handle's callbacks; 1 for a null (or closed) handle.
template <class Callback>
std::int32_t setCallback(AudioDeviceInterfaceWrapper* w,
                         std::atomic<Callback> AudioDeviceInterfaceWrapper::*member,
                         Callback callback) {
    WrapperUse use(w);
    if (!use) return kVq36Failed;
    (w->*member).store(callback);
    return kVq36Ok;
}

std::int32_t setBufferMillisecs(AudioDeviceInterfaceWrapper* w, std::int32_t milliseconds) {
    DebugLog(2, "Setting kernel driver buffer millisecs to %d", milliseconds);
    setBufferSizeMillisecs(static_cast<DWORD>(milliseconds));
    const BYTE samples = uDeviceValue(
        w, vq36::kDeviceMsgBufferSamples, vq36::kDeviceMsgSet,
        static_cast<DWORD>(uBufferMillisecsToAsioSamples(milliseconds, uDeviceSampleRate(w))),
        nullptr);
    const DWORD remainder = milliseconds <= 3 ? 0 : static_cast<DWORD>(milliseconds % 3);
    const BYTE rest =
        uDeviceValue(w, vq36::kDeviceMsgBufferRemainder, vq36::kDeviceMsgSet, remainder, nullptr);
    return samples && rest ? kVq36Ok : kVq36Failed;
}

std::int32_t firmwareVersion(AudioDeviceInterfaceWrapper* w, VersionRecord* version) {
    if (version == nullptr) return kVq36Failed;
    const BYTE payload[64] = {};
    BYTE reply[64] = {};
    if (!SendDeviceMessage(w, vq36::kDeviceMsgFirmwareVersion, vq36::kDeviceMsgGet, payload, reply))
        return kVq36Failed;
    // The build is big-endian.
    *version = {reply[0], reply[1], 0,
                static_cast<std::uint32_t>(reply[2]) << 24 |
                    static_cast<std::uint32_t>(reply[3]) << 16 |
                    static_cast<std::uint32_t>(reply[4]) << 8 | reply[5]};
    return kVq36Ok;
}

std::int32_t embeddedFirmwareVersion(VersionRecord* version) {
    if (version == nullptr) return kVq36Failed;
    *version = kEmbeddedFirmwareVersion;
    return kVq36Ok;
}

std::int32_t isBootDevice(AudioDeviceInterfaceWrapper* w, std::int32_t* out) {
    if (out == nullptr) return kVq36BadParameter;
    vq36::AsioInfo* info = uGetAsioInfo(w);
    if (info == nullptr) {
        DebugLog(1, "ASIO info not retrieved in RH_is_boot_device");
        return kVq36Failed;
    }
    if (vq36::Load8(&info->bootFlagValid) == 0) {
        // The kernel driver asks the device and refreshes the record's two flags.
        if (!uDeviceValue(w, vq36::kDeviceMsgBootDevice, vq36::kDeviceMsgGet, 0, nullptr)) {
            DebugLog(1, "IOCTL failed in RH_is_boot_device");
            return kVq36Failed;
        }
    }
    info = uGetAsioInfo(w);
    if (info == nullptr) return kVq36Failed;
    *out = vq36::Load8(&info->isBootDevice) != 0 ? 1 : 0;
    if (vq36::Load8(&info->bootFlagValid) == 0) {
        DebugLog(1, "Expected flag not set in RH_is_boot_device");
        return kVq36Failed;
    }
    return kVq36Ok;
}

AudioDeviceInterfaceWrapper* open() {
    return uCreateVexaAudioDeviceInterfaceWrapper(1);
}

}  // namespace

// ---- Inside the library ----------------------------------------------------------------------

AudioDeviceInterfaceWrapper* uVexaAudioOpen() {
    DebugLog(2, "uVexaAudioOpen()");
    return open();
}

DWORD uDeviceSampleRate(AudioDeviceInterfaceWrapper* /*w*/) {
    return vq36::kSampleRate;
}

// ---- Handles ---------------------------------------------------------------------------------

AudioDeviceInterfaceWrapper* VQ36_open() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return uVexaAudioOpen();
}

AudioDeviceInterfaceWrapper* RH_open() {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    DebugLog(2, "RH_open");
    return uVexaAudioOpen();
}

void VQ36_close(AudioDeviceInterfaceWrapper* w) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    uCloseVexaAudioDevice(w);
}

// ---- Identity and versions -------------------------------------------------------------------

std::int32_t VQ36_get_vendor_id(AudioDeviceInterfaceWrapper* w, std::uint32_t* out) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return result(uDeviceValue(w, vq36::kDeviceMsgVendorId, vq36::kDeviceMsgGet, 0, out));
}

std::int32_t VQ36_get_product_id(AudioDeviceInterfaceWrapper* w, std::uint32_t* out) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return result(uDeviceValue(w, vq36::kDeviceMsgProductId, vq36::kDeviceMsgGet, 0, out));
}

std::int32_t VQ36_get_api_version(VersionRecord* version) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (version == nullptr) return kVq36Failed;
    *version = kApiVersion;
    return kVq36Ok;
}

std::int32_t VQ36_get_driver_version(AudioDeviceInterfaceWrapper* w, VersionRecord* version) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (version == nullptr) return kVq36Failed;
    DWORD v = 0;
    if (!uDeviceValue(w, vq36::kDeviceMsgDriverVersion, vq36::kDeviceMsgGet, 0, &v))
        return kVq36Failed;
    *version = {v >> 24, (v >> 16) & 0xFF, 0, (v >> 8) & 0xFF};
    return kVq36Ok;
}

std::int32_t VQ36_get_firmware_version(AudioDeviceInterfaceWrapper* w, VersionRecord* version) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return firmwareVersion(w, version);
}

std::int32_t RH_get_firmware_version(AudioDeviceInterfaceWrapper* w, VersionRecord* version) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return firmwareVersion(w, version);
}

std::int32_t VQ36_get_firmware_embedded_version(AudioDeviceInterfaceWrapper* /*w*/,
                                                VersionRecord* version) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return embeddedFirmwareVersion(version);
}

std::int32_t RH_get_firmware_embedded_version(AudioDeviceInterfaceWrapper* /*w*/,
                                              VersionRecord* version) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return embeddedFirmwareVersion(version);
}

std::int32_t VQ36_set_alt_product_id(AudioDeviceInterfaceWrapper* w) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return result(uDeviceValue(w, vq36::kDeviceMsgAltProductId, vq36::kDeviceMsgSet, 0, nullptr));
}

// ---- Settings ------------------------------------------------------------------------------

std::int32_t VQ36_get_buffer_millisecs(AudioDeviceInterfaceWrapper* /*w*/, std::int32_t* out) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (out == nullptr) return kVq36Failed;
    *out = static_cast<std::int32_t>(getBufferSizeMillisecs());
    return kVq36Ok;
}

std::int32_t VQ36_set_buffer_millisecs(AudioDeviceInterfaceWrapper* w, std::int32_t milliseconds) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return setBufferMillisecs(w, milliseconds);
}

std::int32_t RH_set_buffer_millisecs(AudioDeviceInterfaceWrapper* w, std::int32_t milliseconds) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return setBufferMillisecs(w, milliseconds);
}

std::int32_t VQ36_get_midi_channels(AudioDeviceInterfaceWrapper* w, MidiChannelPair* out) {
    if (out == nullptr) return kVq36BadParameter;
    vq36::AsioInfo* info = uGetAsioInfo(w);
    if (info == nullptr) return kVq36NoRecord;
    out->midiInChannel = static_cast<std::int32_t>(getMidiInChannel());
    vq36::Store32(&info->midiInChannel, out->midiInChannel);
    out->midiOutChannel = static_cast<std::int32_t>(getMidiOutChannel());
    vq36::Store32(&info->midiOutChannel, out->midiOutChannel);
    return kVq36Ok;
}

std::int32_t VQ36_set_midi_channels(AudioDeviceInterfaceWrapper* w, MidiChannelPair* in) {
    if (in == nullptr) return kVq36BadParameter;
    const MidiChannelPair pair = *in;
    setMidiInChannel(static_cast<DWORD>(pair.midiInChannel));
    setMidiOutChannel(static_cast<DWORD>(pair.midiOutChannel));
    vq36::AsioInfo* info = uGetAsioInfo(w);
    if (info == nullptr) return kVq36NoRecord;
    vq36::Store32(&info->midiInChannel, pair.midiInChannel);
    vq36::Store32(&info->midiOutChannel, pair.midiOutChannel);
    return kVq36Ok;
}

// ---- Callbacks -----------------------------------------------------------------------------

std::int32_t VQ36_set_midi_ch_callback(AudioDeviceInterfaceWrapper* w,
                                       MidiChannelsCallback callback) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return setCallback(w, &AudioDeviceInterfaceWrapper::midiChannelsCallback, callback);
}

std::int32_t VQ36_set_usb_port_status_callback(AudioDeviceInterfaceWrapper* w,
                                               UsbPortStatusCallback callback) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return setCallback(w, &AudioDeviceInterfaceWrapper::usbPortStatusCallback, callback);
}

std::int32_t VQ36_set_hidimsg_callback(AudioDeviceInterfaceWrapper* w,
                                       HidiMessageCallback callback) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return setCallback(w, &AudioDeviceInterfaceWrapper::hidiMessageCallback, callback);
}

// ---- Control packets -------------------------------------------------------------------------

std::int32_t VQ36_get_all_controls(AudioDeviceInterfaceWrapper* w) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return sendBuilt(w, 1,
                     [](HidiPacketBuilder& b) { return b.addSysExCommand(kHidiSysExAllControls); });
}

std::int32_t VQ36_send_note_on(AudioDeviceInterfaceWrapper* w, std::int32_t note,
                               std::int32_t velocity) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return sendBuilt(w, 0, [&](HidiPacketBuilder& b) { return b.addNoteOn(note, velocity); });
}

std::int32_t VQ36_send_note_off(AudioDeviceInterfaceWrapper* w, std::int32_t note) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return sendBuilt(w, 0, [&](HidiPacketBuilder& b) { return b.addNoteOff(note); });
}

std::int32_t VQ36_send_control_change(AudioDeviceInterfaceWrapper* w, std::int32_t controller,
                                      std::int32_t value) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return sendBuilt(w, 0,
                     [&](HidiPacketBuilder& b) { return b.addControlChange(controller, value); });
}

std::int32_t VQ36_send_sys_ex(AudioDeviceInterfaceWrapper* w, const BYTE* data,
                              std::int32_t length) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    const DWORD count = static_cast<DWORD>(length) & 0xFF;
    // F0 17, the caller's bytes, F7: at most 55 bytes fit the packet.
    if (count == 0 || count > kHidiPacketMaxData - 3 || data == nullptr) return kVq36BadParameter;
    HidiPacket packet{};
    packet.length = static_cast<BYTE>(count + 3);
    packet.data[0] = kHidiSysEx;
    packet.data[1] = kHidiSysExDevice;
    std::memcpy(packet.data + 2, data, count);
    packet.data[count + 2] = kHidiSysExEnd;
    return uEnqueueHidiPacketToDevice(w, &packet, 1);
}

std::int32_t VQ36_send_hidimsg(AudioDeviceInterfaceWrapper* w, HidiPacket* packet) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    // A packet of timing-clock bytes only may be spliced; anything else goes as its own entry.
    int noSplice = 1;
    if (packet != nullptr && packet->length >= 1 && packet->length <= kHidiPacketMaxData) {
        noSplice = 0;
        for (DWORD i = 0; i < packet->length; ++i)
            if (packet->data[i] != 0xF8) noSplice = 1;
    }
    return uEnqueueHidiPacketToDevice(w, packet, noSplice);
}

std::int32_t VQ36_set_control_point(AudioDeviceInterfaceWrapper* w, std::int32_t* point) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (point == nullptr || (*point != 1 && *point != 2)) return kVq36BadParameter;
    const BYTE data[2] = {kHidiSysExControlPoint, static_cast<BYTE>(*point - 1)};
    return VQ36_send_sys_ex(w, data, 2);
}

// ---- Device state --------------------------------------------------------------------------

std::int32_t VQ36_get_usb_port_status(AudioDeviceInterfaceWrapper* w, std::int32_t* status) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    if (status == nullptr) return kVq36BadParameter;
    status[0] = 1;
    status[1] = 0;
    vq36::AsioInfo* info = uGetAsioInfo(w);
    if (info == nullptr || vq36::Load8(&info->deviceGone) != 0) status[0] = 0;
    return kVq36Ok;
}

std::int32_t VQ36_is_boot_device(AudioDeviceInterfaceWrapper* w, std::int32_t* out) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return isBootDevice(w, out);
}

std::int32_t RH_is_boot_device(AudioDeviceInterfaceWrapper* w, std::int32_t* out) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return isBootDevice(w, out);
}
