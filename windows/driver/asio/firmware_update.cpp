// The firmware update (see firmware_update.h) and its two exports.

#include "firmware_update.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "device_link.h"
#include "library.h"
#include "public/vq36_shared.h"
#include "ui/afx.h"

namespace {

constexpr DWORD kSummaryTableFlashOffset = 0x4000;
// A device message's payload and reply.
constexpr DWORD kMessageBytes = sizeof(vq36::DeviceMessage::payload);
// Flash bytes a read request asks for at most (the reply carries them from byte 5 on).
constexpr DWORD kFlashReadMax = 54;
constexpr DWORD kFlashReplyDataOffset = 5;
constexpr DWORD kSummaryEntries = kDeviceSummaryBufferSize / kFirmwareEntrySize;

// Test-only setting: the environment variable VQ36_TEST_FIRMWARE_WAIT_DIVISOR (1 to 1000) divides
// the two fixed waits of the update (3 s after the switch to the boot loader, 8 s after the
// finish), so that tests against the device model run in a fraction of the time. It is read
// once per process, at the first wait; absent or out of range, the waits are the full ones.
constexpr const char* kWaitDivisorVariable = "VQ36_TEST_FIRMWARE_WAIT_DIVISOR";

DWORD waitDivisor() {
    char text[16] = {};
    const DWORD length = GetEnvironmentVariableA(kWaitDivisorVariable, text, sizeof text);
    if (length == 0 || length >= sizeof text) return 1;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 1000) return 1;
    return static_cast<DWORD>(value);
}

void putBe32(BYTE* p, DWORD v) {
    p[0] = static_cast<BYTE>(v >> 24);
    p[1] = static_cast<BYTE>(v >> 16);
    p[2] = static_cast<BYTE>(v >> 8);
    p[3] = static_cast<BYTE>(v);
}

DWORD getLe32(const BYTE* p) {
    return p[0] | (DWORD{p[1]} << 8) | (DWORD{p[2]} << 16) | (DWORD{p[3]} << 24);
}

// The record is fetched anew at every use: the device leaves and arrives during an update, and
// each new handle maps a new record (the old mapping goes with the old handle).
void setLastFwUp(AudioDeviceInterfaceWrapper* w, DWORD value) {
    if (vq36::AsioInfo* info = uGetAsioInfo(w)) vq36::Store32(&info->lastFwUp, value);
}

void stampLastFwUp(AudioDeviceInterfaceWrapper* w) {
    setLastFwUp(w, GetTickCount());
}

void reportProgress(DWORD bytesDone, DWORD imageSize, FirmwareProgressCallback callback) {
    if (callback == nullptr || imageSize == 0) return;
    // The product is formed in 64 bits, so that images above 42 MB do not wrap the percentage.
    BYTE percent = static_cast<BYTE>(std::uint64_t{bytesDone} * 100 / imageSize);
    callback(&percent);
}

// Only one update from the built-in image at a time in a process: it is descrambled in place.
std::mutex gEmbeddedImageMutex;

}  // namespace

DWORD uFirmwareFixedWait(DWORD ms) {
    static const DWORD divisor = waitDivisor();
    return ms / divisor;
}

BYTE uReadDeviceSummaryTable(AudioDeviceInterfaceWrapper* w, BYTE* buffer,
                             std::int32_t bufferLength, DWORD* tableLength) {
    DWORD flashOffset = kSummaryTableFlashOffset;
    DWORD read = 0;
    DWORD wanted = kFlashReadMax;  // the first request, before the length is known
    DWORD length = 0;
    while (read < wanted) {
        const DWORD count = wanted - read < kFlashReadMax ? wanted - read : kFlashReadMax;
        BYTE payload[kMessageBytes] = {};
        putBe32(payload, flashOffset);
        payload[4] = static_cast<BYTE>(count);
        BYTE reply[kMessageBytes] = {};
        if (!SendDeviceMessage(w, vq36::kDeviceMsgFlash, vq36::kDeviceMsgGet, payload, reply)) {
            DebugLog(1, "Firmware update failed due to error reading summary table.");
            return 0;
        }
        // The first reply may reach past a short table; the buffer holds what fits.
        const DWORD room = static_cast<DWORD>(bufferLength) - read;
        std::memcpy(buffer + read, reply + kFlashReplyDataOffset, count < room ? count : room);
        if (read == 0) {
            length = getLe32(buffer + 4);
            *tableLength = length;
            DebugLog(1, "Firmware update: device table length = %d", static_cast<int>(length));
            if (length > static_cast<DWORD>(bufferLength)) {
                DebugLog(1, "Firmware update failed due to bad summary table length");
                return 0;
            }
            wanted = length;
        }
        flashOffset += count;
        read += count;
    }
    // Bytes the first request brought from beyond a table shorter than one request are not the
    // table's: they are cleared, so that the entries past the table read as null entries.
    const DWORD held = read < static_cast<DWORD>(bufferLength) ? read : bufferLength;
    if (held > length) std::memset(buffer + length, 0, held - length);

    if (gLogLevel.load(std::memory_order_relaxed) >= 2) {
        char hex[2 * kDeviceSummaryBufferSize + 1];
        for (DWORD i = 0; i < length; ++i) std::snprintf(hex + 2 * i, 3, "%02x", buffer[i]);
        hex[2 * length] = '\0';
        DebugLog(2, "Firmware update, device summary table: %s", hex);
    }
    return 1;
}

BYTE WriteFlashIfNecessary(AudioDeviceInterfaceWrapper* w, DWORD sectionIdx, BYTE forceAll,
                           const BYTE* table, DWORD /*tableLength*/, const BYTE* section,
                           const BYTE* summary, BYTE summaryNull, DWORD imageSize, DWORD* bytesDone,
                           FirmwareProgressCallback callback) {
    const BYTE* entry = table + sectionIdx * kFirmwareEntrySize;
    const DWORD flashOffset = getLe32(entry);
    const DWORD length = getLe32(entry + 4);
    const DWORD crc = getLe32(entry + 8);
    DebugLog(2,
             "Firmware update: WriteFlashIfNecessary: sectionIdx = %d, offset = %08x, length = "
             "%08x, CRC = %08x",
             static_cast<int>(sectionIdx), flashOffset, length, crc);

    bool write = false;
    if (sectionIdx == 0 || forceAll) {
        write = true;
        DebugLog(2, "Firmware update: index %d needs update because first one or force update all",
                 static_cast<int>(sectionIdx));
    } else if (summaryNull || sectionIdx >= kSummaryEntries) {
        // The summary buffer holds 100 entries: a section beyond them has nothing to compare
        // with and is written, as after a null summary entry.
        write = true;
        DebugLog(2, "Firmware update: index %d needs update because different length",
                 static_cast<int>(sectionIdx));
    } else {
        const DWORD deviceCrc = getLe32(summary + sectionIdx * kFirmwareEntrySize + 8);
        write = deviceCrc != crc;
        DebugLog(2, "Firmware update: index %d needs update == %d because CRC of %08x =? %08x",
                 static_cast<int>(sectionIdx), write ? 1 : 0, deviceCrc, crc);
    }

    if (!write) {
        *bytesDone += length;
        reportProgress(*bytesDone, imageSize, callback);
        return 1;
    }
    // Whole chunks only: the update refuses images with a remainder before it addresses the
    // device (uCheckFirmwareSectionLengths).
    for (DWORD k = 0; k < length / kFirmwareWriteChunk; ++k) {
        BYTE payload[kMessageBytes] = {};
        putBe32(payload, flashOffset + k * kFirmwareWriteChunk);
        std::memcpy(payload + 4, section + k * kFirmwareWriteChunk, kFirmwareWriteChunk);
        if (!SendDeviceMessage(w, vq36::kDeviceMsgFlash, vq36::kDeviceMsgSet, payload, nullptr)) {
            DebugLog(1, "Firmware update failed; failed to write to flash");
            return 0;
        }
        stampLastFwUp(w);
        *bytesDone += kFirmwareWriteChunk;
        reportProgress(*bytesDone, imageSize, callback);
    }
    return 1;
}

BYTE uUpdateFirmware(AudioDeviceInterfaceWrapper* w, const BYTE* image, DWORD imageSize,
                     FirmwareProgressCallback callback) {
    // The wrapper stays allocated for the whole update, even if another thread closes it.
    WrapperUse use(w);
    vq36::AsioInfo* info = uGetAsioInfo(w);
    if (info == nullptr) {
        DebugLog(1, "Firmware update failed, can't retrieve ASIO info ptr");
        return 0;
    }
    const DWORD now = GetTickCount();
    const DWORD last = vq36::Load32(&info->lastFwUp);
    if (now < last || now - last < kFirmwareUpdateGuardMs) {
        DebugLog(1, "Firmware update failed, separate update was too recently in progress");
        return 0;
    }
    DebugLog(2, "Starting firmware update; time of most recent firmware update = %d",
             static_cast<int>(last));
    gFirmwareUpdateInProgress.store(1);
    stampLastFwUp(w);

    BYTE result = 1;
    do {
        DWORD payloadOffset = 0;
        DWORD payloadLength = 0;
        if (!uVerifyFirmwareImage(image, imageSize, &payloadOffset, &payloadLength) ||
            !uCheckFirmwareSectionLengths(image, imageSize)) {
            result = 0;
            break;
        }
        std::int32_t boot = 0;
        if (RH_is_boot_device(w, &boot) != kVq36Ok) {
            DebugLog(1, "Firmware update failed while checking if boot device");
            result = 0;
            break;
        }
        BYTE forceAll = 0;
        if (boot != 0) {
            forceAll = 1;
            DebugLog(2, "Firmware update: already boot device; so proceeding...");
        } else {
            if (!uDeviceValue(w, vq36::kDeviceMsgBootDevice, vq36::kDeviceMsgSet, 1, nullptr)) {
                DebugLog(1, "Firmware update failed while switching to boot device mode");
                result = 0;
                break;
            }
            DebugLog(2, "Firmware update: successfully switched to boot device");
            Sleep(uFirmwareFixedWait(kFirmwareBootLoaderWaitMs));
            stampLastFwUp(w);
        }

        const BYTE* table = image + payloadOffset;
        const DWORD tableLength = getLe32(table + 4);
        BYTE summary[kDeviceSummaryBufferSize] = {};
        DWORD summaryLength = 0;
        BYTE ok = forceAll ? 1
                           : uReadDeviceSummaryTable(w, summary, kDeviceSummaryBufferSize,
                                                     &summaryLength);
        if (ok) {
            const BYTE* section = table;
            DWORD bytesDone = 0;
            BYTE summaryNull = 0;
            const std::int32_t entries = static_cast<std::int32_t>(tableLength) / 12;
            for (std::int32_t i = 0; i < entries; ++i) {
                const DWORD idx = static_cast<DWORD>(i);
                DebugLog(2, "Firmware update: evaluating section idx %d", i);
                const BYTE* entry = table + idx * kFirmwareEntrySize;
                if (getLe32(entry) == 0) {
                    DebugLog(2, "Firmware update: encountered null, so breaking out");
                    break;
                }
                stampLastFwUp(w);
                // Entries beyond the 100 of the summary buffer count as null entries.
                const bool deviceNull =
                    idx >= kSummaryEntries || getLe32(summary + idx * kFirmwareEntrySize) == 0;
                if (deviceNull) {
                    summaryNull = 1;
                    DebugLog(
                        2, "Firmware update: encountered device summary null at section idx %d", i);
                }
                ok = WriteFlashIfNecessary(w, idx, forceAll, table, tableLength, section, summary,
                                           summaryNull, imageSize, &bytesDone, callback);
                if (!ok) {
                    DebugLog(2, "Firmware update: failed to write flash at section idx %d", i);
                    break;
                }
                section += getLe32(entry + 4);
            }
        }
        if (!ok) {
            setLastFwUp(w, 0);
            result = 0;
        }
        // The device hears the end of the update whatever the walk gave.
        if (uDeviceValue(w, vq36::kDeviceMsgFirmwareUpdateDone, vq36::kDeviceMsgSet, 0, nullptr)) {
            DebugLog(1, "Firmware update, successfully marked as finished");
            if (result && callback != nullptr) {
                BYTE percent = 100;
                callback(&percent);
            }
        } else {
            DebugLog(1, "Firmware update failed while marking as finished");
            result = 0;
        }
        setLastFwUp(w, 0);
        Sleep(uFirmwareFixedWait(kFirmwareFinishWaitMs));
    } while (false);

    setLastFwUp(w, 0);
    gFirmwareUpdateInProgress.store(0);
    return result;
}

BYTE uUpdateFirmwareFromEmbedded(AudioDeviceInterfaceWrapper* w,
                                 FirmwareProgressCallback callback) {
    // The image is descrambled in place: a second update from it in this process while one runs
    // would scramble it under the first. It is refused as the time guard refuses it.
    std::unique_lock lock(gEmbeddedImageMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        DebugLog(1, "Firmware update failed, separate update was too recently in progress");
        return 0;
    }
    uDescrambleFirmwareImage(gEmbeddedFirmwareImage, kEmbeddedFirmwareSize);
    const BYTE result = uUpdateFirmware(w, gEmbeddedFirmwareImage, kEmbeddedFirmwareSize, callback);
    uDescrambleFirmwareImage(gEmbeddedFirmwareImage, kEmbeddedFirmwareSize);
    return result;
}

// ---- Exports ---------------------------------------------------------------------------------

std::int32_t VQ36_set_update_firmware(AudioDeviceInterfaceWrapper* w, const BYTE* image,
                                      DWORD imageSize, FirmwareProgressCallback callback) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return uUpdateFirmware(w, image, imageSize, callback) ? kVq36Ok : kVq36Failed;
}

std::int32_t VQ36_set_update_firmware_from_embedded(AudioDeviceInterfaceWrapper* w,
                                                    FirmwareProgressCallback callback) {
    AFX_MANAGE_STATE(AfxGetStaticModuleState());
    return uUpdateFirmwareFromEmbedded(w, callback) ? kVq36Ok : kVq36Failed;
}
