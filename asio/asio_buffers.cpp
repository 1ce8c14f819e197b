// The host's double buffers and the transfer buffers towards the kernel driver: createBuffers
// fixes the buffer size and opens the kernel's ASIO stream, disposeBuffers closes it.
#include <cstring>
#include <new>

#include "asio/asio_driver.h"
#include "common/trace.h"

namespace {

// Native DSD silence: alternating one-bit samples, so the converters hear no DC.
constexpr BYTE kDsdSilence = 0x96;

BYTE* AllocateBlock(size_t bytes, BYTE fill)
{
    const size_t rounded = (bytes + 3) & ~size_t(3);
    BYTE* block = new (std::nothrow) BYTE[rounded == 0 ? 4 : rounded];
    if (block != nullptr) {
        std::memset(block, fill, rounded == 0 ? 4 : rounded);
    }
    return block;
}

bool IsOneBitType(LONG type) { return type == ASIOSTDSDInt8LSB1 || type == ASIOSTDSDInt8MSB1; }

}  // namespace

ASIOError CQyxAsioDriver::createBuffers(ASIOBufferInfo* bufferInfos, LONG numChannels, LONG bufferSize,
                                        ASIOCallbacks* callbacks)
{
    if (m_State != kStateInitialized) {
        return Traced(W("createBuffers"), ASE_NotPresent);
    }
    if (!AwaitDevicePowerOn(3000)) {
        return Traced(W("createBuffers"), ASE_NotPresent);
    }
    m_Channel.Close();
    const CAudioDevice* device = m_Devices.GetSelected();
    if (device == nullptr || !m_Channel.Open(device->ControlPath()) || !m_Channel.Claim()) {
        return Traced(W("createBuffers"), ASE_NotPresent);
    }
    CSettingsLockHolder held(*m_SettingsLock);
    if (bufferInfos == nullptr || callbacks == nullptr || numChannels <= 0 || numChannels > m_Inputs + m_Outputs ||
        m_RateChangePending != 0) {
        return Traced(W("createBuffers"), ASE_InvalidParameter);
    }
    // The device's rate is set again; a device that runs at another rate than the setting wins,
    // and the setting follows it.
    if (m_CurrentRate == m_StoredRate) {
        if (!ApplySampleRate(m_CurrentRate)) {
            return Traced(W("createBuffers"), ASE_NoClock);
        }
    } else {
        const ASIOError result = setSampleRate(double(m_CurrentRate));
        if (result != ASE_OK) {
            return Traced(W("createBuffers"), result);
        }
    }
    const LONG largest = GetMaxBufferFrames();
    const LONG smallest = GetMinBufferFrames();
    m_HostBufferSize = DWORD(bufferSize);
    LONG frames = bufferSize;
    if (IsOneBitType(m_SampleType)) {
        if (bufferSize % 32 != 0) {
            return Traced(W("createBuffers"), ASE_InvalidParameter);
        }
        frames = bufferSize / 32;
    }
    // Any size in the range is taken, not only the one getBufferSize offers.
    if (frames > largest || frames < smallest) {
        return Traced(W("createBuffers"), ASE_InvalidMode);
    }
    m_RequestedRate = 0;
    m_BufferFrames = DWORD(frames);
    UpdateBufferBytes();
    const BYTE fill = IsDsdFormat() ? kDsdSilence : 0;

    ASIOError result = ASE_OK;
    try {
        m_InputActive.assign(m_Inputs, 0);
        m_OutputActive.assign(m_Outputs, 0);
        for (int half = 0; half < 2; ++half) {
            m_InputHalves[half].reserve(m_Inputs);
            m_OutputHalves[half].reserve(m_Outputs);
        }
        m_ActiveInputs.reserve(m_Inputs);
        m_ActiveOutputs.reserve(m_Outputs);
        if (!AllocateSlots(m_InSlot, m_Inputs, m_BufferFrames, fill) ||
            !AllocateSlots(m_OutSlot, m_Outputs, m_BufferFrames, fill)) {
            result = ASE_NoMemory;
        }
        for (LONG i = 0; i < numChannels && result == ASE_OK; ++i) {
            result = AddHostChannel(bufferInfos[i], fill);
        }
    } catch (const std::bad_alloc&) {
        result = ASE_NoMemory;
    }
    // The direction whose requests complete first times the stream: capture when the host takes
    // any input, otherwise render. Only its two slots wait on events.
    TransferSlot* timing = !m_ActiveInputs.empty() ? m_InSlot : !m_ActiveOutputs.empty() ? m_OutSlot : nullptr;
    for (int half = 0; half < 2 && result == ASE_OK && timing != nullptr; ++half) {
        timing[half].overlapped.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        if (timing[half].overlapped.hEvent == nullptr) {
            result = ASE_NoMemory;
        }
    }
    if (result != ASE_OK) {
        FreeBuffers();
        return Traced(W("createBuffers"), result);
    }
    // The kernel's render margin grows with the buffer's place in its range; with one possible
    // size that size is the smallest.
    const DWORD percent = largest > smallest ? DWORD(frames - smallest) * 100 / DWORD(largest - smallest) : 0;
    if (!m_Channel.Prepare(m_BufferFrames, m_ActiveInputs.empty() ? 0 : 1, m_ActiveOutputs.empty() ? 0 : 1, percent,
                           IsDsdFormat() ? 1 : 0)) {
        FreeBuffers();
        return Traced(W("createBuffers"), ASE_HWMalfunction);
    }
    m_Callbacks = callbacks;
    if (callbacks->asioMessage != nullptr && callbacks->asioMessage(kAsioEngineVersion, 0, nullptr, nullptr) < 2) {
        m_UsesOutputReady = 0;
    }
    m_TimeInfoMode = callbacks->asioMessage != nullptr &&
                             callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) != 0
                         ? 1
                         : 0;
    if (m_TimeInfoMode != 0) {
        m_AsioTime = ASIOTime{};
        m_AsioTime.timeInfo.speed = 1.0;
        m_AsioTime.timeInfo.sampleRate = double(m_CurrentRate);
        m_AsioTime.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
        m_AsioTime.timeCode.speed = 1.0;
        m_AsioTime.timeCode.flags = kTcValid | kTcRunning;
    }
    m_State = kStatePrepared;
    return ASE_OK;
}

bool CQyxAsioDriver::AllocateSlots(TransferSlot (&slots)[2], DWORD channels, DWORD frames, BYTE fill)
{
    if (channels == 0) {
        return true;
    }
    for (TransferSlot& slot : slots) {
        slot.size = DWORD(m_BytesPerSample) * channels * frames;
        slot.buffer = AllocateBlock(slot.size, fill);
        if (slot.buffer == nullptr) {
            return false;
        }
    }
    return true;
}

ASIOError CQyxAsioDriver::AddHostChannel(ASIOBufferInfo& info, BYTE fill)
{
    const bool input = info.isInput != ASIOFalse;
    std::vector<LONG>& flags = input ? m_InputActive : m_OutputActive;
    if (info.channelNum < 0 || size_t(info.channelNum) >= flags.size()) {
        TraceEvent(W("CQyxAsioDriver::createBuffers: Channel number is out of range"));
        return ASE_InvalidParameter;
    }
    if (flags[size_t(info.channelNum)] != 0) {
        TraceEvent(W("CQyxAsioDriver::createBuffers: Channel is overlapped"));
        return ASE_InvalidParameter;
    }
    // One block holds both halves of the channel.
    BYTE* block = AllocateBlock(2 * size_t(m_ChannelBytes), fill);
    if (block == nullptr) {
        return ASE_NoMemory;
    }
    flags[size_t(info.channelNum)] = 1;
    (input ? m_ActiveInputs : m_ActiveOutputs).push_back(info.channelNum);
    std::vector<BYTE*>* halves = input ? m_InputHalves : m_OutputHalves;
    for (int half = 0; half < 2; ++half) {
        info.buffers[half] = block + half * m_ChannelBytes;
        halves[half].push_back(block + half * m_ChannelBytes);
    }
    return ASE_OK;
}

void CQyxAsioDriver::FreeBuffers()
{
    for (std::vector<BYTE*>* halves : {&m_InputHalves[0], &m_OutputHalves[0]}) {
        for (BYTE* block : *halves) {
            delete[] block;
        }
    }
    for (TransferSlot* slots : {m_InSlot, m_OutSlot}) {
        for (int half = 0; half < 2; ++half) {
            if (slots[half].overlapped.hEvent != nullptr) {
                CloseHandle(slots[half].overlapped.hEvent);
            }
            delete[] slots[half].buffer;
            slots[half] = TransferSlot{};
        }
    }
    for (int half = 0; half < 2; ++half) {
        m_InputHalves[half].clear();
        m_OutputHalves[half].clear();
    }
    m_InputActive.clear();
    m_OutputActive.clear();
    m_ActiveInputs.clear();
    m_ActiveOutputs.clear();
    m_TimeInfoMode = 0;
    m_AsioTime = ASIOTime{};
    m_RateChangePending = 0;
}

ASIOError CQyxAsioDriver::disposeBuffers()
{
    if (m_State != kStatePrepared) {
        return ASE_NotPresent;
    }
    {
        CSettingsLockHolder held(*m_SettingsLock);
        m_Callbacks = nullptr;
    }
    FreeBuffers();
    if (!m_Channel.Unprepare()) {
        TraceEvent(W("CQyxAsioDriver::disposeBuffers: the stream did not close (error %lu)"), GetLastError());
    }
    m_State = kStateInitialized;
    return ASE_OK;
}
