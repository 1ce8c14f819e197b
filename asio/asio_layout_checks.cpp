// The sizes, offsets and values of the ASIO interface that hosts rely on. Compiled in the host
// and the windows builds; compiling is the check. Figures for 32-bit (x86) and 64-bit (x64)
// Windows, 4-byte packing.
#include <cstddef>

#include "asio/asio_interface.h"

namespace {
constexpr bool k64 = sizeof(void*) == 8;
constexpr size_t ByTarget(size_t x86, size_t x64) { return k64 ? x64 : x86; }
}  // namespace

static_assert(sizeof(ASIOBool) == 4 && sizeof(ASIOError) == 4 && sizeof(ASIOSampleType) == 4);
static_assert(sizeof(ASIOSampleRate) == 8);

static_assert(sizeof(ASIOSamples) == 8 && alignof(ASIOSamples) == 4);
static_assert(offsetof(ASIOSamples, hi) == 0 && offsetof(ASIOSamples, lo) == 4);
static_assert(sizeof(ASIOTimeStamp) == 8 && offsetof(ASIOTimeStamp, lo) == 4);

static_assert(sizeof(ASIODriverInfo) == ByTarget(168, 172));
static_assert(offsetof(ASIODriverInfo, name) == 8 && offsetof(ASIODriverInfo, errorMessage) == 40);
static_assert(offsetof(ASIODriverInfo, sysRef) == 164);

static_assert(sizeof(ASIOBufferInfo) == ByTarget(16, 24));
static_assert(offsetof(ASIOBufferInfo, channelNum) == 4 && offsetof(ASIOBufferInfo, buffers) == 8);

static_assert(sizeof(ASIOCallbacks) == ByTarget(16, 32));
static_assert(offsetof(ASIOCallbacks, sampleRateDidChange) == ByTarget(4, 8));
static_assert(offsetof(ASIOCallbacks, asioMessage) == ByTarget(8, 16));
static_assert(offsetof(ASIOCallbacks, bufferSwitchTimeInfo) == ByTarget(12, 24));

static_assert(sizeof(ASIOClockSource) == 48);
static_assert(offsetof(ASIOClockSource, isCurrentSource) == 12 && offsetof(ASIOClockSource, name) == 16);

static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(offsetof(ASIOChannelInfo, isActive) == 8 && offsetof(ASIOChannelInfo, channelGroup) == 12);
static_assert(offsetof(ASIOChannelInfo, type) == 16 && offsetof(ASIOChannelInfo, name) == 20);

static_assert(sizeof(AsioTimeInfo) == 48);
static_assert(offsetof(AsioTimeInfo, systemTime) == 8 && offsetof(AsioTimeInfo, samplePosition) == 16);
static_assert(offsetof(AsioTimeInfo, sampleRate) == 24 && offsetof(AsioTimeInfo, flags) == 32);
static_assert(offsetof(AsioTimeInfo, reserved) == 36);

static_assert(sizeof(ASIOTimeCode) == 84);
static_assert(offsetof(ASIOTimeCode, timeCodeSamples) == 8 && offsetof(ASIOTimeCode, flags) == 16);
static_assert(offsetof(ASIOTimeCode, future) == 20);

static_assert(sizeof(ASIOTime) == 148);
static_assert(offsetof(ASIOTime, timeInfo) == 16 && offsetof(ASIOTime, timeCode) == 64);
static_assert(offsetof(ASIOTime, timeInfo) + offsetof(AsioTimeInfo, samplePosition) == 32);
static_assert(offsetof(ASIOTime, timeInfo) + offsetof(AsioTimeInfo, flags) == 48);
static_assert(offsetof(ASIOTime, timeCode) + offsetof(ASIOTimeCode, flags) == 80);

static_assert(sizeof(ASIOIoFormat) == 512);
static_assert(sizeof(ASIOInputMonitor) == 20 && offsetof(ASIOInputMonitor, pan) == 16);
static_assert(sizeof(ASIOChannelControls) == 48 && offsetof(ASIOChannelControls, future) == 16);
static_assert(sizeof(ASIOTransportParameters) == 144);
static_assert(offsetof(ASIOTransportParameters, samplePosition) == 4);
static_assert(offsetof(ASIOTransportParameters, track) == 12);
static_assert(offsetof(ASIOTransportParameters, trackSwitches) == 16);
static_assert(offsetof(ASIOTransportParameters, future) == 80);
static_assert(sizeof(ASIOInternalBufferInfo) == 8);

static_assert(ASE_SUCCESS == 1061701536 && ASE_NotPresent == -1000 && ASE_NoMemory == -994);
static_assert(ASE_HWMalfunction == -999 && ASE_InvalidParameter == -998 && ASE_InvalidMode == -997);
static_assert(ASE_SPNotAdvancing == -996 && ASE_NoClock == -995);
static_assert(ASIOSTInt16LSB == 16 && ASIOSTInt24LSB == 17 && ASIOSTInt32LSB == 18);
static_assert(ASIOSTDSDInt8LSB1 == 32 && ASIOSTDSDInt8MSB1 == 33 && ASIOSTDSDInt8NER8 == 40);
static_assert(kAsioResetRequest == 3 && kAsioSupportsTimeInfo == 7 && kAsioOverload == 15);
static_assert(kAsioTransport == 4 && kAsioCanTimeCode == 11 && kAsioOptionalOne == 17);
static_assert(kAsioSetIoFormat == 0x23111961 && kAsioGetIoFormat == 0x23111983);
static_assert(kAsioCanDoIoFormat == 0x23112004);

// The object pointer a host receives is the vtable pointer's location: IASIO is polymorphic only
// through IUnknown, with no data of its own.
static_assert(sizeof(IASIO) == sizeof(void*));
