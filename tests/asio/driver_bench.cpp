#include "tests/asio/driver_bench.h"

#include "common/settings_store.h"

namespace asiotest {

namespace {
TestHost* g_CurrentHost = nullptr;
}

DriverRef::DriverRef()
{
    auto* object = new CQyxAsioDriver(nullptr);
    void* asio = nullptr;
    EXPECT_EQ(object->NonDelegatingQueryInterface(CLSID_QyxAsioDriver, &asio), S_OK);
    asio_ = static_cast<IASIO*>(asio);
}

void DriverRef::Release()
{
    if (asio_ != nullptr) {
        asio_->Release();
        asio_ = nullptr;
    }
}

std::string ErrorText(IASIO* driver)
{
    char text[124] = {};
    driver->getErrorMessage(text);
    return text;
}

TestHost::TestHost()
{
    callbacks_.bufferSwitch = BufferSwitch;
    callbacks_.sampleRateDidChange = SampleRateDidChange;
    callbacks_.asioMessage = AsioMessage;
    callbacks_.bufferSwitchTimeInfo = BufferSwitchTimeInfo;
    g_CurrentHost = this;
}

TestHost::~TestHost() { g_CurrentHost = nullptr; }

void TestHost::StreamSignal(const ASIOBufferInfo* infos, int count, LONG frames, uint32_t validBits)
{
    signalBuffers_.assign(infos, infos + count);
    signalFrames_ = frames;
    pattern_ = std::make_unique<sim::devices::audio::FrameCounterPattern>(4, validBits);
    analyser_ = std::make_unique<sim::devices::audio::ContinuityAnalyser>(4, validBits);
}

void TestHost::ProcessSignal(LONG index)
{
    int32_t frame[4] = {};
    const int32_t* inputs[4] = {};
    for (const ASIOBufferInfo& info : signalBuffers_) {
        if (info.isInput) {
            inputs[info.channelNum] = static_cast<const int32_t*>(info.buffers[index]);
        }
    }
    for (LONG f = 0; f < signalFrames_; ++f) {
        bool any = false;
        for (int channel = 0; channel < 4; ++channel) {
            frame[channel] = inputs[channel] != nullptr ? inputs[channel][f] : 0;
            any = any || frame[channel] != 0;
        }
        uint64_t written = 0;
        if (roundTrip_ < 0 && any && pattern_->Decode(frame[0], 0, written)) {
            roundTrip_ = int64_t(framesIn_ + uint64_t(f)) - int64_t(written);
        }
        // Before the signal comes back the inputs hear the device's idle output (silence, or
        // the DSD idle pattern); from its first frame on every frame must continue the count.
        if (roundTrip_ >= 0) {
            analyser_->Feed(frame);
        }
    }
    framesIn_ += uint64_t(signalFrames_);
    for (const ASIOBufferInfo& info : signalBuffers_) {
        if (!info.isInput) {
            auto* samples = static_cast<int32_t*>(info.buffers[index]);
            for (LONG f = 0; f < signalFrames_; ++f) {
                samples[f] = pattern_->Sample(framesOut_ + uint64_t(f), uint32_t(info.channelNum));
            }
        }
    }
    framesOut_ += uint64_t(signalFrames_);
}

void TestHost::BufferSwitch(LONG index, ASIOBool)
{
    if (g_CurrentHost->analyser_ != nullptr) {
        g_CurrentHost->ProcessSignal(index);
    }
    g_CurrentHost->halves.push_back(index);
    ++g_CurrentHost->switches;
    if (g_CurrentHost->callOutputReadyOn != nullptr) {
        g_CurrentHost->callOutputReadyOn->outputReady();
    }
    if (g_CurrentHost->hangOnceMs != 0) {
        const DWORD hang = g_CurrentHost->hangOnceMs;
        g_CurrentHost->hangOnceMs = 0;
        Sleep(hang);
    }
}

void TestHost::SampleRateDidChange(ASIOSampleRate) { g_CurrentHost->otherMessages.push_back(-1); }

LONG TestHost::AsioMessage(LONG selector, LONG, void*, double*)
{
    switch (selector) {
    case kAsioEngineVersion:
        return g_CurrentHost->engineVersion;
    case kAsioSupportsTimeInfo:
        return g_CurrentHost->timeInfo;
    case kAsioResetRequest:
        ++g_CurrentHost->resetRequests;
        return 1;
    default:
        g_CurrentHost->otherMessages.push_back(selector);
        return 0;
    }
}

ASIOTime* TestHost::BufferSwitchTimeInfo(ASIOTime* time, LONG index, ASIOBool directProcess)
{
    g_CurrentHost->positions.push_back(time->timeInfo.samplePosition.lo);
    g_CurrentHost->timeInfoFlags.push_back(time->timeInfo.flags);
    BufferSwitch(index, directProcess);
    return time;
}

asiokerneltest::AsioBenchOptions AtRate(ULONG rate)
{
    asiokerneltest::AsioBenchOptions options;
    options.rate = rate;
    return options;
}

void UseDsdFormat(IASIO* driver)
{
    ASIOIoFormat format = {};
    format.FormatType = kASIODSDFormat;
    ASSERT_EQ(driver->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
}

DWORD RunProgram(const WCHAR* image)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    EXPECT_TRUE(CreateProcessW(image, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

void WriteSetting(int identifier, DWORD value)
{
    CSettingsStore store;
    DWORD unused = 0;
    store.ReadSetting(kSettingBufferSizeIndex, &unused, sizeof unused);  // creates the key when absent
    EXPECT_EQ(store.WriteSetting(identifier, &value, sizeof value), kSettingsOk);
}

void WriteByteSetting(int identifier, BYTE value)
{
    CSettingsStore store;
    DWORD unused = 0;
    store.ReadSetting(kSettingBufferSizeIndex, &unused, sizeof unused);
    EXPECT_EQ(store.WriteSetting(identifier, &value, sizeof value), kSettingsOk);
}

DWORD ReadDwordSetting(int identifier)
{
    DWORD value = 0;
    EXPECT_EQ(CSettingsStore().ReadSetting(identifier, &value, sizeof value), kSettingsOk);
    return value;
}

}  // namespace asiotest
