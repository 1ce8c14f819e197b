// The driver's private interface: handles opened on the device object with the file name "\asio"
// by the driver's own user-mode parts (the ASIO driver and the device access library). Each handle
// carries an AsioHandleContext in its file object's FsContext2; the driver's dispatch routines
// recognise the handles by the context's tag and pass everything else on to PortCls.
#pragma once

#include "driver/adapter/usb_audio_adapter.h"

// "asio" as a little-endian multi-character constant: the first four bytes of every context.
inline constexpr ULONG kAsioHandleTag = 0x6173696F;

// A handle's place in the ASIO sequence. At most one handle of a device is past kHandleOpen at a
// time: the one holding the adapter's owner flag.
enum AsioHandleState : ULONG {
    kHandleClosing = 0,
    kHandleOpen = 1,
    kHandleOwner = 2,
    kHandlePrepared = 3,  // the ASIO stream is open
    kHandleRunning = 4,   // the ASIO stream runs
};

// Non-paged, pool tag "USBA"; lives from create to close.
struct AsioHandleContext {
    ULONG tag;
    // Referenced while the handle is open: PortCls lets the adapter go at removal, the handle may
    // still be closed after it.
    IUsbAudioAdapter* adapter;
    ULONG state;
};

// The input of 0x22201C, which opens the ASIO stream: 18 bytes, packed, little-endian.
#pragma pack(push, 1)
struct AsioOpenRecord {
    ULONG bufferFrames;  // per ASIO buffer half (32-bit words in native DSD)
    ULONG wantInput;
    ULONG wantOutput;
    ULONG bufferPercent;  // of the client's buffer-size range; above 100 counts as 100
    USHORT mode;          // 1: native DSD; anything else PCM
};
#pragma pack(pop)
static_assert(sizeof(AsioOpenRecord) == 18, "the open record's size is part of the interface");

// The longest buffer half an open may ask for. The rings are sized from it in non-paged pool, so
// a caller must not be able to ask for gigabytes; the package's ASIO driver asks at most 4096
// frames (4096 words in native DSD), and eight times that leaves room for other clients while
// every ring of the R9 stays below 2 MB.
inline constexpr ULONG kMaximumAsioBufferFrames = 32768;

// UsbAudioAdapter is the one implementation of the adapter interface.
inline UsbAudioAdapter& HandleAdapter(const AsioHandleContext& context)
{
    return *static_cast<UsbAudioAdapter*>(context.adapter);
}

// The handlers behind the dispatch routines. IRQL: PASSIVE_LEVEL. Each returns the status the
// request completes with; the returned byte count is set by the device-control handler only.
NTSTATUS CreateAsioHandle(PDEVICE_OBJECT deviceObject, PFILE_OBJECT file);
NTSTATUS CleanupAsioHandle(PFILE_OBJECT file, AsioHandleContext* context);
// Frees the context: FsContext2 is cleared.
NTSTATUS CloseAsioHandle(PFILE_OBJECT file, AsioHandleContext* context);
NTSTATUS HandleAsioControl(AsioHandleContext* context, PIRP irp);
NTSTATUS HandleAsioData(AsioHandleContext* context, PIRP irp);
// Clears the owner flag (1 -> 0); a flag that was not set is traced. Under the ASIO mutex.
void GiveUpOwnership(UsbAudioAdapter& adapter);

// Puts the driver's dispatch routines for create, cleanup, close, device control, read and write
// in place. IRQL: PASSIVE_LEVEL, from DriverEntry once PortCls has filled in the driver object.
void InstallPrivateDispatch(PDRIVER_OBJECT driverObject);
