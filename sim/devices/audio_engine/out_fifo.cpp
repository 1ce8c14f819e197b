#include "sim/devices/audio_engine/out_fifo.h"

#include <algorithm>
#include <stdexcept>

namespace sim::devices::audio {

void OutFifo::Configure(const FifoSettings& settings)
{
    settings.format.Check();
    if (settings.capacityFrames == 0 || settings.startLevelFrames == 0 ||
        settings.startLevelFrames > settings.capacityFrames) {
        throw std::invalid_argument("the FIFO needs room and a start level between 1 frame and its capacity");
    }
    settings_ = settings;
    configured_ = true;
    draining_ = false;
    ring_.assign(size_t(settings.capacityFrames) * settings.format.channels, 0);
    read_ = 0;
    level_ = 0;
}

void OutFifo::Stop()
{
    configured_ = false;
    draining_ = false;
    level_ = 0;
}

void OutFifo::DrainTo(int64_t tNs)
{
    if (!timeKnown_) {
        timeKnown_ = true;
        lastNs_ = tNs;
        lastTicks_ = clock_.FramesProducedBy(tNs);
        return;
    }
    if (tNs <= lastNs_) {
        return;
    }
    const uint64_t now = clock_.FramesProducedBy(tNs);
    const uint64_t ticks = now - lastTicks_;
    uint64_t played = 0;
    if (draining_) {
        const uint32_t channels = settings_.format.channels;
        played = std::min<uint64_t>(ticks, level_);
        for (uint64_t i = 0; i < played; ++i) {
            output_.Play(lastTicks_ + i, &ring_[size_t(read_) * channels]);
            read_ = (read_ + 1) % settings_.capacityFrames;
        }
        level_ -= uint32_t(played);
        counters_.framesConsumed += played;
        if (played < ticks) {
            counters_.underflows.Note(clock_.TimeOfFrames(lastTicks_ + played + 1));
            draining_ = false;
        }
    }
    output_.Silence(lastTicks_ + played, ticks - played);
    lastNs_ = tNs;
    lastTicks_ = now;
}

void OutFifo::Packet(int64_t tNs, const uint8_t* data, uint32_t length)
{
    DrainTo(tNs);
    const int64_t atNs = std::max(tNs, lastNs_);
    const uint32_t frameBytes = settings_.format.FrameBytes();
    if (!configured_ || length % frameBytes != 0 || length > settings_.maxPacketBytes) {
        counters_.protocolErrors.Note(atNs);
        return;
    }
    ++counters_.packets;
    if (draining_) {
        counters_.minLevel = std::min(counters_.minLevel, level_);
    }

    const uint32_t frames = length / frameBytes;
    const uint32_t taken = std::min(frames, settings_.capacityFrames - level_);
    if (taken < frames) {
        counters_.overflows.Note(atNs);
        counters_.framesDropped += frames - taken;
    }
    const StreamFormat& format = settings_.format;
    for (uint32_t i = 0; i < taken; ++i) {
        int32_t* slot = &ring_[size_t((read_ + level_) % settings_.capacityFrames) * format.channels];
        for (uint32_t channel = 0; channel < format.channels; ++channel) {
            slot[channel] = ReadSample(data + (size_t(i) * format.channels + channel) * format.subslotBytes, format);
        }
        ++level_;
    }
    counters_.framesReceived += taken;

    if (!draining_ && level_ >= settings_.startLevelFrames) {
        draining_ = true;
    }
    if (draining_) {
        counters_.maxLevel = std::max(counters_.maxLevel, level_);
    }
}

uint32_t OutFifo::LevelAt(int64_t tNs) const
{
    if (!draining_ || !timeKnown_ || tNs <= lastNs_) {
        return level_;
    }
    const uint64_t ticks = clock_.FramesProducedBy(tNs) - lastTicks_;
    return ticks >= level_ ? 0 : level_ - uint32_t(ticks);
}

}  // namespace sim::devices::audio
