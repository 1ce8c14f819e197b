// The audio endpoint enumerator for user-mode code on the host build (mmdeviceapi.h and
// audioendpoints.h subset), over the simulated machine's endpoint store.
#pragma once

#include "sim/api/user_com.h"

typedef enum __MIDL___MIDL_itf_mmdeviceapi_0000_0000_0001 {
    eRender = 0,
    eCapture = 1,
    eAll = 2,
    EDataFlow_enum_count = 3
} EDataFlow;

typedef enum __MIDL___MIDL_itf_mmdeviceapi_0000_0000_0002 {
    eConsole = 0,
    eMultimedia = 1,
    eCommunications = 2,
    ERole_enum_count = 3
} ERole;

#define DEVICE_STATE_ACTIVE 0x00000001
#define DEVICE_STATE_DISABLED 0x00000002
#define DEVICE_STATE_NOTPRESENT 0x00000004
#define DEVICE_STATE_UNPLUGGED 0x00000008
#define DEVICE_STATEMASK_ALL 0x0000000F

#define ENDPOINT_FORMAT_RESET_MIX_ONLY 0x1

#define AUDCLNT_E_DEVICE_INVALIDATED ((HRESULT)0x88890004L)
#define E_NOTFOUND HRESULT_FROM_WIN32(ERROR_NOT_FOUND)

// {BCDE0395-E52F-467C-8E3D-C4579291692E}
DEFINE_GUID(CLSID_MMDeviceEnumerator, 0xBCDE0395, 0xE52F, 0x467C, 0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E);
// {A95664D2-9614-4F35-A746-DE8DB63617E6}
DEFINE_GUID(IID_IMMDeviceEnumerator, 0xA95664D2, 0x9614, 0x4F35, 0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6);
// {D666063F-1587-4E43-81F1-B948E807363F}
DEFINE_GUID(IID_IMMDevice, 0xD666063F, 0x1587, 0x4E43, 0x81, 0xF1, 0xB9, 0x48, 0xE8, 0x07, 0x36, 0x3F);
// {0BD7A1BE-7A1A-44DB-8397-CC5392387B5E}
DEFINE_GUID(IID_IMMDeviceCollection, 0x0BD7A1BE, 0x7A1A, 0x44DB, 0x83, 0x97, 0xCC, 0x53, 0x92, 0x38, 0x7B, 0x5E);
// {784CFD40-9F89-456E-A1A6-873B006A664E}
DEFINE_GUID(IID_IAudioEndpointFormatControl, 0x784CFD40, 0x9F89, 0x456E, 0xA1, 0xA6, 0x87, 0x3B, 0x00, 0x6A,
            0x66, 0x4E);

struct IMMNotificationClient;
struct IMMDevice;

DECLARE_INTERFACE_(IMMDeviceCollection, IUnknown)
{
    STDMETHOD(GetCount)(THIS_ UINT * pcDevices) PURE;
    STDMETHOD(Item)(THIS_ UINT nDevice, IMMDevice * *ppDevice) PURE;
};

DECLARE_INTERFACE_(IMMDevice, IUnknown)
{
    STDMETHOD(Activate)(THIS_ REFIID iid, DWORD dwClsCtx, PROPVARIANT * pActivationParams, void** ppInterface) PURE;
    STDMETHOD(OpenPropertyStore)(THIS_ DWORD stgmAccess, IPropertyStore * *ppProperties) PURE;
    STDMETHOD(GetId)(THIS_ LPWSTR * ppstrId) PURE;
    STDMETHOD(GetState)(THIS_ DWORD * pdwState) PURE;
};

DECLARE_INTERFACE_(IMMDeviceEnumerator, IUnknown)
{
    STDMETHOD(EnumAudioEndpoints)(THIS_ EDataFlow dataFlow, DWORD dwStateMask, IMMDeviceCollection * *ppDevices) PURE;
    STDMETHOD(GetDefaultAudioEndpoint)(THIS_ EDataFlow dataFlow, ERole role, IMMDevice * *ppEndpoint) PURE;
    STDMETHOD(GetDevice)(THIS_ LPCWSTR pwstrId, IMMDevice * *ppDevice) PURE;
    STDMETHOD(RegisterEndpointNotificationCallback)(THIS_ IMMNotificationClient * pClient) PURE;
    STDMETHOD(UnregisterEndpointNotificationCallback)(THIS_ IMMNotificationClient * pClient) PURE;
};

DECLARE_INTERFACE_(IAudioEndpointFormatControl, IUnknown)
{
    STDMETHOD(ResetToDefault)(THIS_ DWORD ResetFlags) PURE;
};
