// The fixed records the filter description points to: automation tables with their property items,
// the pins' standard streaming interface, the bridge pins' analog data range, the signal-processing
// attribute list of the streaming pins' data ranges, and the heads of the two signal chains.
//
// One set lives in each CUSBAudioCL and outlives every filter built from it. The records are filled
// in at run time: on Windows the GUIDs they carry are data of the KS GUID library, not compile-time
// constants, and a driver image runs no static constructors that could copy them.
#pragma once

#include "platform/kernel.h"

struct UsbAudioFilterTables {
    UsbAudioFilterTables();
    UsbAudioFilterTables(const UsbAudioFilterTables&) = delete;
    UsbAudioFilterTables& operator=(const UsbAudioFilterTables&) = delete;

    // The component-ID handler answers for the filter; the node handler for volume and mute on the
    // feature-unit nodes. Until set, the items carry no handler.
    void SetPropertyHandlers(PCPFNPROPERTY_HANDLER componentId, PCPFNPROPERTY_HANDLER nodeProperty);
    // Empties both chains; the records they held are gone with the filter's tables.
    void ResetChains();

    PCPROPERTY_ITEM FilterProperties[1];
    PCPROPERTY_ITEM MuteProperties[1];
    PCPROPERTY_ITEM VolumeProperties[1];
    PCAUTOMATION_TABLE FilterAutomation;
    PCAUTOMATION_TABLE MuteAutomation;
    PCAUTOMATION_TABLE VolumeAutomation;

    KSPIN_INTERFACE PinInterfaces[1];
    KSDATARANGE AnalogRange;
    PKSDATARANGE AnalogRanges[1];

    KSATTRIBUTE SignalProcessingMode;
    PKSATTRIBUTE SignalProcessingAttributes[1];
    KSATTRIBUTE_LIST SignalProcessingAttributeList;

    // Capture: bridge input pins at the head, streaming output pins at the tail. Render: streaming
    // input pins at the head, bridge output pins at the tail. Nodes sit in between.
    LIST_ENTRY CaptureChain;
    LIST_ENTRY RenderChain;
};
