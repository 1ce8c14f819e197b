// What the host asks about the channels, the buffer size and the latencies.
#include <cstdio>

#include "asio/asio_driver.h"
#include "asio/product_table.h"

namespace {

// Output latency of a device without measured figures: the buffer plus about 6 ms of transfers.
LONG EstimatedOutputLatency(DWORD rate, LONG latencyFrames) { return LONG(rate / 1000.0 * 6.132 + latencyFrames); }

}  // namespace

ASIOError CQyxAsioDriver::getChannels(LONG* numInputChannels, LONG* numOutputChannels)
{
    if (m_State == kStateLoaded) {
        return ASE_NotPresent;
    }
    if (numInputChannels == nullptr || numOutputChannels == nullptr) {
        return ASE_InvalidParameter;
    }
    CSettingsLockHolder held(*m_SettingsLock);
    *numInputChannels = m_Inputs;
    *numOutputChannels = m_Outputs;
    return ASE_OK;
}

ASIOError CQyxAsioDriver::getBufferSize(LONG* minSize, LONG* maxSize, LONG* preferredSize, LONG* granularity)
{
    if (m_State == kStateLoaded) {
        return ASE_NotPresent;
    }
    if (minSize == nullptr || maxSize == nullptr || preferredSize == nullptr || granularity == nullptr) {
        return ASE_InvalidParameter;
    }
    CSettingsLockHolder held(*m_SettingsLock);
    // One size only, the control panel's: in the DSD format counted in one-bit samples.
    LONG size = BufferFramesFromIndex(m_BufferSizeIndex);
    if (IsDsdFormat()) {
        size *= 32;
    }
    *minSize = *maxSize = *preferredSize = size;
    *granularity = 0;
    return ASE_OK;
}

ASIOError CQyxAsioDriver::getChannelInfo(ASIOChannelInfo* info)
{
    if (m_State == kStateLoaded) {
        return ASE_NotPresent;
    }
    CSettingsLockHolder held(*m_SettingsLock);
    if (info == nullptr || info->channel < 0 || info->channel >= (info->isInput ? m_Inputs : m_Outputs)) {
        return ASE_InvalidParameter;
    }
    info->type = m_SampleType;
    info->isActive = ASIOFalse;
    info->channelGroup = 0;
    if (m_State != kStateInitialized) {
        const std::vector<LONG>& active = info->isInput ? m_InputActive : m_OutputActive;
        if (size_t(info->channel) < active.size() && active[size_t(info->channel)] != 0) {
            info->isActive = ASIOTrue;
        }
    }
    const CAudioDevice* device = m_Devices.GetSelected();
    if (device == nullptr) {
        return ASE_NotPresent;
    }
    ChannelName(FindProductInfo(device->InstanceId()), device->Description(), info->isInput != ASIOFalse, info->channel,
                info->name);
    return ASE_OK;
}

ASIOError CQyxAsioDriver::getLatencies(LONG* inputLatency, LONG* outputLatency)
{
    if (m_State == kStateLoaded) {
        return ASE_NotPresent;
    }
    if (inputLatency == nullptr || outputLatency == nullptr) {
        return ASE_InvalidParameter;
    }
    CSettingsLockHolder held(*m_SettingsLock);
    const CAudioDevice* device = m_Devices.GetSelected();
    if (device == nullptr) {
        return ASE_NotPresent;
    }
    const bool prepared = m_State == kStatePrepared || m_State == kStateRunning || m_State == kStateSuspended;
    const DWORD frames = prepared ? m_BufferFrames : DWORD(BufferFramesFromIndex(m_BufferSizeIndex));
    const ProductInfo* product = FindProductInfo(device->InstanceId());
    if (product == nullptr) {
        *inputLatency = m_Inputs == 0 ? 0 : m_LatencyFrames;
        *outputLatency = m_Outputs == 0 ? 0 : EstimatedOutputLatency(m_CurrentRate, m_LatencyFrames);
        return ASE_OK;
    }
    const LatencyRow* row = FindLatencyRow(*product, m_CurrentRate);
    if (row == nullptr) {
        return ASE_NotPresent;
    }
    if (m_Inputs == 0) {
        if (m_Outputs == 0) {
            return ASE_NotPresent;
        }
        *inputLatency = 0;
        *outputLatency = EstimatedOutputLatency(m_CurrentRate, m_LatencyFrames);
        return ASE_OK;
    }
    // The kernel driver's capture requests (milliseconds) delay the input beyond the buffer.
    DWORD requestMs = 0;
    if (!m_Channel.QueryLatency(&requestMs)) {
        return ASE_NotPresent;
    }
    const DWORD input = m_CurrentRate * requestMs / 1000 + DWORD(row->inputOffset) + frames;
    *inputLatency = LONG(input);
    if (m_Outputs == 0) {
        *outputLatency = 0;
        return ASE_OK;
    }
    // The measured round trip, interpolated between the two measured sizes, less the input side.
    const DWORD roundTrip = DWORD(row->roundTripA) + DWORD(row->roundTripB - row->roundTripA) *
                                                         (frames - DWORD(row->bufferA)) /
                                                         DWORD(row->bufferB - row->bufferA);
    *outputLatency = LONG(roundTrip - input);
    return ASE_OK;
}
