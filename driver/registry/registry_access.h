// The driver's registry operations: its own REG_DWORD settings in the device's hardware key, the
// device's instance path, and this device's entries in the Windows audio endpoint store
// ("…\MMDevices\Audio\Render|Capture\<endpoint>\Properties"), whose saved formats are kept in step
// with the device rate.
//
// IRQL: every operation runs at PASSIVE_LEVEL. Failures are returned unchanged; every key opened
// is closed and every buffer freed on every path.
#pragma once

#include "platform/kernel.h"

// Endpoint directions: 0 selects "Render", 1 "Capture".
inline constexpr UCHAR kEndpointRender = 0;
inline constexpr UCHAR kEndpointCapture = 1;

// No registry path the driver builds is longer than this.
inline constexpr USHORT kMaxRegistryPathCharacters = 255;

// Compares a value's text (cut at its first NUL) with the wanted text; TRUE when they match.
typedef BOOLEAN (*RegistryTextCompare)(PCUNICODE_STRING storedText, PCUNICODE_STRING wanted);

// Appends `component` to `path` with one "\" between two non-empty parts. A result that does not
// fit leaves `path` as it was and returns STATUS_BUFFER_OVERFLOW.
NTSTATUS AppendPathComponent(PUNICODE_STRING path, PCUNICODE_STRING component);

// The first four bytes of the value's data, whatever its type; `type`, when given, receives it.
NTSTATUS ReadDeviceDword(PDEVICE_OBJECT pdo, PCWSTR valueName, PULONG value, PULONG type = nullptr);
NTSTATUS WriteDeviceDword(PDEVICE_OBJECT pdo, PCWSTR valueName, ULONG value);

// STATUS_SUCCESS when the key exists; STATUS_INVALID_PARAMETER for a path over 255 characters.
NTSTATUS RegistryKeyExists(PCUNICODE_STRING absolutePath);

// Walks the subkeys of `basePath` in enumeration order and names the first whose
// "<subkey>\<subPath>" key has `valueName` matching `wanted` (`compare`, or a case-insensitive
// whole-text comparison when null). STATUS_NO_MATCH when none does; a key or value that cannot be
// read ends the walk with that failure. `subPath` may be empty.
NTSTATUS FindSubkeyByValue(PCUNICODE_STRING basePath, PCUNICODE_STRING subPath, PCUNICODE_STRING valueName,
                           PCUNICODE_STRING wanted, RegistryTextCompare compare, PUNICODE_STRING subkeyName);

// "<device ID>\<instance ID>" of the device, e.g. "USB\VID_0A12&PID_1234\0001".
NTSTATUS GetDeviceInstancePath(PDEVICE_OBJECT pdo, PUNICODE_STRING instancePath);

// The endpoint store's device-path comparison: a stored value that starts with "{" loses
// everything up to its first "." (and never matches without one); the rest must equal the
// instance path, ignoring case.
BOOLEAN EndpointDevicePathMatches(PCUNICODE_STRING storedText, PCUNICODE_STRING instancePath);

// Names the device's render and capture endpoint keys; the one not found is left empty.
// STATUS_INVALID_DEVICE_REQUEST when neither is found; any other failure of either search is
// returned (the render search's without looking for the capture endpoint).
NTSTATUS FindEndpoints(PUNICODE_STRING renderEndpoint, PUNICODE_STRING captureEndpoint,
                       PCUNICODE_STRING instancePath);

// The endpoint's saved format: the first of its five format values that is present.
NTSTATUS GetEndpointFormat(UCHAR direction, PCUNICODE_STRING endpoint, PWAVEFORMATEXTENSIBLE format);

// Rewrites the sample rate and byte rate of every format value present; nothing else changes.
NTSTATUS SetEndpointFormatRate(UCHAR direction, PCUNICODE_STRING endpoint, ULONG rate);

NTSTATUS DeleteEndpointProperty(UCHAR direction, PCUNICODE_STRING endpoint);
