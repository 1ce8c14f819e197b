// The ASIO binary interface between a host program and this in-process driver: the IASIO object,
// the host's callbacks, the structures, error codes, sample types and selectors, declared from
// the published binary contract. Every ASIO `long` is 32-bit on Windows (LLP64), so LONG and ULONG
// stand for it here and keep the layout on the host build (LP64) too.
#pragma once

#include "platform/user.h"

typedef LONG ASIOBool;
typedef LONG ASIOError;
typedef LONG ASIOSampleType;
typedef double ASIOSampleRate;

enum : LONG { ASIOFalse = 0, ASIOTrue = 1 };

enum : LONG {
    ASE_OK = 0,
    ASE_SUCCESS = 0x3F4847A0,
    ASE_NotPresent = -1000,
    ASE_HWMalfunction = -999,
    ASE_InvalidParameter = -998,
    ASE_InvalidMode = -997,
    ASE_SPNotAdvancing = -996,
    ASE_NoClock = -995,
    ASE_NoMemory = -994,
};

enum : LONG {
    ASIOSTInt16MSB = 0,
    ASIOSTInt24MSB = 1,
    ASIOSTInt32MSB = 2,
    ASIOSTFloat32MSB = 3,
    ASIOSTFloat64MSB = 4,
    ASIOSTInt32MSB16 = 8,
    ASIOSTInt32MSB18 = 9,
    ASIOSTInt32MSB20 = 10,
    ASIOSTInt32MSB24 = 11,
    ASIOSTInt16LSB = 16,
    ASIOSTInt24LSB = 17,
    ASIOSTInt32LSB = 18,
    ASIOSTFloat32LSB = 19,
    ASIOSTFloat64LSB = 20,
    ASIOSTInt32LSB16 = 24,
    ASIOSTInt32LSB18 = 25,
    ASIOSTInt32LSB20 = 26,
    ASIOSTInt32LSB24 = 27,
    ASIOSTDSDInt8LSB1 = 32,
    ASIOSTDSDInt8MSB1 = 33,
    ASIOSTDSDInt8NER8 = 40,
};

// asioMessage selectors, driver to host.
enum : LONG {
    kAsioSelectorSupported = 1,
    kAsioEngineVersion = 2,
    kAsioResetRequest = 3,
    kAsioBufferSizeChange = 4,
    kAsioResyncRequest = 5,
    kAsioLatenciesChanged = 6,
    kAsioSupportsTimeInfo = 7,
    kAsioSupportsTimeCode = 8,
    kAsioMMCCommand = 9,
    kAsioSupportsInputMonitor = 10,
    kAsioSupportsInputGain = 11,
    kAsioSupportsInputMeter = 12,
    kAsioSupportsOutputGain = 13,
    kAsioSupportsOutputMeter = 14,
    kAsioOverload = 15,
    kAsioNumMessageSelectors = 16,
};

// future() selectors, host to driver.
enum : LONG {
    kAsioEnableTimeCodeRead = 1,
    kAsioDisableTimeCodeRead = 2,
    kAsioSetInputMonitor = 3,
    kAsioTransport = 4,
    kAsioSetInputGain = 5,
    kAsioGetInputMeter = 6,
    kAsioSetOutputGain = 7,
    kAsioGetOutputMeter = 8,
    kAsioCanInputMonitor = 9,
    kAsioCanTimeInfo = 10,
    kAsioCanTimeCode = 11,
    kAsioCanTransport = 12,
    kAsioCanInputGain = 13,
    kAsioCanInputMeter = 14,
    kAsioCanOutputGain = 15,
    kAsioCanOutputMeter = 16,
    kAsioOptionalOne = 17,
    kAsioSetIoFormat = 0x23111961,
    kAsioGetIoFormat = 0x23111983,
    kAsioCanDoIoFormat = 0x23112004,
    kAsioCanReportOverload = 0x24042012,
    kAsioGetInternalBufferSamples = 0x25042012,
};

enum ASIOIoFormatType : LONG { kASIOFormatInvalid = -1, kASIOPCMFormat = 0, kASIODSDFormat = 1 };

// AsioTimeInfo.flags
enum : ULONG {
    kSystemTimeValid = 0x1,
    kSamplePositionValid = 0x2,
    kSampleRateValid = 0x4,
    kSpeedValid = 0x8,
    kSampleRateChanged = 0x10,
    kClockSourceChanged = 0x20,
};

// ASIOTimeCode.flags
enum : ULONG {
    kTcValid = 0x1,
    kTcRunning = 0x2,
    kTcReverse = 0x4,
    kTcOnspeed = 0x8,
    kTcStill = 0x10,
    kTcSpeedValid = 0x100,
};

// ASIOTransportParameters.command
enum : LONG {
    kTransStart = 1,
    kTransStop = 2,
    kTransLocate = 3,
    kTransPunchIn = 4,
    kTransPunchOut = 5,
    kTransArmOn = 6,
    kTransArmOff = 7,
    kTransMonitorOn = 8,
    kTransMonitorOff = 9,
    kTransArm = 10,
    kTransMonitor = 11,
};

// Hosts are built with 4-byte packing of these records: only trailing padding (and the x64
// ASIODriverInfo.sysRef) differs from natural alignment, and a host may hand over an ASIOTime
// that is only 4-byte aligned.
#pragma pack(push, 4)

// A 64-bit count as two 32-bit words, the high word first: not a native little-endian integer.
struct ASIOSamples {
    ULONG hi;
    ULONG lo;
};
// Nanoseconds, encoded like ASIOSamples.
struct ASIOTimeStamp {
    ULONG hi;
    ULONG lo;
};

struct ASIODriverInfo {
    LONG asioVersion;
    LONG driverVersion;
    char name[32];
    char errorMessage[124];
    void* sysRef;
};

struct ASIOClockSource {
    LONG index;
    LONG associatedChannel;
    LONG associatedGroup;
    ASIOBool isCurrentSource;
    char name[32];
};

struct ASIOChannelInfo {
    LONG channel;
    ASIOBool isInput;
    ASIOBool isActive;
    LONG channelGroup;
    ASIOSampleType type;
    char name[32];
};

struct ASIOBufferInfo {
    ASIOBool isInput;
    LONG channelNum;
    void* buffers[2];
};

struct AsioTimeInfo {
    double speed;
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    ULONG flags;
    char reserved[12];
};

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    ULONG flags;
    char future[64];
};

struct ASIOTime {
    LONG reserved[4];
    AsioTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};

struct ASIOIoFormat {
    LONG FormatType;
    char future[512 - sizeof(LONG)];
};

struct ASIOInputMonitor {
    LONG input;
    LONG output;
    LONG gain;
    ASIOBool state;
    LONG pan;
};

struct ASIOChannelControls {
    LONG channel;
    ASIOBool isInput;
    LONG gain;
    LONG meter;
    char future[32];
};

struct ASIOTransportParameters {
    LONG command;
    ASIOSamples samplePosition;
    LONG track;
    LONG trackSwitches[16];
    char future[64];
};

struct ASIOInternalBufferInfo {
    LONG inputSamples;
    LONG outputSamples;
};

// The host's callbacks: plain C functions (cdecl on x86). The host keeps the record alive from
// createBuffers to disposeBuffers.
struct ASIOCallbacks {
    void (*bufferSwitch)(LONG doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate sRate);
    LONG (*asioMessage)(LONG selector, LONG value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, LONG doubleBufferIndex, ASIOBool directProcess);
};

#pragma pack(pop)

// The driver object as hosts call it. It has no interface ID of its own: hosts ask
// QueryInterface for the driver's CLSID. The methods after IUnknown carry no calling convention
// so that 32-bit compilers give them thiscall, as hosts call them; the order is the vtable, so
// no overloads and no virtual destructor may be added here.
struct IASIO : public IUnknown {
    virtual ASIOBool init(void* sysHandle) = 0;
    virtual void getDriverName(char* name) = 0;
    virtual LONG getDriverVersion() = 0;
    virtual void getErrorMessage(char* string) = 0;
    virtual ASIOError start() = 0;
    virtual ASIOError stop() = 0;
    virtual ASIOError getChannels(LONG* numInputChannels, LONG* numOutputChannels) = 0;
    virtual ASIOError getLatencies(LONG* inputLatency, LONG* outputLatency) = 0;
    virtual ASIOError getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity) = 0;
    virtual ASIOError canSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getSampleRate(ASIOSampleRate* sampleRate) = 0;
    virtual ASIOError setSampleRate(ASIOSampleRate sampleRate) = 0;
    virtual ASIOError getClockSources(ASIOClockSource* clocks, LONG* numSources) = 0;
    virtual ASIOError setClockSource(LONG reference) = 0;
    virtual ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) = 0;
    virtual ASIOError getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                                    ASIOCallbacks* callbacks) = 0;
    virtual ASIOError disposeBuffers() = 0;
    virtual ASIOError controlPanel() = 0;
    virtual ASIOError future(LONG selector, void* opt) = 0;
    virtual ASIOError outputReady() = 0;
};
