// r9sim generate: writes a test signal to a file, for r9sim play and for listening.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/devices/audio_engine/sample_format.h"
#include "tools/r9sim/commands.h"
#include "tools/r9sim/option_values.h"
#include "tools/r9sim/sound_files.h"

namespace r9sim {

namespace {

constexpr uint32_t kStereo = 2;
constexpr double kToneHz = 1000.0;
constexpr double kToneLevel = 0.5;
constexpr size_t kBlockFrames = 4096;

void PrintGenerateHelp()
{
    std::printf(
        "usage: r9sim generate FILE [--seconds S] [--rate R] [--signal sine|counter]\n"
        "  writes S seconds (1 to 3600, default 2) of a stereo 24-bit test signal at R Hz (8000 to\n"
        "  768000, default 44100) to FILE (.wav, .flac, .aif or .aiff): a 1 kHz sine at half scale, or\n"
        "  the frame-counter pattern, whose every sample names its frame (a lost frame shows)\n");
}

}  // namespace

int RunGenerate(const Arguments& arguments)
{
    std::string output;
    long seconds = 2;
    long rate = 44100;
    bool counter = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--help") {
            PrintGenerateHelp();
            return 0;
        } else if (argument == "--seconds" && hasValue) {
            if (!ParseCount("generate", "--seconds", arguments[++i], 1, 3600, seconds)) {
                return 2;
            }
        } else if (argument == "--rate" && hasValue) {
            if (!ParseCount("generate", "--rate", arguments[++i], 8000, 768000, rate)) {
                return 2;
            }
        } else if (argument == "--signal" && hasValue) {
            const std::string& signal = arguments[++i];
            if (signal != "sine" && signal != "counter") {
                std::fprintf(stderr, "r9sim generate: --signal %s is not a signal (signals: sine, counter)\n",
                             signal.c_str());
                return 2;
            }
            counter = signal == "counter";
        } else if (output.empty() && !argument.empty() && argument[0] != '-') {
            output = argument;
        } else {
            std::fprintf(stderr, "r9sim generate: unexpected argument '%s'\n", argument.c_str());
            PrintGenerateHelp();
            return 2;
        }
    }
    if (output.empty()) {
        std::fprintf(stderr, "r9sim generate: which file? (r9sim generate FILE)\n");
        return 2;
    }
    std::string error;
    SoundFileWriter file;
    if (!file.Open(output, uint32_t(rate), kStereo, error)) {
        std::fprintf(stderr, "r9sim generate: %s\n", error.c_str());
        return 2;
    }
    const sim::devices::audio::FrameCounterPattern pattern(kStereo, 24);
    const uint64_t total = uint64_t(seconds) * uint64_t(rate);
    std::vector<int32_t> block;
    for (uint64_t frame = 0; frame < total;) {
        const size_t count = size_t(std::min<uint64_t>(kBlockFrames, total - frame));
        block.resize(count * kStereo);
        for (size_t i = 0; i < count; ++i, ++frame) {
            const double tone = kToneLevel * std::sin(2.0 * M_PI * kToneHz * double(frame) / double(rate));
            for (uint32_t channel = 0; channel < kStereo; ++channel) {
                block[i * kStereo + channel] =
                    counter ? pattern.Sample(frame, channel) : int32_t(std::llround(tone * 2147483647.0));
            }
        }
        file.Write(block.data(), count);
    }
    if (!file.Finish(error)) {
        std::fprintf(stderr, "r9sim generate: %s\n", error.c_str());
        return 1;
    }
    std::printf("generated: %s, %s, %ld Hz, stereo, 24-bit, %ld s\n", output.c_str(),
                counter ? "frame-counter pattern" : "1 kHz sine", rate, seconds);
    return 0;
}

}  // namespace r9sim
