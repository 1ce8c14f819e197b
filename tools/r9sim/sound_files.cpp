#include "tools/r9sim/sound_files.h"

#include <algorithm>
#include <cmath>

#include <sndfile.h>

#include <cstdio>

namespace r9sim {

namespace {

std::string Lower(std::string text)
{
    for (char& c : text) {
        c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return text;
}

std::string Extension(const std::string& path)
{
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    return dot == std::string::npos || (slash != std::string::npos && dot < slash) ? "" : Lower(path.substr(dot));
}

int ContainerOf(const std::string& path)
{
    const std::string extension = Extension(path);
    if (extension == ".wav") {
        return SF_FORMAT_WAV;
    }
    if (extension == ".flac") {
        return SF_FORMAT_FLAC;
    }
    if (extension == ".aif" || extension == ".aiff") {
        return SF_FORMAT_AIFF;
    }
    return 0;
}

std::string Encoding(int format)
{
    switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8: return "8-bit PCM";
    case SF_FORMAT_PCM_16: return "16-bit PCM";
    case SF_FORMAT_PCM_24: return "24-bit PCM";
    case SF_FORMAT_PCM_32: return "32-bit PCM";
    case SF_FORMAT_FLOAT: return "32-bit float";
    case SF_FORMAT_DOUBLE: return "64-bit float";
    default: return "compressed";
    }
}

std::string Container(int format)
{
    switch (format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX: return "WAV";
    case SF_FORMAT_FLAC: return "FLAC";
    case SF_FORMAT_AIFF: return "AIFF";
    default: return "audio file";
    }
}

}  // namespace

bool IsKnownContainer(const std::string& path) { return ContainerOf(path) != 0; }

bool SoundFileReader::Open(const std::string& path, std::string& error)
{
    SF_INFO info = {};
    file_ = sf_open(path.c_str(), SFM_READ, &info);
    if (file_ == nullptr) {
        error = "cannot read '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    if (info.samplerate <= 0 || info.channels <= 0) {
        error = "'" + path + "' holds no audio";
        return false;
    }
    rate_ = uint32_t(info.samplerate);
    channels_ = uint32_t(info.channels);
    frames_ = uint64_t(info.frames);
    description_ = Encoding(info.format) + " " + Container(info.format);
    return true;
}

SoundFileReader::~SoundFileReader()
{
    if (file_ != nullptr) {
        sf_close(file_);
    }
}

size_t SoundFileReader::Read(float* frames, size_t count)
{
    return size_t(sf_readf_float(file_, frames, sf_count_t(count)));
}

bool SoundFileWriter::Open(const std::string& path, uint32_t rate, uint32_t channels, std::string& error)
{
    const int container = ContainerOf(path);
    if (container == 0) {
        error = "cannot write '" + path + "': give it the extension .wav, .flac, .aif or .aiff";
        return false;
    }
    SF_INFO info = {};
    info.samplerate = int(rate);
    info.channels = int(channels);
    info.format = container | SF_FORMAT_PCM_24;
    channels_ = channels;
    path_ = path;
    temporary_ = path + ".partial";
    file_ = sf_open(temporary_.c_str(), SFM_WRITE, &info);
    if (file_ == nullptr) {
        error = "cannot write '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    return true;
}

SoundFileWriter::~SoundFileWriter()
{
    if (file_ != nullptr) {
        sf_close(file_);
        std::remove(temporary_.c_str());
    }
}

void SoundFileWriter::Write(const int32_t* frames, size_t count)
{
    frames_ += uint64_t(sf_writef_int(file_, frames, sf_count_t(count)));
}

void SoundFileWriter::Write(const float* frames, size_t count)
{
    constexpr double kFullScale = 2147483648.0;
    words_.resize(count * channels_);
    for (size_t i = 0; i < words_.size(); ++i) {
        const double word = std::nearbyint(double(frames[i]) * kFullScale);
        words_[i] = int32_t(std::clamp(word, -kFullScale, kFullScale - 1.0));
    }
    Write(words_.data(), count);
}

bool SoundFileWriter::Finish(std::string& error)
{
    const int closed = sf_close(file_);
    file_ = nullptr;
    if (closed != 0 || std::rename(temporary_.c_str(), path_.c_str()) != 0) {
        std::remove(temporary_.c_str());
        error = "cannot write '" + path_ + "'";
        return false;
    }
    return true;
}

}  // namespace r9sim
