#pragma once
// The ASIO driver interface as hosts see it: base types, result codes, records, the host's
// callbacks and the message selectors.
//
// The interface's integers are the platform's 32-bit `long`: here they are LONG and ULONG, so
// that every record keeps the size and layout it has on the platform's 64-bit builds.

#include "win32/windows.h"

typedef LONG ASIOBool;
enum {
    ASIOFalse = 0,
    ASIOTrue = 1,
};

typedef LONG ASIOError;
enum {
    ASE_OK = 0,                   // success
    ASE_SUCCESS = 0x3F4847A0,     // the answer of `future` to a selector it serves
    ASE_NotPresent = -1000,       // hardware input or output is not present or available
    ASE_HWMalfunction = -999,     // hardware is malfunctioning
    ASE_InvalidParameter = -998,  // input parameter invalid
    ASE_InvalidMode = -997,       // hardware is in a bad mode or used in a bad mode
    ASE_SPNotAdvancing = -996,    // hardware is not running when the sample position is asked
    ASE_NoClock = -995,           // sample clock or rate cannot be determined or is not present
    ASE_NoMemory = -994,          // not enough memory to complete the request
};

typedef double ASIOSampleRate;

// A 64-bit sample count as two 32-bit halves.
struct ASIOSamples {
    ULONG hi;
    ULONG lo;
};

// A 64-bit system time in nanoseconds as two 32-bit halves.
struct ASIOTimeStamp {
    ULONG hi;
    ULONG lo;
};

typedef LONG ASIOSampleType;
enum {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,  // packed 3 bytes; used for 20 bits as well
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,  // IEEE 754 32-bit float
    ASIOSTFloat64MSB = 4,  // IEEE 754 64-bit float
    // 32-bit containers with the data aligned to the low bits (sign-extended).
    ASIOSTInt32MSB16 = 8,
    ASIOSTInt32MSB18 = 9,
    ASIOSTInt32MSB20 = 10,
    ASIOSTInt32MSB24 = 11,

    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,  // IEEE 754 32-bit float, little endian (x86)
    ASIOSTFloat64LSB = 20,
    ASIOSTInt32LSB16 = 24,
    ASIOSTInt32LSB18 = 25,
    ASIOSTInt32LSB20 = 26,
    ASIOSTInt32LSB24 = 27,

    // One-bit streams, eight samples per byte.
    ASIOSTDSDInt8LSB1 = 32,
    ASIOSTDSDInt8MSB1 = 33,
    ASIOSTDSDInt8NER8 = 40,

    ASIOSTLastEntry
};

struct ASIOClockSource {
    LONG index;              // as passed to setClockSource
    LONG associatedChannel;  // -1: none
    LONG associatedGroup;    // -1: none
    ASIOBool isCurrentSource;
    char name[32];
};

// The host sets `channel` and `isInput`; the driver fills in the rest.
struct ASIOChannelInfo {
    LONG channel;
    ASIOBool isInput;
    ASIOBool isActive;  // buffers have been created for this channel
    LONG channelGroup;
    ASIOSampleType type;
    char name[32];
};

// The host sets `isInput` and `channelNum`; createBuffers fills in the two halves.
struct ASIOBufferInfo {
    ASIOBool isInput;
    LONG channelNum;
    void* buffers[2];
};

// ---- Time information ------------------------------------------------------------------------

enum AsioTimeInfoFlags {
    kSystemTimeValid = 1,
    kSamplePositionValid = 1 << 1,
    kSampleRateValid = 1 << 2,
    kSpeedValid = 1 << 3,
    kSampleRateChanged = 1 << 4,
    kClockSourceChanged = 1 << 5,
};

struct AsioTimeInfo {
    double speed;  // 1.0 is nominal; 0.0 stopped
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    ULONG flags;  // AsioTimeInfoFlags
    char reserved[12];
};
typedef AsioTimeInfo ASIOTimeInfo;

enum ASIOTimeCodeFlags {
    kTcValid = 1,
    kTcRunning = 1 << 1,
    kTcReverse = 1 << 2,
    kTcOnspeed = 1 << 3,
    kTcStill = 1 << 4,
    kTcSpeedValid = 1 << 8,
};

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;  // time in samples
    ULONG flags;                  // ASIOTimeCodeFlags
    char future[64];
};

struct ASIOTime {
    LONG reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

// ---- The host's callbacks --------------------------------------------------------------------

struct ASIOCallbacks {
    // One half of the double buffers is ready: index 0 or 1. directProcess: ASIOTrue when the
    // host may process at once (called from the driver's interrupt context on some platforms).
    void (*bufferSwitch)(LONG doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate sRate);
    // Questions and notices from the driver (the message selectors below).
    LONG (*asioMessage)(LONG selector, LONG value, void* message, double* opt);
    // bufferSwitch with time information, for hosts that answer kAsioSupportsTimeInfo.
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, LONG doubleBufferIndex,
                                      ASIOBool directProcess);
};

// Selectors of asioMessage.
enum {
    kAsioSelectorSupported = 1,  // value: a selector; answer 1 when the host serves it
    kAsioEngineVersion,          // answer the host's ASIO version (2 or higher)
    kAsioResetRequest,           // the driver needs a reset: release and re-create it
    kAsioBufferSizeChange,       // value: the new preferred buffer size
    kAsioResyncRequest,          // the driver lost samples or needs to resynchronise
    kAsioLatenciesChanged,       // the driver's latencies have changed
    kAsioSupportsTimeInfo,       // answer 1 when the host takes bufferSwitchTimeInfo
    kAsioSupportsTimeCode,       // answer 1 when the host reads time code
    kAsioMMCCommand,
    kAsioSupportsInputMonitor,
    kAsioSupportsInputGain,
    kAsioSupportsInputMeter,
    kAsioSupportsOutputGain,
    kAsioSupportsOutputMeter,
    kAsioOverload,  // the driver missed a buffer switch
    kAsioNumMessageSelectors
};

// Selectors of IASIO::future.
enum {
    kAsioEnableTimeCodeRead = 1,  // no argument
    kAsioDisableTimeCodeRead,     // no argument
    kAsioSetInputMonitor,         // argument: an input-monitor record
    kAsioTransport,
    kAsioSetInputGain,
    kAsioGetInputMeter,
    kAsioSetOutputGain,
    kAsioGetOutputMeter,
    kAsioCanInputMonitor,  // the "can" selectors ask whether the driver serves the feature
    kAsioCanTimeInfo,
    kAsioCanTimeCode,
    kAsioCanTransport,
    kAsioCanInputGain,
    kAsioCanInputMeter,
    kAsioCanOutputGain,
    kAsioCanOutputMeter,
};

static_assert(sizeof(ASIOSamples) == 8 && sizeof(ASIOTimeStamp) == 8);
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(sizeof(ASIOBufferInfo) == 24);
static_assert(sizeof(AsioTimeInfo) == 48);
static_assert(sizeof(ASIOTimeCode) == 88);
static_assert(sizeof(ASIOTime) == 152);
