// r9sim record: a Windows program records what the R9's inputs produce, through the audio service.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/r9sim/audio_session.h"
#include "tools/r9sim/commands.h"
#include "tools/r9sim/option_values.h"
#include "tools/r9sim/sound_files.h"

namespace r9sim {

namespace {

constexpr int64_t kSecondNs = 1000000000LL;
constexpr uint32_t kInputs = 4;
constexpr uint32_t kStereo = 2;

void PrintRecordHelp()
{
    std::printf(
        "usage: r9sim record FILE --seconds N [--source counter|sine|loopback] [--rate R] [--device r9|r9-uac1]\n"
        "  records N seconds (1 to 3600) of what the R9's first two inputs produce, through the Windows\n"
        "  audio service, into FILE (.wav, .flac, .aif or .aiff; stereo, 24-bit, the device rate)\n"
        "  --source S   what the inputs hear: the frame-counter test pattern, a 1 kHz sine, or the\n"
        "               device's own outputs (silent while nothing plays); default: sine\n"
        "  --rate R     the device rate, set as the control panel sets it: %s\n"
        "  --device D   the R9 (default) or its full-speed Audio Class 1.0 variant\n",
        WaveFilterRates().c_str());
}

bool ParseSource(const std::string& text, sim::devices::audio::SignalKind& kind)
{
    using sim::devices::audio::SignalKind;
    if (text == "counter") {
        kind = SignalKind::FrameCounter;
    } else if (text == "sine") {
        kind = SignalKind::Sine;
    } else if (text == "loopback") {
        kind = SignalKind::Loopback;
    } else {
        std::fprintf(stderr, "r9sim record: --source %s is not a source (sources: counter, sine, loopback)\n",
                     text.c_str());
        return false;
    }
    return true;
}

}  // namespace

int RunRecord(const Arguments& arguments)
{
    std::string output;
    long seconds = 0;
    SessionOptions options;
    sim::devices::audio::SignalKind source = sim::devices::audio::SignalKind::Sine;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--help") {
            PrintRecordHelp();
            return 0;
        } else if (argument == "--seconds" && hasValue) {
            if (!ParseCount("record", "--seconds", arguments[++i], 1, 3600, seconds)) {
                return 2;
            }
        } else if (argument == "--source" && hasValue) {
            if (!ParseSource(arguments[++i], source)) {
                return 2;
            }
        } else if (argument == "--rate" && hasValue) {
            if (!ParseRate("record", arguments[++i], options.rate)) {
                return 2;
            }
        } else if (argument == "--device" && hasValue) {
            if (!CheckDevice("record", arguments[++i])) {
                return 2;
            }
            options.device = arguments[i];
        } else if (output.empty() && !argument.empty() && argument[0] != '-') {
            output = argument;
        } else {
            std::fprintf(stderr, "r9sim record: unexpected argument '%s'\n", argument.c_str());
            PrintRecordHelp();
            return 2;
        }
    }
    if (output.empty() || seconds == 0) {
        std::fprintf(stderr, "r9sim record: which file, and for how long? (r9sim record FILE --seconds N)\n");
        return 2;
    }
    if (!IsKnownContainer(output)) {
        std::fprintf(stderr, "r9sim record: cannot write '%s': give it the extension .wav, .flac, .aif or .aiff\n",
                     output.c_str());
        return 2;
    }
    AudioSession session("record");
    if (!session.Start(options)) {
        return 1;
    }
    for (uint32_t input = 0; input < kInputs; ++input) {
        session.Device().Engine().SetInputSignal(input, {source});
    }
    const uint32_t rate = session.DeviceRate();
    std::string error;
    SoundFileWriter file;
    if (!file.Open(output, rate, kStereo, error)) {
        std::fprintf(stderr, "r9sim record: %s\n", error.c_str());
        return 1;
    }
    auto recorder = session.Service().OpenCapture(session.Instance(), {rate, kStereo});
    if (recorder == nullptr) {
        std::fprintf(stderr, "r9sim record: the R9 has no capture endpoint\n");
        return 1;
    }
    const uint64_t wanted = uint64_t(seconds) * rate;
    std::vector<float> frames;
    auto step = [&]() {
        const size_t available = recorder->Available();
        const size_t count = size_t(std::min<uint64_t>(available, wanted - file.Frames()));
        frames.resize(count * kStereo);
        recorder->Read(frames.data(), count);
        file.Write(frames.data(), count);
        return !recorder->Invalidated() && file.Frames() < wanted;
    };
    recorder->Start();
    session.Run(seconds * kSecondNs, (seconds + 10) * kSecondNs, step);
    recorder->Stop();
    session.Service().CloseStream(recorder);
    session.Finish({{"recorded", recorder.get(), sim::audio::Flow::Capture}});
    // A recording cut short (the device went) is not written at all.
    if (file.Frames() < wanted) {
        std::fprintf(stderr, "r9sim record: only %llu of %llu frames came in; '%s' not written\n",
                     static_cast<unsigned long long>(file.Frames()), static_cast<unsigned long long>(wanted),
                     output.c_str());
        return 1;
    }
    if (!file.Finish(error)) {
        std::fprintf(stderr, "r9sim record: %s\n", error.c_str());
        return 1;
    }
    std::printf("file: %s, %llu frames at %u Hz\n", output.c_str(), static_cast<unsigned long long>(file.Frames()),
                unsigned(rate));
    return 0;
}

}  // namespace r9sim
