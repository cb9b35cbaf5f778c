#pragma once
// The firmware update: writes a verified image into the VQ36's flash, section by section,
// through device messages, and reports progress in percent.
//
// The update switches the device into its boot loader (unless it runs it already), compares
// each section's CRC with the section table the device reports, writes only the sections that
// differ (all of them when the device was in its boot loader already) and tells the device that
// the update is finished. It runs on the caller's thread; once the device has been addressed it
// takes at least 8 seconds (3 s after the switch, 8 s after the finish). While it runs,
// gFirmwareUpdateInProgress keeps this process's status monitor idle, and the stamp in the
// shared record's lastFwUp keeps an update in any process from starting.

#include <cstdint>

#include "control_exports.h"
#include "firmware_image.h"
#include "win32/windows.h"

// The device's copy of the section table is read into a buffer of this many bytes (100
// entries).
inline constexpr std::int32_t kDeviceSummaryBufferSize = 1200;
// An update refuses to start within this many milliseconds of another one's latest step.
inline constexpr DWORD kFirmwareUpdateGuardMs = 10000;
// The fixed waits: after the switch to the boot loader, and after the finish.
inline constexpr DWORD kFirmwareBootLoaderWaitMs = 3000;
inline constexpr DWORD kFirmwareFinishWaitMs = 8000;

// The whole update on the caller's image (which it only reads); true when it succeeded.
BYTE uUpdateFirmware(AudioDeviceInterfaceWrapper* w, const BYTE* image, DWORD imageSize,
                     FirmwareProgressCallback callback);

// The update on the built-in image: descrambles it in place, updates, scrambles it again.
BYTE uUpdateFirmwareFromEmbedded(AudioDeviceInterfaceWrapper* w, FirmwareProgressCallback callback);

// Reads the device's section table from flash offset 0x4000 into `buffer` (bufferLength bytes,
// zeroed by the caller); *tableLength receives its length in bytes.
BYTE uReadDeviceSummaryTable(AudioDeviceInterfaceWrapper* w, BYTE* buffer,
                             std::int32_t bufferLength, DWORD* tableLength);

// Writes image section `sectionIdx` (its bytes at `section`) when it has to be written, in
// 32-byte chunks, adding to *bytesDone and reporting progress.
BYTE WriteFlashIfNecessary(AudioDeviceInterfaceWrapper* w, DWORD sectionIdx, BYTE forceAll,
                           const BYTE* table, DWORD tableLength, const BYTE* section,
                           const BYTE* summary, BYTE summaryNull, DWORD imageSize, DWORD* bytesDone,
                           FirmwareProgressCallback callback);

// The fixed wait of `ms` as this process makes it (see firmware_update.cpp for the test
// setting that shortens it).
DWORD uFirmwareFixedWait(DWORD ms);
