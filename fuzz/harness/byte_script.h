// The bytes of a fuzz input that a scripted device takes its steps from, front to back; once they
// are used up every step is the honest one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

class ByteScript {
public:
    ByteScript(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Next(uint8_t& byte)
    {
        if (used_ >= size_) {
            return false;
        }
        byte = data_[used_++];
        return true;
    }

    uint8_t NextOr(uint8_t otherwise)
    {
        uint8_t byte = otherwise;
        Next(byte);
        return byte;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

}  // namespace fuzz
