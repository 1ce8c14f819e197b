// Sample rates, the clock source and the optional features the host reaches through future():
// time code and the PCM/DSD I/O format.
#include <cstdio>
#include <cstring>

#include "asio/asio_driver.h"
#include "common/trace.h"

namespace {

const DWORD kAsioPcmRates[] = {32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 705600, 768000};
const DWORD kAsioDsdRates[] = {2822400, 5644800, 11289600};

template <size_t Count> bool InTable(const DWORD (&table)[Count], double rate)
{
    for (DWORD entry : table) {
        if (double(entry) == rate) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CQyxAsioDriver::IsRateSupported(double rate) const
{
    if (IsDsdFormat()) {
        // The device runs a DSD stream at a PCM rate of its own; its PCM range does not apply.
        return InTable(kAsioDsdRates, rate);
    }
    return InTable(kAsioPcmRates, rate) && rate >= double(m_MinRate) && rate <= double(m_MaxRate);
}

ASIOError CQyxAsioDriver::canSampleRate(ASIOSampleRate sampleRate)
{
    if (m_State == kStateLoaded) {
        return ASE_NotPresent;
    }
    CSettingsLockHolder held(*m_SettingsLock);
    if (m_LockRate != 0) {
        return sampleRate == double(m_CurrentRate) ? ASE_OK : ASE_NoClock;
    }
    return IsRateSupported(sampleRate) ? ASE_OK : ASE_NoClock;
}

ASIOError CQyxAsioDriver::getSampleRate(ASIOSampleRate* sampleRate)
{
    if (m_State == kStateLoaded) {
        return ASE_NotPresent;
    }
    if (sampleRate == nullptr) {
        return ASE_InvalidParameter;
    }
    CSettingsLockHolder held(*m_SettingsLock);
    // While a running rate change is under way the host already sees the new rate.
    *sampleRate = m_RequestedRate > 0 && m_RequestedRate != double(m_CurrentRate) ? m_RequestedRate
                                                                                    : double(m_CurrentRate);
    return ASE_OK;
}

bool CQyxAsioDriver::ApplySampleRate(DWORD rate)
{
    const CAudioDevice* device = m_Devices.GetSelected();
    if (device == nullptr) {
        return false;
    }
    if (IsDsdFormat()) {
        if (m_SampleType != ASIOSTDSDInt8LSB1 && m_SampleType != ASIOSTDSDInt8MSB1) {
            return false;
        }
        // 32 one-bit samples travel in each 32-bit word: 2.8224 MHz runs the device at 88.2 kHz.
        rate /= 32;
    }
    DWORD endpointsChanged = 0;
    if (!m_Channel.SetRate(rate, &endpointsChanged)) {
        return false;
    }
    if (endpointsChanged != 0) {
        // The Windows endpoints were registered anew for the rate: their mix formats follow it.
        device->ResetEndpointFormats();
    }
    return true;
}

ASIOError CQyxAsioDriver::setSampleRate(ASIOSampleRate sampleRate)
{
    if (m_State == kStateLoaded) {
        return ASE_NotPresent;
    }
    if (sampleRate == 0) {
        return ASE_InvalidMode;  // there is no external clock to follow
    }
    if (!AwaitDevicePowerOn(3000)) {
        return ASE_NotPresent;
    }
    CSettingsLockHolder held(*m_SettingsLock);
    if (m_LockRate != 0) {
        return sampleRate == double(m_CurrentRate) ? ASE_OK : ASE_NoClock;
    }
    if (!IsRateSupported(sampleRate)) {
        return ASE_NoClock;
    }
    if (sampleRate == double(m_CurrentRate) && m_CurrentRate == m_StoredRate) {
        return ASE_OK;
    }
    DWORD rate = DWORD(sampleRate);
    if (m_State == kStateRunning) {
        m_Settings.WriteSetting(kSettingSamplingRate, &rate, sizeof rate);
        m_StoredRate = rate;
        m_RequestedRate = rate;
        stop();
        if (!ApplySampleRate(rate)) {
            SendResetRequest(true);
            m_Settings.WriteSetting(kSettingSamplingRate, &m_CurrentRate, sizeof m_CurrentRate);
            m_StoredRate = m_CurrentRate;
            m_RequestedRate = 0;
            return ASE_NotPresent;
        }
        m_CurrentRate = rate;
        if (LONG(m_BufferFrames) > GetMaxBufferFrames() || LONG(m_BufferFrames) < GetMinBufferFrames()) {
            // The buffers the host has no longer fit the rate: it must build new ones.
            SendResetRequest(true);
        } else {
            start();
        }
        return ASE_OK;
    }
    if (!ApplySampleRate(rate)) {
        return ASE_HWMalfunction;
    }
    if (m_State == kStatePrepared) {
        SendResetRequest(true);
    }
    m_Settings.WriteSetting(kSettingSamplingRate, &rate, sizeof rate);
    m_StoredRate = m_CurrentRate = rate;
    UpdateBufferBytes();
    return ASE_OK;
}

ASIOError CQyxAsioDriver::getClockSources(ASIOClockSource* clocks, LONG* numSources)
{
    if (m_State == kStateLoaded) {
        return ASE_NotPresent;
    }
    if (clocks == nullptr || numSources == nullptr) {
        return ASE_InvalidParameter;
    }
    clocks[0].index = 0;
    clocks[0].associatedChannel = -1;
    clocks[0].associatedGroup = -1;
    clocks[0].isCurrentSource = ASIOTrue;
    std::snprintf(clocks[0].name, sizeof clocks[0].name, "Internal");
    *numSources = 1;
    return ASE_OK;
}

ASIOError CQyxAsioDriver::setClockSource(LONG reference)
{
    if (m_State == kStateLoaded || reference != 0) {
        return ASE_NotPresent;
    }
    // The next bufferSwitchTimeInfo tells the host, then the flag is cleared.
    m_AsioTime.timeInfo.flags |= kClockSourceChanged;
    return ASE_OK;
}

ASIOError CQyxAsioDriver::SetIoFormat(const ASIOIoFormat* format)
{
    CSettingsLockHolder held(*m_SettingsLock);
    const LONG type = format->FormatType;
    if ((type != kASIOPCMFormat && type != kASIODSDFormat) || (type == kASIODSDFormat && m_DsdCapable == 0)) {
        return ASE_InvalidParameter;
    }
    const LONG previous = m_IoFormat.FormatType;
    std::memcpy(&m_IoFormat, format, sizeof m_IoFormat);
    m_SampleType = SampleTypeFromBits();
    if (m_SampleType < 0) {
        return ASE_InvalidParameter;
    }
    UpdateBufferBytes();
    if (m_State == kStatePrepared && type != previous) {
        SendResetRequest(true);
    }
    return ASE_SUCCESS;
}

ASIOError CQyxAsioDriver::future(LONG selector, void* opt)
{
    switch (selector) {
    case kAsioEnableTimeCodeRead:
        m_TimeCodeEnabled = 1;
        return ASE_SUCCESS;
    case kAsioDisableTimeCodeRead:
        m_TimeCodeEnabled = 0;
        return ASE_SUCCESS;
    case kAsioSetInputMonitor:
    case kAsioCanInputMonitor:
    case kAsioCanTimeInfo:
    case kAsioCanTimeCode:
        return ASE_SUCCESS;
    case kAsioSetIoFormat:
        return opt == nullptr ? ASE_InvalidParameter : SetIoFormat(static_cast<const ASIOIoFormat*>(opt));
    case kAsioGetIoFormat: {
        if (opt == nullptr) {
            return ASE_InvalidParameter;
        }
        CSettingsLockHolder held(*m_SettingsLock);
        std::memcpy(opt, &m_IoFormat, sizeof m_IoFormat);
        return ASE_SUCCESS;
    }
    case kAsioCanDoIoFormat: {
        if (opt == nullptr) {
            return ASE_InvalidParameter;
        }
        const LONG type = static_cast<const ASIOIoFormat*>(opt)->FormatType;
        return type == kASIOPCMFormat || (type == kASIODSDFormat && m_DsdCapable != 0) ? ASE_SUCCESS
                                                                                       : ASE_InvalidParameter;
    }
    default:
        return ASE_InvalidParameter;
    }
}
