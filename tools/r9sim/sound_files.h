// Audio files for r9sim play and record, through libsndfile: any file it reads (WAV, FLAC, AIFF,
// at any rate, 16/24/32-bit integer or float) comes in as float frames; files go out as 24-bit
// PCM in the container their name asks for. An output file appears only once it is complete: it
// is written under a temporary name and renamed at the end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct sf_private_tag;

namespace r9sim {

class SoundFileReader {
public:
    // False with a one-line reason in `error` when the file cannot be read as audio.
    bool Open(const std::string& path, std::string& error);
    ~SoundFileReader();

    uint32_t Rate() const { return rate_; }
    uint32_t Channels() const { return channels_; }
    uint64_t Frames() const { return frames_; }
    // "16-bit PCM WAV" and the like.
    const std::string& Description() const { return description_; }
    // Up to `count` frames; 0 at the end.
    size_t Read(float* frames, size_t count);

private:
    sf_private_tag* file_ = nullptr;
    uint32_t rate_ = 0;
    uint32_t channels_ = 0;
    uint64_t frames_ = 0;
    std::string description_;
};

class SoundFileWriter {
public:
    // Checks that the name's extension names a container (.wav, .flac, .aif/.aiff) and opens the
    // temporary file; false with the reason in `error`.
    bool Open(const std::string& path, uint32_t rate, uint32_t channels, std::string& error);
    // Drops the temporary file unless Finish renamed it.
    ~SoundFileWriter();

    // Interleaved 32-bit left-justified samples; only their top 24 bits are kept.
    void Write(const int32_t* frames, size_t count);
    // Interleaved float samples of full scale 1.0; a sample at or beyond it is clipped.
    void Write(const float* frames, size_t count);
    // Closes the file and gives it its name; false with the reason in `error`.
    bool Finish(std::string& error);
    uint64_t Frames() const { return frames_; }

private:
    sf_private_tag* file_ = nullptr;
    uint32_t channels_ = 0;
    std::vector<int32_t> words_;
    std::string path_;
    std::string temporary_;
    uint64_t frames_ = 0;
};

// Whether an output file name names a container r9sim writes.
bool IsKnownContainer(const std::string& path);

}  // namespace r9sim
