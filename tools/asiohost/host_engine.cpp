#include "tools/asiohost/host_engine.h"

namespace asiohost {

HostEngine::HostEngine() : active_(*this), wake_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

HostEngine::~HostEngine()
{
    if (wake_ != nullptr) {
        CloseHandle(wake_);
    }
}

bool HostEngine::StreamSignal(const ASIOBufferInfo* infos, int count, LONG bufferSize, ASIOSampleType type,
                              uint32_t convertedBits, uint32_t outputChannels)
{
    EndSignal();
    SignalLayout layout;
    if (!SignalLayoutFor(type, convertedBits, layout) || bufferSize <= 0 ||
        uint32_t(bufferSize) % layout.samplesPerFrame != 0) {
        return false;
    }
    signal_ = FrameCounterSignal(layout, outputChannels);
    if (!signal_.Usable()) {
        return false;
    }
    signalFrames_ = uint32_t(bufferSize) / layout.samplesPerFrame;
    std::vector<uint32_t> checked;
    for (int i = 0; i < count; ++i) {
        if (!infos[i].isInput) {
            outputs_.push_back(infos[i]);
        }
    }
    for (int i = 0; i < count; ++i) {
        if (!infos[i].isInput) {
            continue;
        }
        for (const ASIOBufferInfo& output : outputs_) {
            if (output.channelNum == infos[i].channelNum) {
                checkedInputs_.push_back(infos[i]);
                checked.push_back(uint32_t(infos[i].channelNum));
                break;
            }
        }
    }
    inputHalves_.resize(checkedInputs_.size());
    checker_ = SignalChecker(signal_, checked);
    framesOut_ = 0;
    signalOn_ = true;
    return true;
}

void HostEngine::EndSignal()
{
    signalOn_ = false;
    outputs_.clear();
    checkedInputs_.clear();
    inputHalves_.clear();
}

void HostEngine::ProcessSignal(LONG index)
{
    for (size_t k = 0; k < checkedInputs_.size(); ++k) {
        inputHalves_[k] = checkedInputs_[k].buffers[index];
    }
    checker_.Check(inputHalves_.data(), signalFrames_);
    for (const ASIOBufferInfo& output : outputs_) {
        signal_.Write(output.buffers[index], signalFrames_, framesOut_, uint32_t(output.channelNum));
    }
    framesOut_ += signalFrames_;
}

void HostEngine::BufferSwitch(LONG index, const ASIOTime*)
{
    const uint64_t last = wakeAfterSwitches_;
    if (last != 0 && switches >= last) {
        return;
    }
    if (signalOn_ && (index == 0 || index == 1)) {
        ProcessSignal(index);
    }
    if (outputReadyDriver_ != nullptr) {
        outputReadyDriver_->outputReady();
    }
    if (++switches == last) {
        SetEvent(wake_);
    }
}

void HostEngine::SampleRateDidChange(ASIOSampleRate) { ++rateChanges; }

LONG HostEngine::AsioMessage(LONG selector, LONG value, void*, double*)
{
    switch (selector) {
    case kAsioSelectorSupported:
        // A buffer-size change is not taken in place: the driver then asks for a reset.
        return value == kAsioEngineVersion || value == kAsioResetRequest || value == kAsioResyncRequest ||
                       value == kAsioLatenciesChanged || (value == kAsioSupportsTimeInfo && timeInfoAnswer != 0)
                   ? 1
                   : 0;
    case kAsioEngineVersion:
        return engineVersionAnswer;
    case kAsioResetRequest:
        ++resetRequests;
        resetPending_ = true;
        SetEvent(wake_);
        return 1;
    case kAsioResyncRequest:
        ++resyncRequests;
        return 1;
    case kAsioLatenciesChanged:
        ++latencyChanges;
        latenciesChanged_ = true;
        return 1;
    case kAsioSupportsTimeInfo:
        return timeInfoAnswer;
    case kAsioOverload:
        ++overloads;
        return 0;
    default:
        return 0;
    }
}

}  // namespace asiohost
