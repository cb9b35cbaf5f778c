// The machine's status display reads a device's counters (block count, streaming flag,
// sample-rate estimate) from its shared record; this is how it finds the record of a device
// object. Read-only, and never called by the driver itself.
#include "driver.h"

extern "C" __attribute__((visibility("default"))) const void* Vq36KernelInfoRecord(
    WDFDEVICE device) {
    return GetDeviceContext(device)->infoRecord;
}
