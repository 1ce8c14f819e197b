#include "sim/audio_service/endpoint_lookup.h"

#include <cstring>

#include "sim/pnp/device_interfaces.h"
#include "sim/pnp/device_tree.h"
#include "sim/pnp/endpoint_store.h"
#include "sim/portcls/portcls_sim.h"
#include "sim/registry/machine_registry.h"
#include "sim/registry/store.h"

namespace sim::audio {

namespace {

pnp::EndpointFlow StoreFlow(Flow flow) { return flow == Flow::Render ? pnp::EndpointFlow::Render : pnp::EndpointFlow::Capture; }

bool FindFilter(const std::u16string& instancePath, const GUID& category, PDEVICE_OBJECT& pdo,
                std::u16string& referenceString)
{
    for (const pnp::DeviceInterfaceRecord& record : pnp::DeviceInterfaces()) {
        if (!record.enabled || !IsEqualGUID(record.interfaceClass, category) ||
            !registry::NamesEqual(record.instancePath, instancePath)) {
            continue;
        }
        pdo = pnp::MachineDeviceTree().PresentPhysicalDeviceObject(record.instancePath);
        if (pdo != nullptr) {
            referenceString = record.referenceString;
            return true;
        }
    }
    return false;
}

}  // namespace

bool FindEndpointFilter(const std::u16string& instancePath, Flow flow, PDEVICE_OBJECT& pdo,
                        std::u16string& referenceString)
{
    return FindFilter(instancePath, flow == Flow::Render ? portcls::kCategoryRender : portcls::kCategoryCapture, pdo,
                      referenceString);
}

bool FindAudioFilter(const std::u16string& instancePath, PDEVICE_OBJECT& pdo, std::u16string& referenceString)
{
    return FindFilter(instancePath, KSCATEGORY_AUDIO, pdo, referenceString);
}

bool EndpointExists(const std::u16string& instancePath, Flow flow)
{
    return !pnp::FindAudioEndpoint(StoreFlow(flow), instancePath).empty();
}

bool SavedDeviceFormat(const std::u16string& instancePath, Flow flow, WAVEFORMATEXTENSIBLE& format)
{
    const std::u16string endpoint = pnp::FindAudioEndpoint(StoreFlow(flow), instancePath);
    registry::Value value;
    if (endpoint.empty() ||
        !registry::MachineRegistry().GetValue(pnp::EndpointPropertiesPath(StoreFlow(flow), endpoint),
                                              pnp::kFormatProperties[0], value) ||
        value.data.size() < pnp::kFormatPropertyBytes) {
        return false;
    }
    std::memcpy(&format, value.data.data() + (pnp::kFormatPropertyBytes - sizeof format), sizeof format);
    return true;
}

}  // namespace sim::audio
