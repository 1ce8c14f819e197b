// The formatter behind every wide printf function of the run-time and of ntstrsafe. It counts the
// full length of the output and stores as much of it as the buffer holds, so each caller applies
// its own truncation and termination rules afterwards.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "sim/api/base_types.h"

namespace sim::text {

class WideOutput {
public:
    WideOutput(WCHAR* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    void Put(WCHAR character)
    {
        if (length_ < capacity_) {
            buffer_[length_] = character;
        }
        ++length_;
    }

    void Repeat(WCHAR character, size_t count)
    {
        for (size_t index = 0; index < count; ++index) {
            Put(character);
        }
    }

    // Characters the complete output has, stored or not.
    size_t Length() const { return length_; }

private:
    WCHAR* buffer_;
    size_t capacity_;
    size_t length_ = 0;
};

// Formats into `output`. Returns false for a format Windows refuses (an unknown conversion, %n,
// a size prefix that does not fit the conversion); the output is then incomplete.
bool FormatWide(WideOutput& output, const WCHAR* format, va_list arguments);

}  // namespace sim::text
