#pragma once
// Status values that the USB stack reports: the request (NT) status and the URB's USBD status.

#include <cstdint>

namespace standin::usb {

using NtStatus = std::uint32_t;
using UsbdStatus = std::uint32_t;

// Request statuses.
inline constexpr NtStatus kStatusSuccess = 0x00000000;
inline constexpr NtStatus kStatusUnsuccessful = 0xC0000001;
inline constexpr NtStatus kStatusInvalidParameter = 0xC000000D;
inline constexpr NtStatus kStatusNoSuchDevice = 0xC000000E;
inline constexpr NtStatus kStatusIoTimeout = 0xC00000B5;
inline constexpr NtStatus kStatusCancelled = 0xC0000120;
inline constexpr NtStatus kStatusInvalidDeviceState = 0xC0000184;

// USBD statuses of a URB and of each isochronous packet.
inline constexpr UsbdStatus kUsbdSuccess = 0x00000000;
inline constexpr UsbdStatus kUsbdStallPid = 0xC0000004;
inline constexpr UsbdStatus kUsbdDataOverrun = 0xC0000008;
inline constexpr UsbdStatus kUsbdInvalidParameter = 0x80000300;
inline constexpr UsbdStatus kUsbdInvalidPipeHandle = 0x80000600;
inline constexpr UsbdStatus kUsbdBadStartFrame = 0xC0000A00;
inline constexpr UsbdStatus kUsbdIsochRequestFailed = 0xC0000B00;
inline constexpr UsbdStatus kUsbdInterfaceNotFound = 0xC0004000;
inline constexpr UsbdStatus kUsbdDeviceGone = 0xC0007000;
inline constexpr UsbdStatus kUsbdCanceled = 0xC0010000;
inline constexpr UsbdStatus kUsbdIsoNotAccessedByHw = 0xC0020000;

// NT_SUCCESS / USBD_SUCCESS: the top bit clear.
constexpr bool ntSuccess(NtStatus s) {
    return (s & 0x80000000u) == 0;
}
constexpr bool usbdSuccess(UsbdStatus s) {
    return (s & 0x80000000u) == 0;
}

}  // namespace standin::usb
