// r9sim play: a Windows program plays an audio file through the audio service into the R9; what
// reached the device's converters can be saved, and what came back through the loopback too.
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "tools/r9sim/audio_session.h"
#include "tools/r9sim/commands.h"
#include "tools/r9sim/option_values.h"
#include "tools/r9sim/sound_files.h"

namespace r9sim {

namespace {

constexpr int64_t kSecondNs = 1000000000LL;
// What plays after the file: the device's pipeline empties into its converters.
constexpr int64_t kTailNs = kSecondNs / 2;
constexpr uint32_t kConverterChannels = 4;

void PrintPlayHelp()
{
    std::printf(
        "usage: r9sim play FILE [--out HEARD] [--record LOOPBACK] [--rate R] [--device r9|r9-uac1]\n"
        "  plays FILE (WAV, FLAC or AIFF; any rate; 16/24/32-bit or float; mono or stereo) through the\n"
        "  Windows audio service into the R9, whose outputs loop back to its inputs\n"
        "  --out HEARD      writes what reached the R9's four converters (24-bit, the device rate)\n"
        "  --record FILE    writes what the loopback brought back to a stereo recording stream\n"
        "  --rate R         the device rate, set as the control panel sets it: %s\n"
        "  --device D       the R9 (default) or its full-speed Audio Class 1.0 variant\n",
        WaveFilterRates().c_str());
}

// The frames the converters play, kept until the main loop writes them out.
class HeardFrames {
public:
    void Take(const int32_t* frame)
    {
        std::lock_guard<std::mutex> held(lock_);
        frames_.insert(frames_.end(), frame, frame + kConverterChannels);
    }
    void WriteTo(SoundFileWriter& writer)
    {
        std::vector<int32_t> frames;
        {
            std::lock_guard<std::mutex> held(lock_);
            frames.swap(frames_);
        }
        writer.Write(frames.data(), frames.size() / kConverterChannels);
    }

private:
    std::mutex lock_;
    std::vector<int32_t> frames_;
};

}  // namespace

int RunPlay(const Arguments& arguments)
{
    std::string input;
    std::string heardPath;
    std::string loopbackPath;
    SessionOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--help") {
            PrintPlayHelp();
            return 0;
        } else if (argument == "--out" && hasValue) {
            heardPath = arguments[++i];
        } else if (argument == "--record" && hasValue) {
            loopbackPath = arguments[++i];
        } else if (argument == "--rate" && hasValue) {
            if (!ParseRate("play", arguments[++i], options.rate)) {
                return 2;
            }
        } else if (argument == "--device" && hasValue) {
            if (!CheckDevice("play", arguments[++i])) {
                return 2;
            }
            options.device = arguments[i];
        } else if (input.empty() && !argument.empty() && argument[0] != '-') {
            input = argument;
        } else {
            std::fprintf(stderr, "r9sim play: unexpected argument '%s'\n", argument.c_str());
            PrintPlayHelp();
            return 2;
        }
    }
    if (input.empty()) {
        std::fprintf(stderr, "r9sim play: which file? (r9sim play FILE)\n");
        return 2;
    }
    std::string error;
    SoundFileReader file;
    if (!file.Open(input, error)) {
        std::fprintf(stderr, "r9sim play: %s\n", error.c_str());
        return 1;
    }
    if (file.Channels() > 2) {
        std::fprintf(stderr, "r9sim play: '%s' has %u channels; the R9's endpoint takes mono or stereo\n",
                     input.c_str(), unsigned(file.Channels()));
        return 1;
    }
    for (const std::string& path : {heardPath, loopbackPath}) {
        if (!path.empty() && !IsKnownContainer(path)) {
            std::fprintf(stderr, "r9sim play: cannot write '%s': give it the extension .wav, .flac, .aif or .aiff\n",
                         path.c_str());
            return 2;
        }
    }
    std::printf("file: %s, %u Hz, %u channel(s), %s, %.2f s\n", input.c_str(), unsigned(file.Rate()),
                unsigned(file.Channels()), file.Description().c_str(), double(file.Frames()) / file.Rate());

    AudioSession session("play");
    if (!session.Start(options)) {
        return 1;
    }
    const uint32_t deviceRate = session.DeviceRate();
    SoundFileWriter heardFile;
    SoundFileWriter loopbackFile;
    if ((!heardPath.empty() && !heardFile.Open(heardPath, deviceRate, kConverterChannels, error)) ||
        (!loopbackPath.empty() && !loopbackFile.Open(loopbackPath, deviceRate, 2, error))) {
        std::fprintf(stderr, "r9sim play: %s\n", error.c_str());
        return 1;
    }
    auto player = session.Service().OpenRender(session.Instance(), {file.Rate(), file.Channels()});
    auto recorder = session.Service().OpenCapture(session.Instance(), {deviceRate, 2});
    if (player == nullptr || recorder == nullptr) {
        std::fprintf(stderr, "r9sim play: the R9 has no endpoints to stream through\n");
        return 1;
    }
    HeardFrames heard;
    if (!heardPath.empty()) {
        session.Device().Engine().RenderRecorder().Watch([&heard](uint64_t, const int32_t* frame) { heard.Take(frame); });
    }
    std::vector<float> frames;
    bool ended = false;
    int64_t tail = 0;
    auto step = [&]() {
        const size_t room = player->Room();
        frames.resize(room * file.Channels());
        const size_t read = file.Read(frames.data(), room);
        player->Write(frames.data(), read);
        if (read < room && !ended) {
            ended = true;
            player->EndOfStream();
        }
        frames.resize(recorder->Available() * 2);
        const size_t recorded = recorder->Read(frames.data(), frames.size() / 2);
        if (!loopbackPath.empty()) {
            loopbackFile.Write(frames.data(), recorded);
        }
        if (!heardPath.empty()) {
            heard.WriteTo(heardFile);
        }
        if (player->Drained()) {
            tail += 10000000;
        }
        return !player->Invalidated() && tail < kTailNs;
    };
    player->Start();
    recorder->Start();
    const int64_t expected = int64_t(file.Frames()) * kSecondNs / file.Rate() + kTailNs;
    session.Run(expected, expected + 10 * kSecondNs, step);
    session.Device().Engine().RenderRecorder().Watch(nullptr);
    player->Stop();
    recorder->Stop();
    session.Service().CloseStream(player);
    session.Service().CloseStream(recorder);
    session.Finish({{"played", player.get(), sim::audio::Flow::Render},
                    {"recorded", recorder.get(), sim::audio::Flow::Capture}});
    // A play cut short (the device went) leaves no output file behind.
    if (player->Invalidated()) {
        std::fprintf(stderr, "r9sim play: the R9 went away before the file had played; nothing written\n");
        return 1;
    }
    if (!heardPath.empty()) {
        heard.WriteTo(heardFile);
        if (!heardFile.Finish(error)) {
            std::fprintf(stderr, "r9sim play: %s\n", error.c_str());
            return 1;
        }
        std::printf("heard: %s, %llu frames\n", heardPath.c_str(), static_cast<unsigned long long>(heardFile.Frames()));
    }
    if (!loopbackPath.empty()) {
        if (!loopbackFile.Finish(error)) {
            std::fprintf(stderr, "r9sim play: %s\n", error.c_str());
            return 1;
        }
        std::printf("loopback: %s, %llu frames\n", loopbackPath.c_str(),
                    static_cast<unsigned long long>(loopbackFile.Frames()));
    }
    return 0;
}

}  // namespace r9sim
