#include "driver/usbaudio/filter_tables.h"

namespace {

void FillPropertyItem(PCPROPERTY_ITEM* item, const GUID* set, ULONG id, ULONG flags)
{
    item->Set = set;
    item->Id = id;
    item->Flags = flags;
    item->Handler = nullptr;
}

void FillAutomationTable(PCAUTOMATION_TABLE* table, const PCPROPERTY_ITEM* properties)
{
    RtlZeroMemory(table, sizeof(*table));
    table->PropertyItemSize = sizeof(PCPROPERTY_ITEM);
    table->PropertyCount = 1;
    table->Properties = properties;
}

}  // namespace

UsbAudioFilterTables::UsbAudioFilterTables()
{
    constexpr ULONG kGetSetBasicSupport =
        PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;
    FillPropertyItem(&FilterProperties[0], &KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
                     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT);
    FillPropertyItem(&MuteProperties[0], &KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, kGetSetBasicSupport);
    FillPropertyItem(&VolumeProperties[0], &KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, kGetSetBasicSupport);
    FillAutomationTable(&FilterAutomation, FilterProperties);
    FillAutomationTable(&MuteAutomation, MuteProperties);
    FillAutomationTable(&VolumeAutomation, VolumeProperties);

    RtlZeroMemory(PinInterfaces, sizeof(PinInterfaces));
    PinInterfaces[0].Set = KSINTERFACESETID_Standard;
    PinInterfaces[0].Id = KSINTERFACE_STANDARD_STREAMING;

    RtlZeroMemory(&AnalogRange, sizeof(AnalogRange));
    AnalogRange.FormatSize = sizeof(KSDATARANGE);
    AnalogRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    AnalogRange.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    AnalogRanges[0] = &AnalogRange;

    SignalProcessingMode.Size = sizeof(KSATTRIBUTE);
    SignalProcessingMode.Flags = 0;
    SignalProcessingMode.Attribute = KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;
    SignalProcessingAttributes[0] = &SignalProcessingMode;
    SignalProcessingAttributeList.Count = 1;
    SignalProcessingAttributeList.Attributes = SignalProcessingAttributes;

    ResetChains();
}

void UsbAudioFilterTables::SetPropertyHandlers(PCPFNPROPERTY_HANDLER componentId, PCPFNPROPERTY_HANDLER nodeProperty)
{
    FilterProperties[0].Handler = componentId;
    MuteProperties[0].Handler = nodeProperty;
    VolumeProperties[0].Handler = nodeProperty;
}

void UsbAudioFilterTables::ResetChains()
{
    InitializeListHead(&CaptureChain);
    InitializeListHead(&RenderChain);
}
