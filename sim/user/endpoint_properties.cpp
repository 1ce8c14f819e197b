// An endpoint's property store over its "Properties" key, and IAudioEndpointFormatControl.
//
// Property values are stored as the audio service stores them: text as REG_SZ (VT_LPWSTR),
// numbers as REG_DWORD (VT_UI4), anything else as REG_BINARY whose first 8 bytes hold the variant
// type and the data size (VT_BLOB here). A property that is not there reads as VT_EMPTY with S_OK.
//
// ResetToDefault(ENDPOINT_FORMAT_RESET_MIX_ONLY) makes the audio service derive the endpoint's
// shared-mode formats again from what the device's current filter offers (audio_endpoint_builder.h):
// every stored format property but the device format ({f19f064d-…},0, which a mix-only reset
// leaves alone) is rewritten with it.
#include <cstdio>
#include <cstring>

#include "sim/pnp/audio_endpoint_builder.h"
#include "sim/pnp/device_tree.h"
#include "sim/registry/machine_registry.h"
#include "sim/user/com_object.h"
#include "sim/user/mmdevice_server.h"

namespace sim::user {

namespace {

constexpr char16_t kDevicePathPrefix[] = u"{1}.";

std::u16string KeyName(const PROPERTYKEY& key)
{
    char pid[16];
    std::snprintf(pid, sizeof pid, ",%u", unsigned(key.pid));
    return pnp::GuidText(key.fmtid, false) + Utf8ToUtf16(pid);
}

bool ParseKeyName(const std::u16string& name, PROPERTYKEY& key)
{
    unsigned data1, data2, data3, bytes[8], pid;
    const std::string text = Utf16ToUtf8(name);
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x},%u", &data1, &data2, &data3, &bytes[0],
                    &bytes[1], &bytes[2], &bytes[3], &bytes[4], &bytes[5], &bytes[6], &bytes[7], &pid) != 12) {
        return false;
    }
    key.fmtid.Data1 = data1;
    key.fmtid.Data2 = USHORT(data2);
    key.fmtid.Data3 = USHORT(data3);
    for (int i = 0; i < 8; ++i) {
        key.fmtid.Data4[i] = UCHAR(bytes[i]);
    }
    key.pid = pid;
    return true;
}

HRESULT ToVariant(const registry::Value& value, PROPVARIANT& variant)
{
    PropVariantInit(&variant);
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        std::u16string text(value.data.size() / sizeof(WCHAR), u'\0');
        if (!text.empty()) {
            std::memcpy(text.data(), value.data.data(), text.size() * sizeof(WCHAR));
        }
        text = text.substr(0, text.find(u'\0'));
        variant.pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(WCHAR)));
        if (variant.pwszVal == nullptr) {
            return E_OUTOFMEMORY;
        }
        std::memcpy(variant.pwszVal, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
        variant.vt = VT_LPWSTR;
    } else if (value.type == REG_DWORD && value.data.size() == sizeof(ULONG)) {
        std::memcpy(&variant.ulVal, value.data.data(), sizeof(ULONG));
        variant.vt = VT_UI4;
    } else if (value.type == REG_BINARY && value.data.size() >= 8) {
        ULONG header[2];
        std::memcpy(header, value.data.data(), sizeof header);
        const ULONG size = ULONG(std::min<size_t>(header[1], value.data.size() - 8));
        if (header[0] != VT_BLOB) {
            return S_OK;
        }
        variant.blob.pBlobData = static_cast<BYTE*>(CoTaskMemAlloc(size));
        if (variant.blob.pBlobData == nullptr) {
            return E_OUTOFMEMORY;
        }
        if (size != 0) {
            std::memcpy(variant.blob.pBlobData, value.data.data() + 8, size);
        }
        variant.blob.cbSize = size;
        variant.vt = VT_BLOB;
    }
    return S_OK;
}

class PropertyStore final : public ComObject<IPropertyStore> {
public:
    PropertyStore(std::u16string path, bool writable)
        : ComObject(IID_IPropertyStore), path_(std::move(path)), writable_(writable)
    {
    }

    STDMETHODIMP GetCount(DWORD* cProps) override
    {
        if (cProps == nullptr) {
            return E_POINTER;
        }
        *cProps = DWORD(Names().size());
        return S_OK;
    }

    STDMETHODIMP GetAt(DWORD iProp, PROPERTYKEY* pkey) override
    {
        if (pkey == nullptr) {
            return E_POINTER;
        }
        const std::vector<std::u16string> names = Names();
        if (iProp >= names.size() || !ParseKeyName(names[iProp], *pkey)) {
            return E_INVALIDARG;
        }
        return S_OK;
    }

    STDMETHODIMP GetValue(REFPROPERTYKEY key, PROPVARIANT* pv) override
    {
        if (pv == nullptr) {
            return E_POINTER;
        }
        PropVariantInit(pv);
        registry::Value value;
        if (!registry::MachineRegistry().GetValue(path_, KeyName(key), value)) {
            return S_OK;
        }
        return ToVariant(value, *pv);
    }

    STDMETHODIMP SetValue(REFPROPERTYKEY key, REFPROPVARIANT propvar) override
    {
        if (!writable_) {
            return STG_E_ACCESSDENIED;
        }
        std::vector<uint8_t> data;
        ULONG type;
        if (propvar.vt == VT_LPWSTR && propvar.pwszVal != nullptr) {
            const size_t bytes = (wcslen(propvar.pwszVal) + 1) * sizeof(WCHAR);
            data.assign(reinterpret_cast<const uint8_t*>(propvar.pwszVal),
                        reinterpret_cast<const uint8_t*>(propvar.pwszVal) + bytes);
            type = REG_SZ;
        } else if (propvar.vt == VT_UI4) {
            data.resize(sizeof(ULONG));
            std::memcpy(data.data(), &propvar.ulVal, sizeof(ULONG));
            type = REG_DWORD;
        } else if (propvar.vt == VT_BLOB) {
            const ULONG header[2] = {VT_BLOB, propvar.blob.cbSize};
            data.resize(sizeof header + propvar.blob.cbSize);
            std::memcpy(data.data(), header, sizeof header);
            if (propvar.blob.cbSize != 0) {
                std::memcpy(data.data() + sizeof header, propvar.blob.pBlobData, propvar.blob.cbSize);
            }
            type = REG_BINARY;
        } else {
            return E_INVALIDARG;
        }
        return registry::MachineRegistry().SetValue(path_, KeyName(key), type, data) ? S_OK : E_FAIL;
    }

    STDMETHODIMP Commit() override { return writable_ ? S_OK : STG_E_ACCESSDENIED; }

private:
    std::vector<std::u16string> Names() const
    {
        std::vector<std::u16string> names;
        registry::Store& store = registry::MachineRegistry();
        registry::KeyRef key;
        if (!NT_SUCCESS(store.Open(nullptr, path_, key))) {
            return names;
        }
        registry::Value value;
        PROPERTYKEY parsed;
        for (ULONG i = 0; NT_SUCCESS(store.EnumerateValue(key, i, value)); ++i) {
            if (ParseKeyName(value.name, parsed)) {
                names.push_back(value.name);
            }
        }
        return names;
    }

    std::u16string path_;
    bool writable_;
};

class FormatControl final : public ComObject<IAudioEndpointFormatControl> {
public:
    FormatControl(pnp::EndpointFlow flow, std::u16string endpoint)
        : ComObject(IID_IAudioEndpointFormatControl), flow_(flow), endpoint_(std::move(endpoint))
    {
    }

    STDMETHODIMP ResetToDefault(DWORD ResetFlags) override
    {
        if (ResetFlags != ENDPOINT_FORMAT_RESET_MIX_ONLY) {
            return E_INVALIDARG;
        }
        registry::Store& store = registry::MachineRegistry();
        const std::u16string properties = pnp::EndpointPropertiesPath(flow_, endpoint_);
        registry::Value devicePath;
        if (!store.GetValue(properties, pnp::kDevicePathProperty, devicePath)) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        std::u16string instance(devicePath.data.size() / sizeof(WCHAR), u'\0');
        if (!instance.empty()) {
            std::memcpy(instance.data(), devicePath.data.data(), instance.size() * sizeof(WCHAR));
        }
        instance = instance.substr(0, instance.find(u'\0'));
        const std::u16string prefix = kDevicePathPrefix;
        if (instance.compare(0, prefix.size(), prefix) == 0) {
            instance.erase(0, prefix.size());
        }
        const std::optional<WAVEFORMATEXTENSIBLE> format =
            pnp::CurrentDefaultFormat(instance, flow_ == pnp::EndpointFlow::Render);
        if (!pnp::MachineDeviceTree().IsPresent(instance) || !format) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        for (const char16_t* name : pnp::kFormatProperties) {
            if (name != pnp::kFormatProperties[0]) {
                store.SetValue(properties, name, REG_BINARY, pnp::SerializeFormat(*format));
            }
        }
        return S_OK;
    }

private:
    pnp::EndpointFlow flow_;
    std::u16string endpoint_;
};

}  // namespace

HRESULT CreateEndpointPropertyStore(pnp::EndpointFlow flow, const std::u16string& endpoint, bool writable,
                                    IPropertyStore** store)
{
    *store = new PropertyStore(pnp::EndpointPropertiesPath(flow, endpoint), writable);
    return S_OK;
}

HRESULT CreateEndpointFormatControl(pnp::EndpointFlow flow, const std::u16string& endpoint,
                                    IAudioEndpointFormatControl** control)
{
    *control = new FormatControl(flow, endpoint);
    return S_OK;
}

}  // namespace sim::user
