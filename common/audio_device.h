// One present R9 device as the user-mode deliverables see it, and the control requests sent to
// its kernel driver outside streaming. Every request opens the device's control path, sends one
// synchronous request and closes the handle again, so it may run while the ASIO driver streams
// over a handle of its own.
#pragma once

#include <vector>

#include "platform/user.h"

// The 20-byte reply of the per-rate format request, as received. A direction the device lacks
// has zero channels and bits.
struct RateCaps {
    DWORD rate;
    DWORD renderChannels;
    DWORD renderBits;
    DWORD captureChannels;
    DWORD captureBits;
};
static_assert(sizeof(RateCaps) == 20, "RateCaps is the driver's reply as it comes");

constexpr size_t kPathCharacters = 260;         // paths and instance IDs, with the terminator
constexpr size_t kDescriptionCharacters = 128;  // descriptions, with the terminator

class CAudioDevice {
public:
    CAudioDevice();

    // Fills an empty device: the texts, the rate range, the capabilities and the DSD flag. False
    // when the rate range or the DSD flag cannot be read, or when the control path or instance
    // ID does not fit its field (a cut path would name another object, a cut ID another device);
    // a description that does not fit is cut to 127 characters, as it is only shown.
    bool Init(const WCHAR* controlPath, const WCHAR* description, const WCHAR* instanceId);

    // One synchronous request on a handle of its own; what DeviceIoControl returned.
    bool Ioctl(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize, DWORD* bytesReturned) const;

    // Rebuilds the capability list from kProbeRates within the rate range; always true.
    bool QueryRateCaps();
    // The device's current rate, 0 when it cannot be learned.
    DWORD GetCurrentRate() const;
    // Asks for a new rate (PCM rate or DSD bit rate). When the driver reports that the rate really
    // changed, the Windows endpoints' mix formats are reset; their outcome does not count.
    bool SetRate(DWORD rate) const;
    // Makes Windows derive the shared-mode mix format of the device's endpoints again: one capture
    // and one render endpoint, as the first capability entry says the device has them. Needs COM
    // on the calling thread; returns the status of the last call.
    HRESULT ResetEndpointFormats() const;
    bool SetInUrbSize(DWORD value) const;
    bool GetInUrbSize() const;

    const WCHAR* InstanceId() const { return m_InstanceId; }
    const WCHAR* ControlPath() const { return m_ControlPath; }
    const WCHAR* Description() const { return m_Description; }
    DWORD LowestRate() const { return m_RateRange[0]; }
    DWORD HighestRate() const { return m_RateRange[1]; }
    const std::vector<RateCaps>& Capabilities() const { return m_Capabilities; }
    DWORD DsdSupported() const { return m_DsdSupported; }

private:
    WCHAR m_InstanceId[kPathCharacters];
    WCHAR m_ControlPath[kPathCharacters];
    WCHAR m_Description[kDescriptionCharacters];
    DWORD m_RateRange[2];
    std::vector<RateCaps> m_Capabilities;
    DWORD m_DsdSupported;
};
