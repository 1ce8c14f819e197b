#include "sim/audio_service/resampler.h"

#include <samplerate.h>

#include <stdexcept>
#include <string>

namespace sim::audio {

namespace {

// Good enough for any listening test, and fast enough for minutes of audio in a test run.
constexpr int kConverter = SRC_SINC_MEDIUM_QUALITY;

}  // namespace

Resampler::Resampler(uint32_t channels, uint32_t fromRate, uint32_t toRate)
    : ratio_(double(toRate) / double(fromRate))
{
    int error = 0;
    state_ = src_new(kConverter, int(channels), &error);
    if (state_ == nullptr) {
        throw std::runtime_error(std::string("libsamplerate: ") + src_strerror(error));
    }
}

Resampler::~Resampler() { src_delete(state_); }

size_t Resampler::Process(const float* in, size_t inFrames, size_t& used, float* out, size_t outFrames,
                          bool endOfInput)
{
    SRC_DATA data = {};
    data.data_in = in;
    data.input_frames = long(inFrames);
    data.data_out = out;
    data.output_frames = long(outFrames);
    data.end_of_input = endOfInput ? 1 : 0;
    data.src_ratio = ratio_;
    const int error = src_process(state_, &data);
    if (error != 0) {
        throw std::runtime_error(std::string("libsamplerate: ") + src_strerror(error));
    }
    used = size_t(data.input_frames_used);
    return size_t(data.output_frames_gen);
}

}  // namespace sim::audio
