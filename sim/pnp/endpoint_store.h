// The audio endpoint store in the registry, as the Windows audio service keeps it: below
// "\Registry\Machine\Software\Microsoft\Windows\CurrentVersion\MMDevices\Audio", "Render" and
// "Capture" hold one key per endpoint, named by the endpoint's GUID, with a DeviceState value and
// a "Properties" subkey. Each property is a value named "{format GUID},ID":
//   - the device path: "{1}." and the device's instance path, as text;
//   - formats: an 8-byte header (variant type VT_BLOB, then the size) and a 40-byte
//     WAVEFORMATEXTENSIBLE.
// The machine writes a device's endpoints when they appear, and other devices' endpoints too.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/api/kernel.h"
#include "sim/pnp/device_tree.h"

namespace sim::pnp {

inline constexpr char16_t kEndpointStorePath[] =
    u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\MMDevices\\Audio";

inline constexpr char16_t kDevicePathProperty[] = u"{b3f8fa53-0004-438e-9003-51a46e139bfc},2";
inline constexpr char16_t kFriendlyNameProperty[] = u"{a45c254e-df1c-4efd-8020-67d146a850e0},2";
// The five format properties the kernel driver reads and rewrites, in the order it tries them.
inline constexpr const char16_t* kFormatProperties[5] = {
    u"{f19f064d-082c-4e27-bc73-6882a1bb8e4c},0", u"{e4870e26-3cc5-4cd2-ba46-ca0a9a70ed04},0",
    u"{e4870e26-3cc5-4cd2-ba46-ca0a9a70ed04},3", u"{3d6e1656-2e50-4c4c-8d85-d0acae3c6c68},2",
    u"{3d6e1656-2e50-4c4c-8d85-d0acae3c6c68},3"};
// A property the kernel driver deletes when the device rate changes.
inline constexpr char16_t kDriverDeletedProperty[] = u"{a2a3fff4-353f-407c-9d86-1f9dc7d5a606},2";

inline constexpr ULONG kVariantTypeBlob = 0x41;
// DeviceState values (DEVICE_STATE_ACTIVE, DEVICE_STATE_NOTPRESENT): an endpoint whose device has
// gone stays in the store, marked not present, until the device comes back.
inline constexpr ULONG kDeviceStateActive = 1;
inline constexpr ULONG kDeviceStateNotPresent = 4;
inline constexpr size_t kFormatPropertyBytes = 8 + sizeof(WAVEFORMATEXTENSIBLE);

enum class EndpointFlow { Render, Capture };

// An integer PCM format: `containerBits` per sample in the stream, `validBits` of them used.
WAVEFORMATEXTENSIBLE MakePcmFormat(ULONG samplesPerSecond, USHORT channels, USHORT containerBits, USHORT validBits);
std::vector<uint8_t> SerializeFormat(const WAVEFORMATEXTENSIBLE& format);

// "…\MMDevices\Audio\Render\{guid}\Properties".
std::u16string EndpointPropertiesPath(EndpointFlow flow, std::u16string_view endpoint);

// The endpoint of `flow` whose device path names `instancePath`; empty when there is none.
std::u16string FindAudioEndpoint(EndpointFlow flow, std::u16string_view instancePath);
// Sets an existing endpoint's DeviceState value.
void SetEndpointState(EndpointFlow flow, std::u16string_view endpoint, ULONG deviceState);

// Writes an endpoint for the device with `instancePath` (the five formats, the device path, the
// friendly name, the property the driver deletes) and returns its key name, "{guid}". A device
// that already has an endpoint of this flow keeps it, with its saved formats.
std::u16string AddAudioEndpoint(EndpointFlow flow, std::u16string_view instancePath,
                                const WAVEFORMATEXTENSIBLE& format, std::u16string_view friendlyName);

struct DeviceEndpoints {
    std::u16string render;
    std::u16string capture;
};

// A device's endpoints appearing: one render and one capture endpoint.
DeviceEndpoints AddDeviceEndpoints(const DeviceNode& node, const WAVEFORMATEXTENSIBLE& renderFormat,
                                   const WAVEFORMATEXTENSIBLE& captureFormat);

}  // namespace sim::pnp
