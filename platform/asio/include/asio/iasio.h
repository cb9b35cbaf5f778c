#pragma once
// IASIO: the ASIO driver interface. A host creates the driver through COM as an in-process
// server, asking for the driver's class id as the interface id, and calls it through these 24
// slots: the three of IUnknown, then the driver's 21 methods in this order.

#include "asio/asio.h"
#include "win32/windows.h"

struct IASIO : public IUnknown {
    // sysHandle: the host's main window (unused by most drivers). ASIOTrue when the driver is
    // ready; getErrorMessage then explains a false.
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;  // at most 32 characters with the zero
    virtual LONG getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0;  // at most 124 characters with the zero
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(LONG* numInputChannels, LONG* numOutputChannels) = 0;
    virtual ASIOError getLatencies(LONG* inputLatency, LONG* outputLatency) = 0;
    virtual ASIOError getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize,
                                    LONG* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    // clocks: an array of *numSources records on entry; *numSources: the number filled in.
    virtual ASIOError getClockSources(ASIOClockSource* clocks, LONG* numSources) = 0;
    virtual ASIOError setClockSource(LONG reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(LONG selector, void* opt) = 0;
    // The host has filled the output half of the latest buffer switch.
    virtual ASIOError outputReady() = 0;
};

// The slots of IASIO's table, in order.
enum IASIOSlot {
    kIASIOSlotQueryInterface,
    kIASIOSlotAddRef,
    kIASIOSlotRelease,
    kIASIOSlotInit,
    kIASIOSlotGetDriverName,
    kIASIOSlotGetDriverVersion,
    kIASIOSlotGetErrorMessage,
    kIASIOSlotStart,
    kIASIOSlotStop,
    kIASIOSlotGetChannels,
    kIASIOSlotGetLatencies,
    kIASIOSlotGetBufferSize,
    kIASIOSlotCanSampleRate,
    kIASIOSlotGetSampleRate,
    kIASIOSlotSetSampleRate,
    kIASIOSlotGetClockSources,
    kIASIOSlotSetClockSource,
    kIASIOSlotGetSamplePosition,
    kIASIOSlotGetChannelInfo,
    kIASIOSlotCreateBuffers,
    kIASIOSlotDisposeBuffers,
    kIASIOSlotControlPanel,
    kIASIOSlotFuture,
    kIASIOSlotOutputReady,
    kIASIOSlotCount
};
static_assert(kIASIOSlotCount == 24, "IASIO has 24 slots");

// The interface holds nothing but its table pointer.
static_assert(sizeof(IASIO) == sizeof(void*));
