// CAudioDevice::ResetEndpointFormats: Windows' audio endpoints of the device are found by their
// device-path property, which contains the device's instance ID.
#include "common/audio_device.h"
#include "common/trace.h"

namespace {

// {B3F8FA53-0004-438E-9003-51A46E139BFC},2: the device path of the endpoint's device node.
const PROPERTYKEY kEndpointDevicePath = {{0xB3F8FA53, 0x0004, 0x438E, {0x90, 0x03, 0x51, 0xA4, 0x6E, 0x13, 0x9B, 0xFC}},
                                         2};

bool BelongsTo(IMMDevice* endpoint, const WCHAR* instanceId)
{
    IPropertyStore* properties = nullptr;
    if (FAILED(endpoint->OpenPropertyStore(STGM_READ, &properties))) {
        return false;
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    const bool matches = SUCCEEDED(properties->GetValue(kEndpointDevicePath, &value)) && value.vt == VT_LPWSTR &&
                         value.pwszVal != nullptr && wcsstr(value.pwszVal, instanceId) != nullptr;
    PropVariantClear(&value);
    properties->Release();
    return matches;
}

// Resets the first active endpoint of `flow` that belongs to the device; the last call's status.
HRESULT ResetFlow(IMMDeviceEnumerator* enumerator, EDataFlow flow, const WCHAR* instanceId)
{
    IMMDeviceCollection* endpoints = nullptr;
    HRESULT result = enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &endpoints);
    if (FAILED(result)) {
        return result;
    }
    UINT count = 0;
    result = endpoints->GetCount(&count);
    for (UINT i = 0; SUCCEEDED(result) && i < count; ++i) {
        IMMDevice* endpoint = nullptr;
        result = endpoints->Item(i, &endpoint);
        if (FAILED(result)) {
            break;
        }
        if (BelongsTo(endpoint, instanceId)) {
            IAudioEndpointFormatControl* control = nullptr;
            result = endpoint->Activate(IID_IAudioEndpointFormatControl, CLSCTX_ALL, nullptr,
                                        reinterpret_cast<void**>(&control));
            if (SUCCEEDED(result)) {
                result = control->ResetToDefault(ENDPOINT_FORMAT_RESET_MIX_ONLY);
                control->Release();
            }
            endpoint->Release();
            break;
        }
        endpoint->Release();
    }
    endpoints->Release();
    return result;
}

}  // namespace

HRESULT CAudioDevice::ResetEndpointFormats() const
{
    IMMDeviceEnumerator* enumerator = nullptr;
    HRESULT result = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                      reinterpret_cast<void**>(&enumerator));
    if (FAILED(result)) {
        TraceEvent(W("CAudioDevice::ResetEndpointFormats: no device enumerator (0x%08lX)"),
                   static_cast<unsigned long>(result));
        return result;
    }
    if (!m_Capabilities.empty()) {
        const RateCaps& first = m_Capabilities.front();
        if (first.captureChannels != 0) {
            result = ResetFlow(enumerator, eCapture, m_InstanceId);
            if (FAILED(result)) {
                TraceEvent(W("CAudioDevice: capture endpoint reset failed (0x%08lX)"), static_cast<unsigned long>(result));
            }
        }
        if (first.renderChannels != 0) {
            result = ResetFlow(enumerator, eRender, m_InstanceId);
            if (FAILED(result)) {
                TraceEvent(W("CAudioDevice: render endpoint reset failed (0x%08lX)"), static_cast<unsigned long>(result));
            }
        }
    }
    enumerator->Release();
    return S_OK;
}
