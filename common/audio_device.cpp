#include "common/audio_device.h"

#include "common/control_codes.h"
#include "common/format_tables.h"
#include "common/trace.h"

CAudioDevice::CAudioDevice() : m_InstanceId{}, m_ControlPath{}, m_Description{}, m_RateRange{}, m_DsdSupported(0) { }

bool CAudioDevice::Init(const WCHAR* controlPath, const WCHAR* description, const WCHAR* instanceId)
{
    // Measured first: a _s copy that does not fit would end in the run-time's invalid-parameter
    // handler on Windows.
    if (wcsnlen(controlPath, kPathCharacters) >= kPathCharacters || wcsnlen(instanceId, kPathCharacters) >= kPathCharacters) {
        TraceEvent(W("CAudioDevice::Init: the control path or instance ID does not fit its field"));
        return false;
    }
    wcscpy_s(m_ControlPath, controlPath);
    wcscpy_s(m_InstanceId, instanceId);
    wcsncpy_s(m_Description, description, _TRUNCATE);

    DWORD bytes = 0;
    if (!Ioctl(r9control::kGetRateRange, nullptr, 0, m_RateRange, sizeof m_RateRange, &bytes) ||
        bytes != sizeof m_RateRange) {
        TraceEvent(W("CAudioDevice::Init: no rate range from %ls (error %lu, %lu bytes)"), m_ControlPath,
                   GetLastError(), bytes);
        return false;
    }
    QueryRateCaps();
    DWORD dsd = 0;
    if (!Ioctl(r9control::kGetDsdSupport, nullptr, 0, &dsd, sizeof dsd, &bytes) || bytes != sizeof dsd) {
        TraceEvent(W("CAudioDevice::Init: no DSD flag from %ls (error %lu)"), m_ControlPath, GetLastError());
        m_DsdSupported = 0;
        return false;
    }
    m_DsdSupported = dsd;
    return true;
}

bool CAudioDevice::Ioctl(DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize,
                         DWORD* bytesReturned) const
{
    HANDLE device = CreateFileW(m_ControlPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        TraceEvent(W("CAudioDevice: cannot open %ls (error %lu)"), m_ControlPath, GetLastError());
        return false;
    }
    DWORD localBytes = 0;
    const BOOL sent = DeviceIoControl(device, code, input, inputSize, output, outputSize,
                                      bytesReturned != nullptr ? bytesReturned : &localBytes, nullptr);
    if (!sent) {
        TraceEvent(W("CAudioDevice: request 0x%lX failed (error %lu)"), code, GetLastError());
    }
    CloseHandle(device);
    return sent != FALSE;
}

bool CAudioDevice::QueryRateCaps()
{
    m_Capabilities.clear();
    for (DWORD rate : kProbeRates) {
        if (rate < m_RateRange[0]) {
            continue;
        }
        if (rate > m_RateRange[1]) {
            break;
        }
        RateCaps caps = {rate, 0, 0, 0, 0};
        DWORD bytes = 0;
        if (Ioctl(r9control::kGetRateFormats, &caps, sizeof caps, &caps, sizeof caps, &bytes) && bytes == sizeof caps) {
            m_Capabilities.push_back(caps);
        } else {
            TraceEvent(W("CAudioDevice::QueryRateCaps: %lu Hz refused (%lu bytes)"), rate, bytes);
        }
    }
    return true;
}

DWORD CAudioDevice::GetCurrentRate() const
{
    DWORD rate = 0;
    DWORD bytes = 0;
    if (!Ioctl(r9control::kGetRate, nullptr, 0, &rate, sizeof rate, &bytes) || bytes != sizeof rate) {
        return 0;
    }
    return rate;
}

bool CAudioDevice::SetRate(DWORD rate) const
{
    DWORD changed = 0;
    DWORD bytes = 0;
    if (!Ioctl(r9control::kSetRate, &rate, sizeof rate, &changed, sizeof changed, &bytes)) {
        return false;
    }
    if (changed != 0) {
        const HRESULT reset = ResetEndpointFormats();
        if (FAILED(reset)) {
            TraceEvent(W("CAudioDevice::SetRate: endpoint reset failed (0x%08lX)"), static_cast<unsigned long>(reset));
        }
    }
    return true;
}

bool CAudioDevice::SetInUrbSize(DWORD value) const
{
    return Ioctl(r9control::kSetInUrbSize, &value, sizeof value, nullptr, 0, nullptr);
}

bool CAudioDevice::GetInUrbSize() const
{
    DWORD value = 0;
    return Ioctl(r9control::kGetStoredInUrbSize, nullptr, 0, &value, sizeof value, nullptr);
}
