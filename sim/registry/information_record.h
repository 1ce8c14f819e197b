// An information record of the Zw registry calls, built in full and then handed out under the
// registry's buffer rules: shorter than the fixed part, STATUS_BUFFER_TOO_SMALL and nothing
// written; shorter than the whole record, STATUS_BUFFER_OVERFLOW with the fixed part and as much
// of the name as fits (data is never cut); ResultLength is the whole record's length either way.
#pragma once

#include <cstring>
#include <string_view>
#include <vector>

#include "sim/api/kernel.h"

namespace sim::registry {

class InformationRecord {
public:
    // `fixed` is the structure with its counts filled in; the record starts with its first
    // `fixedSize` bytes (the offset of its variable-length member).
    template <class Fixed>
    InformationRecord(const Fixed& fixed, size_t fixedSize)
            : bytes_(reinterpret_cast<const uint8_t*>(&fixed), reinterpret_cast<const uint8_t*>(&fixed) + fixedSize),
              fixedSize_(fixedSize), cuttable_(fixedSize)
    {
    }

    // A name may be cut when the buffer is short.
    void AppendName(std::u16string_view name)
    {
        Append(name.data(), name.size() * sizeof(WCHAR));
        cuttable_ = bytes_.size();
    }

    void AlignTo(size_t alignment) { bytes_.resize((bytes_.size() + alignment - 1) / alignment * alignment); }
    size_t Size() const { return bytes_.size(); }

    void AppendData(const std::vector<uint8_t>& data) { Append(data.data(), data.size()); }

    NTSTATUS CopyOut(PVOID buffer, ULONG length, PULONG resultLength) const
    {
        if (resultLength == nullptr || (buffer == nullptr && length != 0)) {
            return STATUS_INVALID_PARAMETER;
        }
        *resultLength = ULONG(bytes_.size());
        if (length < fixedSize_) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (length < bytes_.size()) {
            std::memcpy(buffer, bytes_.data(), length < cuttable_ ? length : cuttable_);
            return STATUS_BUFFER_OVERFLOW;
        }
        std::memcpy(buffer, bytes_.data(), bytes_.size());
        return STATUS_SUCCESS;
    }

private:
    void Append(const void* data, size_t size)
    {
        const auto* bytes = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), bytes, bytes + size);
    }

    std::vector<uint8_t> bytes_;
    size_t fixedSize_;
    size_t cuttable_;
};

}  // namespace sim::registry
