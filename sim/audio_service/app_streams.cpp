#include "sim/audio_service/app_streams.h"

#include <algorithm>

namespace sim::audio {

namespace {

constexpr size_t kConverterSlackFrames = 64;

// A mono stream is heard on every channel; a channel the stream does not have stays silent.
float ChannelSample(const float* frame, uint32_t channels, uint32_t channel)
{
    return channels == 1 ? frame[0] : channel < channels ? frame[channel] : 0.0f;
}

}  // namespace

AppStream::AppStream(AppFormat format, size_t bufferFrames) : format_(format), capacity_(bufferFrames)
{
    KeInitializeEvent(&event_, SynchronizationEvent, FALSE);
}

void AppStream::Start()
{
    std::lock_guard<std::mutex> held(lock_);
    started_ = true;
}

void AppStream::Stop()
{
    std::lock_guard<std::mutex> held(lock_);
    started_ = false;
}

bool AppStream::Started() const
{
    std::lock_guard<std::mutex> held(lock_);
    return started_ && !counters_.invalidated;
}

bool AppStream::Invalidated() const
{
    std::lock_guard<std::mutex> held(lock_);
    return counters_.invalidated;
}

StreamCounters AppStream::Counters() const
{
    std::lock_guard<std::mutex> held(lock_);
    return counters_;
}

void AppStream::Invalidate()
{
    {
        std::lock_guard<std::mutex> held(lock_);
        counters_.invalidated = true;
        started_ = false;
    }
    Served();
}

size_t RenderStream::Write(const float* frames, size_t count)
{
    std::lock_guard<std::mutex> held(lock_);
    if (counters_.invalidated || endOfStream_) {
        return 0;
    }
    const size_t held_frames = frames_.size() / format_.channels;
    const size_t taken = std::min(count, capacity_ - std::min(capacity_, held_frames));
    frames_.insert(frames_.end(), frames, frames + taken * format_.channels);
    counters_.framesQueued += taken;
    return taken;
}

size_t RenderStream::Room() const
{
    std::lock_guard<std::mutex> held(lock_);
    return capacity_ - std::min(capacity_, frames_.size() / format_.channels);
}

void RenderStream::EndOfStream()
{
    std::lock_guard<std::mutex> held(lock_);
    endOfStream_ = true;
}

bool RenderStream::Drained() const
{
    std::lock_guard<std::mutex> held(lock_);
    return endOfStream_ && frames_.empty() && (resampler_ == nullptr || converterDrained_);
}

void RenderStream::MixInto(float* mix, size_t frames, uint32_t deviceRate, uint32_t deviceChannels)
{
    std::lock_guard<std::mutex> held(lock_);
    if (!started_ || counters_.invalidated) {
        return;
    }
    const uint32_t channels = format_.channels;
    std::vector<float> converted;
    const float* source = frames_.data();
    size_t produced;
    size_t used;
    if (deviceRate == format_.rate) {
        produced = std::min(frames, frames_.size() / channels);
        used = produced;
    } else {
        if (resampler_ == nullptr || resamplerRate_ != deviceRate) {
            resampler_ = std::make_unique<Resampler>(channels, format_.rate, deviceRate);
            resamplerRate_ = deviceRate;
            converterDrained_ = false;
        }
        converted.resize(frames * channels);
        produced = resampler_->Process(frames_.data(), frames_.size() / channels, used, converted.data(), frames,
                                       endOfStream_);
        converterDrained_ = endOfStream_ && used * channels == frames_.size() && produced < frames;
        source = converted.data();
    }
    for (size_t frame = 0; frame < produced; ++frame) {
        for (uint32_t channel = 0; channel < deviceChannels; ++channel) {
            mix[frame * deviceChannels + channel] += ChannelSample(source + frame * channels, channels, channel);
        }
    }
    frames_.erase(frames_.begin(), frames_.begin() + ptrdiff_t(used * channels));
    counters_.deviceFrames += produced;
    if (produced < frames && !endOfStream_) {
        ++counters_.glitches;
    }
}

size_t CaptureStream::Read(float* frames, size_t count)
{
    std::lock_guard<std::mutex> held(lock_);
    const size_t taken = std::min(count, frames_.size() / format_.channels);
    std::copy(frames_.begin(), frames_.begin() + ptrdiff_t(taken * format_.channels), frames);
    frames_.erase(frames_.begin(), frames_.begin() + ptrdiff_t(taken * format_.channels));
    return taken;
}

size_t CaptureStream::Available() const
{
    std::lock_guard<std::mutex> held(lock_);
    return frames_.size() / format_.channels;
}

void CaptureStream::Deliver(const float* device, size_t frames, uint32_t deviceRate, uint32_t deviceChannels)
{
    std::lock_guard<std::mutex> held(lock_);
    if (!started_ || counters_.invalidated) {
        return;
    }
    const uint32_t channels = format_.channels;
    // The endpoint's channels as the stream has them: the first ones, or their average for mono.
    std::vector<float> mapped(frames * channels);
    for (size_t frame = 0; frame < frames; ++frame) {
        const float* in = device + frame * deviceChannels;
        if (channels == 1) {
            float sum = 0.0f;
            for (uint32_t channel = 0; channel < deviceChannels; ++channel) {
                sum += in[channel];
            }
            mapped[frame] = sum / float(deviceChannels);
        } else {
            for (uint32_t channel = 0; channel < channels; ++channel) {
                mapped[frame * channels + channel] = channel < deviceChannels ? in[channel] : 0.0f;
            }
        }
    }
    std::vector<float> converted;
    const float* source = mapped.data();
    size_t count = frames;
    if (deviceRate != format_.rate) {
        if (resampler_ == nullptr || resamplerRate_ != deviceRate) {
            resampler_ = std::make_unique<Resampler>(channels, deviceRate, format_.rate);
            resamplerRate_ = deviceRate;
        }
        // Room for what the rate gives and the converter's own slack; it takes all input it can use.
        converted.resize((frames * format_.rate / deviceRate + kConverterSlackFrames) * channels);
        size_t used = 0;
        count = resampler_->Process(mapped.data(), frames, used, converted.data(), converted.size() / channels, false);
        source = converted.data();
    }
    const size_t room = capacity_ - std::min(capacity_, frames_.size() / channels);
    const size_t kept = std::min(count, room);
    frames_.insert(frames_.end(), source, source + kept * channels);
    counters_.framesQueued += kept;
    counters_.overflows += count - kept;
    counters_.deviceFrames += frames;
}

}  // namespace sim::audio
