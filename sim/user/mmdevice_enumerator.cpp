// The audio endpoint enumerator (IMMDeviceEnumerator), its collections and devices, over the
// endpoint store's Render and Capture keys. An endpoint's id is "{0.0.F.00000000}.{guid}", F
// being 0 for render and 1 for capture; its state is its DeviceState value.
#include <cstring>
#include <vector>

#include "sim/registry/machine_registry.h"
#include "sim/user/com_object.h"
#include "sim/user/mmdevice_server.h"

namespace sim::user {

namespace {

struct Endpoint {
    pnp::EndpointFlow flow;
    std::u16string name;  // "{guid}", the key's name
};

std::u16string FlowKey(pnp::EndpointFlow flow)
{
    return std::u16string(pnp::kEndpointStorePath) + (flow == pnp::EndpointFlow::Render ? u"\\Render" : u"\\Capture");
}

DWORD EndpointState(const Endpoint& endpoint)
{
    registry::Value value;
    if (!registry::MachineRegistry().GetValue(FlowKey(endpoint.flow) + u"\\" + endpoint.name, u"DeviceState", value) ||
        value.type != REG_DWORD || value.data.size() != sizeof(DWORD)) {
        return DEVICE_STATE_NOTPRESENT;
    }
    DWORD state;
    std::memcpy(&state, value.data.data(), sizeof state);
    return state;
}

std::u16string EndpointId(const Endpoint& endpoint)
{
    return (endpoint.flow == pnp::EndpointFlow::Render ? u"{0.0.0.00000000}." : u"{0.0.1.00000000}.") + endpoint.name;
}

LPWSTR TaskMemoryText(const std::u16string& text)
{
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    }
    return copy;
}

class Device final : public ComObject<IMMDevice> {
public:
    explicit Device(Endpoint endpoint) : ComObject(IID_IMMDevice), endpoint_(std::move(endpoint)) { }

    STDMETHODIMP Activate(REFIID iid, DWORD dwClsCtx, PROPVARIANT* pActivationParams, void** ppInterface) override
    {
        if (ppInterface == nullptr) {
            return E_POINTER;
        }
        *ppInterface = nullptr;
        if (!IsEqualGUID(iid, IID_IAudioEndpointFormatControl)) {
            return E_NOINTERFACE;
        }
        if ((EndpointState(endpoint_) & DEVICE_STATE_ACTIVE) == 0) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        return CreateEndpointFormatControl(endpoint_.flow, endpoint_.name,
                                           reinterpret_cast<IAudioEndpointFormatControl**>(ppInterface));
    }

    STDMETHODIMP OpenPropertyStore(DWORD stgmAccess, IPropertyStore** ppProperties) override
    {
        if (ppProperties == nullptr) {
            return E_POINTER;
        }
        *ppProperties = nullptr;
        if (stgmAccess != STGM_READ && stgmAccess != STGM_WRITE && stgmAccess != STGM_READWRITE) {
            return E_INVALIDARG;
        }
        return CreateEndpointPropertyStore(endpoint_.flow, endpoint_.name, stgmAccess != STGM_READ, ppProperties);
    }

    STDMETHODIMP GetId(LPWSTR* ppstrId) override
    {
        if (ppstrId == nullptr) {
            return E_POINTER;
        }
        *ppstrId = TaskMemoryText(EndpointId(endpoint_));
        return *ppstrId == nullptr ? E_OUTOFMEMORY : S_OK;
    }

    STDMETHODIMP GetState(DWORD* pdwState) override
    {
        if (pdwState == nullptr) {
            return E_POINTER;
        }
        *pdwState = EndpointState(endpoint_);
        return S_OK;
    }

private:
    Endpoint endpoint_;
};

class Collection final : public ComObject<IMMDeviceCollection> {
public:
    explicit Collection(std::vector<Endpoint> endpoints)
        : ComObject(IID_IMMDeviceCollection), endpoints_(std::move(endpoints))
    {
    }

    STDMETHODIMP GetCount(UINT* pcDevices) override
    {
        if (pcDevices == nullptr) {
            return E_POINTER;
        }
        *pcDevices = UINT(endpoints_.size());
        return S_OK;
    }

    STDMETHODIMP Item(UINT nDevice, IMMDevice** ppDevice) override
    {
        if (ppDevice == nullptr) {
            return E_POINTER;
        }
        *ppDevice = nullptr;
        if (nDevice >= endpoints_.size()) {
            return E_INVALIDARG;
        }
        *ppDevice = new Device(endpoints_[nDevice]);
        return S_OK;
    }

private:
    std::vector<Endpoint> endpoints_;
};

class Enumerator final : public ComObject<IMMDeviceEnumerator> {
public:
    Enumerator() : ComObject(IID_IMMDeviceEnumerator) { }

    STDMETHODIMP EnumAudioEndpoints(EDataFlow dataFlow, DWORD dwStateMask, IMMDeviceCollection** ppDevices) override
    {
        if (ppDevices == nullptr) {
            return E_POINTER;
        }
        *ppDevices = nullptr;
        if (dataFlow < eRender || dataFlow > eAll || dwStateMask == 0 || (dwStateMask & ~DWORD(DEVICE_STATEMASK_ALL)) != 0) {
            return E_INVALIDARG;
        }
        std::vector<Endpoint> endpoints;
        for (pnp::EndpointFlow flow : {pnp::EndpointFlow::Render, pnp::EndpointFlow::Capture}) {
            const bool wanted = dataFlow == eAll || (dataFlow == eRender) == (flow == pnp::EndpointFlow::Render);
            for (const std::u16string& name : wanted ? registry::MachineRegistry().SubkeyNames(FlowKey(flow))
                                                     : std::vector<std::u16string>()) {
                Endpoint endpoint{flow, name};
                if ((EndpointState(endpoint) & dwStateMask) != 0) {
                    endpoints.push_back(endpoint);
                }
            }
        }
        *ppDevices = new Collection(std::move(endpoints));
        return S_OK;
    }

    // Default endpoints are the audio service's choice; the product never asks for one.
    STDMETHODIMP GetDefaultAudioEndpoint(EDataFlow, ERole, IMMDevice** ppEndpoint) override
    {
        if (ppEndpoint == nullptr) {
            return E_POINTER;
        }
        *ppEndpoint = nullptr;
        return E_NOTFOUND;
    }

    STDMETHODIMP GetDevice(LPCWSTR pwstrId, IMMDevice** ppDevice) override
    {
        if (pwstrId == nullptr || ppDevice == nullptr) {
            return E_POINTER;
        }
        *ppDevice = nullptr;
        for (pnp::EndpointFlow flow : {pnp::EndpointFlow::Render, pnp::EndpointFlow::Capture}) {
            for (const std::u16string& name : registry::MachineRegistry().SubkeyNames(FlowKey(flow))) {
                const Endpoint endpoint{flow, name};
                if (registry::NamesEqual(EndpointId(endpoint), pwstrId)) {
                    *ppDevice = new Device(endpoint);
                    return S_OK;
                }
            }
        }
        return E_NOTFOUND;
    }

    // Notifications are not delivered: registration is accepted and forgotten.
    STDMETHODIMP RegisterEndpointNotificationCallback(IMMNotificationClient* pClient) override
    {
        return pClient == nullptr ? E_POINTER : S_OK;
    }
    STDMETHODIMP UnregisterEndpointNotificationCallback(IMMNotificationClient* pClient) override
    {
        return pClient == nullptr ? E_POINTER : S_OK;
    }
};

class EnumeratorFactory final : public ComObject<IClassFactory> {
public:
    EnumeratorFactory() : ComObject(IID_IClassFactory) { }

    STDMETHODIMP CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override
    {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        *ppvObject = nullptr;
        if (pUnkOuter != nullptr) {
            return CLASS_E_NOAGGREGATION;
        }
        auto* enumerator = new Enumerator;
        const HRESULT result = enumerator->QueryInterface(riid, ppvObject);
        enumerator->Release();
        return result;
    }

    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

}  // namespace

HRESULT MmDeviceGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!IsEqualGUID(clsid, CLSID_MMDeviceEnumerator)) {
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    auto* factory = new EnumeratorFactory;
    const HRESULT result = factory->QueryInterface(iid, object);
    factory->Release();
    return result;
}

}  // namespace sim::user
