// The private interfaces through which the kernel driver's parts reach each other: the adapter
// (one per device; everything that touches the device goes through it), its DSD and notify
// companions, and the wave miniport's engine callback. They are COM-style: IUnknown first, and
// the slot order below is the contract between the parts.
#pragma once

#include "driver/stream_direction.h"
#include "platform/kernel.h"

// The adapter and miniport objects use this tag; everything else the driver allocates uses "USBA".
inline constexpr ULONG kObjectPoolTag = 'rCcP';

struct IEngineCallback;

// {0517A569-8BB5-4A9D-8F6E-FE1E9BED9380}
inline constexpr GUID IID_IUsbAudioAdapter = {0x0517A569, 0x8BB5, 0x4A9D,
                                              {0x8F, 0x6E, 0xFE, 0x1E, 0x9B, 0xED, 0x93, 0x80}};

DECLARE_INTERFACE_(IUsbAudioAdapter, IUnknown)
{
    // Device start (slot 3).
    STDMETHOD_(NTSTATUS, Init)(THIS_ PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT FunctionalDeviceObject) PURE;
    // Reservations and the engine callback (slots 4 to 6).
    STDMETHOD_(NTSTATUS, ReserveDirections)(THIS_ BOOLEAN WantIn, BOOLEAN WantOut, BOOLEAN Exclusive) PURE;
    STDMETHOD_(NTSTATUS, ReleaseDirections)(THIS_ BOOLEAN In, BOOLEAN Out) PURE;
    STDMETHOD_(NTSTATUS, SetEngineCallback)(THIS_ IEngineCallback* Callback) PURE;
    // Capabilities and client formats (slots 7 to 11).
    STDMETHOD_(NTSTATUS, GetPinCapabilities)(THIS_ ULONG PinId, PULONG MaxChannels, PULONG MinBits, PULONG MaxBits,
                                             PULONG MinRate, PULONG MaxRate) PURE;
    STDMETHOD_(NTSTATUS, GetDirectionCapabilities)(THIS_ StreamDirection Direction, PULONG MaxChannels,
                                                   PULONG MinBits, PULONG MaxBits, PULONG MinRate,
                                                   PULONG MaxRate) PURE;
    STDMETHOD_(NTSTATUS, SetDirectionFormat)(THIS_ StreamDirection Direction, USHORT FormatTag, ULONG Channels,
                                             ULONG BitsPerSample, ULONG SampleRate) PURE;
    STDMETHOD_(NTSTATUS, ReplaceDirectionFormat)(THIS_ StreamDirection Direction, USHORT FormatTag, ULONG Channels,
                                                 ULONG BitsPerSample, ULONG SampleRate) PURE;
    STDMETHOD_(void, ClearDirectionFormat)(THIS_ StreamDirection Direction) PURE;
    // The stream engine (slots 12 to 17).
    STDMETHOD_(NTSTATUS, StartDirection)(THIS_ StreamDirection Direction) PURE;
    STDMETHOD_(NTSTATUS, StopDirection)(THIS_ StreamDirection Direction) PURE;
    STDMETHOD_(void, QueueRenderRegion)(THIS_ PVOID Buffer, ULONG Bytes) PURE;
    STDMETHOD_(void, QueueCaptureRegion)(THIS_ PVOID Buffer, ULONG Bytes, BOOLEAN LockHeld) PURE;
    STDMETHOD_(void, PurgeRenderRegions)(THIS) PURE;
    STDMETHOD_(void, PurgeCaptureRegions)(THIS) PURE;
    // Removal and the filter (slots 18 to 21).
    STDMETHOD_(void, OnDeviceRemoval)(THIS) PURE;
    STDMETHOD_(PPCFILTER_DESCRIPTOR, GetFilterDescriptor)(THIS) PURE;
    STDMETHOD_(NTSTATUS, HandleNodeProperty)(THIS_ PPCPROPERTY_REQUEST Request) PURE;
    STDMETHOD_(NTSTATUS, HandleJackProperty)(THIS_ PPCPROPERTY_REQUEST Request) PURE;
    // Formats, modes and the device rate (slots 22 to 28).
    STDMETHOD_(NTSTATUS, GetPinFormatRange)(THIS_ ULONG PinId, PULONG Channels, PULONG MinBits, PULONG MaxBits,
                                            PULONG MinRate, PULONG MaxRate) PURE;
    STDMETHOD_(NTSTATUS, SetDsdMode)(THIS_ USHORT Mode) PURE;
    STDMETHOD_(NTSTATUS, GetSignalProcessingModes)(THIS_ ULONG PinId, GUID* Mode, PULONG Count) PURE;
    STDMETHOD_(ULONG, GetTransferBufferBytes)(THIS_ StreamDirection Direction) PURE;
    STDMETHOD_(NTSTATUS, GetSampleRate)(THIS_ PULONG Rate) PURE;
    STDMETHOD_(NTSTATUS, SetSampleRate)(THIS_ ULONG Rate, PULONG Reregistered) PURE;
    STDMETHOD_(NTSTATUS, GetSampleRateRange)(THIS_ PULONG Lowest, PULONG Highest) PURE;
    // The filter descriptor slot (slots 29 to 31); slot 31 is slot 19 once more.
    STDMETHOD_(NTSTATUS, RebuildFilterDescriptor)(THIS) PURE;
    STDMETHOD_(NTSTATUS, FreeFilterDescriptor)(THIS) PURE;
    STDMETHOD_(PPCFILTER_DESCRIPTOR, GetFilterDescriptorEx)(THIS) PURE;
};
typedef IUsbAudioAdapter* PUSBAUDIOADAPTER;

// {B34786E0-F852-45AF-AA37-581562649FE9}; offered only by devices that take the native-DSD mode.
inline constexpr GUID IID_IUsbAudioAdapterDsd = {0xB34786E0, 0xF852, 0x45AF,
                                                 {0xAA, 0x37, 0x58, 0x15, 0x62, 0x64, 0x9F, 0xE9}};

DECLARE_INTERFACE_(IUsbAudioAdapterDsd, IUnknown)
{
    STDMETHOD_(NTSTATUS, SetDsdMode)(THIS_ USHORT Mode) PURE;
    STDMETHOD_(ULONG, IsDsdSupported)(THIS) PURE;
};

// {0B3BBE28-2FA1-49A9-B0CF-CA4DAADDB887}
inline constexpr GUID IID_IUsbAudioAdapterNotify = {0x0B3BBE28, 0x2FA1, 0x49A9,
                                                    {0xB0, 0xCF, 0xCA, 0x4D, 0xAA, 0xDD, 0xB8, 0x87}};

// Told of each position a wave stream reports; FALSE asks the caller to stop telling.
DECLARE_INTERFACE_(IUsbAudioAdapterNotify, IUnknown)
{
    STDMETHOD_(BOOLEAN, OnPositionReport)(THIS_ ULONG_PTR ElapsedMs, ULONG Position) PURE;
};

// {EA96548C-FFA9-4742-AD90-B1DF45BC536E}
inline constexpr GUID IID_IEngineCallback = {0xEA96548C, 0xFFA9, 0x4742,
                                             {0xAD, 0x90, 0xB1, 0xDF, 0x45, 0xBC, 0x53, 0x6E}};

// The wave miniport's side of streaming: the stream engine reports progress through it, and the
// adapter unregisters the wave filter through it. Every direction call works on that direction's
// stream only while the stream is there to take it, and does nothing otherwise.
// IRQL: slots 3 to 11 are called at DISPATCH_LEVEL from the engine's DPCs; slot 12 at PASSIVE_LEVEL.
DECLARE_INTERFACE_(IEngineCallback, IUnknown)
{
    STDMETHOD_(void, NotifyPort)(THIS_ StreamDirection Direction) PURE;
    STDMETHOD_(void, SilenceRegion)(THIS_ StreamDirection Direction, PVOID Buffer, ULONG Bytes) PURE;
    STDMETHOD_(void, AdvanceClock)(THIS_ StreamDirection Direction, ULONG Bytes, ULONG Duration) PURE;
    STDMETHOD_(void, ResetRenderClock)(THIS_ ULONG Flag) PURE;
    STDMETHOD_(void, RestartClock)(THIS_ StreamDirection Direction) PURE;
    STDMETHOD_(BOOLEAN, AcquireStream)(THIS_ StreamDirection Direction) PURE;
    STDMETHOD_(void, ReleaseStream)(THIS_ StreamDirection Direction) PURE;
    STDMETHOD_(void, ReportRenderBytes)(THIS_ StreamDirection Direction, ULONG Bytes, ULONG Duration) PURE;
    STDMETHOD_(void, RequeueCapture)(THIS_ StreamDirection Direction) PURE;
    STDMETHOD_(NTSTATUS, UnregisterSubdevice)(THIS_ PDEVICE_OBJECT DeviceObject) PURE;
};
typedef IEngineCallback* PENGINECALLBACK;

// {9EF5377C-4927-4A98-8E13-359F4A9AA313}
inline constexpr GUID IID_IUsbWaveModes = {0x9EF5377C, 0x4927, 0x4A98,
                                           {0x8E, 0x13, 0x35, 0x9F, 0x4A, 0x9A, 0xA3, 0x13}};

// The signal-processing modes of a pin, as the adapter reports them.
DECLARE_INTERFACE_(IUsbWaveModes, IUnknown)
{
    STDMETHOD_(NTSTATUS, GetModes)(THIS_ ULONG PinId, GUID* Mode, PULONG Count) PURE;
};
