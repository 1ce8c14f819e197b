// CUSBCL: the driver's one gateway to the USB stack below its device object. It reads the device's
// descriptors, obtains the bus interface, learns the bus speed and the host controller's identity,
// selects the configuration and alternate settings, keeps the pipe information the stack returns,
// and submits URBs: synchronously for set-up and control traffic, asynchronously for isochronous
// streams, whose completions come back through one common routine at DISPATCH_LEVEL.
//
// The audio-class layer derives from it and supplies CheckTransfer.
#pragma once

#include "platform/kernel.h"
#include "platform/kernel_new.h"

class CUSBCL;

// Called once per asynchronous transfer, at DISPATCH_LEVEL. busFrames is the number of 1-ms
// frames the transfer covered.
typedef void (*TransferCallback)(NTSTATUS status, ULONG bytesTransferred, ULONG startFrame, PVOID callbackContext,
                                 ULONG busFrames);

// One per asynchronous transfer, from the transfer-context lookaside list.
struct TransferContext {
    PURB urb;
    PUSBD_PIPE_INFORMATION pipe;
    TransferCallback callback;
    PVOID callbackContext;
    CUSBCL* owner;
    PVOID extraBuffer;  // freed by the completion; used by transfers that carry their own copy
    ULONG extraBufferLength;
};

// The lookaside lists are sized for these; an isochronous URB never carries more packets.
constexpr ULONG kTransferContextBytes = 56;
constexpr ULONG kMaximumIsoPackets = 64;
constexpr ULONG kIsoUrbBytes = 920;
static_assert(sizeof(TransferContext) == kTransferContextBytes, "transfer contexts come from 56-byte entries");
static_assert(GET_ISO_URB_SIZE(kMaximumIsoPackets) == kIsoUrbBytes, "isochronous URBs come from 920-byte entries");
// Internal requests carry their arguments in Others.Argument1/2, which must not overlap the
// control code IoBuildDeviceIoControlRequest stores (Windows x64 pointer-aligns it).
static_assert(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.Others.Argument2) + sizeof(PVOID) <=
                  ULONG(FIELD_OFFSET(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode)),
              "Argument2 overlaps IoControlCode");

class CUSBCL : public PoolAllocated {
public:
    // IRQL: PASSIVE_LEVEL. Every allocation of the object uses `poolType` (non-paged, no-execute
    // where the platform offers it) and the pool tag "USBA".
    explicit CUSBCL(POOL_TYPE poolType);
    // IRQL: PASSIVE_LEVEL. All asynchronous transfers must have completed.
    virtual ~CUSBCL();
    CUSBCL(const CUSBCL&) = delete;
    CUSBCL& operator=(const CUSBCL&) = delete;

    // IRQL: DISPATCH_LEVEL. Called by the common completion routine before the callback; returns
    // the status the callback receives.
    virtual NTSTATUS CheckTransfer(NTSTATUS status, PURB urb, TransferContext* transferContext) = 0;

    // IRQL: PASSIVE_LEVEL for everything up to SendControlRequest, and for AbortPipe, ResetPipe
    // and CyclePort.
    NTSTATUS InitializeDevice(PDEVICE_OBJECT lowerDevice, ULONG irpCount);
    NTSTATUS GetBusInterface();
    NTSTATUS QueryHighSpeed();
    // Alternate 0 of every interface number below bNumInterfaces that exists, in number order,
    // ended by an empty entry; count = bNumInterfaces. The caller frees the list (tag "USBA").
    PUSBD_INTERFACE_LIST_ENTRY CreateInterfaceList(LONG* count);
    NTSTATUS ConfigurationRequest(PUSBD_INTERFACE_LIST_ENTRY interfaceList, LONG count);
    NTSTATUS SelectAlternate(UCHAR interfaceNumber, UCHAR alternate);
    // The pipe of that endpoint in the current interface table, or null. The reference is valid
    // until the next SelectAlternate of its interface.
    PUSBD_PIPE_INFORMATION FindPipe(UCHAR endpointAddress);
    NTSTATUS SubmitUrb(PURB urb);
    NTSTATUS SendControlRequest(UCHAR bmRequestType, UCHAR bRequest, USHORT wValue, USHORT wIndex, USHORT wLength,
                                PVOID buffer);
    NTSTATUS AbortPipe(PUSBD_PIPE_INFORMATION pipe);
    NTSTATUS ResetPipe(PUSBD_PIPE_INFORMATION pipe);
    NTSTATUS CyclePort();

    // IRQL: <= DISPATCH_LEVEL. The outcome of an accepted transfer reaches the callback.
    NTSTATUS SubmitTransfer(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length, ULONG transferFlags,
                            TransferCallback callback, PVOID callbackContext, ULONG startFrame);
    NTSTATUS SubmitInTransfer(PUSBD_PIPE_INFORMATION pipe, PVOID buffer, ULONG length, TransferCallback callback,
                              PVOID callbackContext, ULONG startFrame);
    NTSTATUS SubmitUrbAsync(PURB urb, TransferContext* transferContext);

    // IRQL: <= DISPATCH_LEVEL.
    ULONG GetPipeInterval(PUSBD_PIPE_INFORMATION pipe) const;
    ULONG PacketsToFrames(ULONG packets, PUSBD_PIPE_INFORMATION pipe) const;
    PIRP AllocateIrp();
    void RecycleIrp(PIRP irp);
    // Entries of the two lookaside lists; a context comes back zeroed but for its pipe, callback
    // and owner (this object).
    TransferContext* AllocateTransferContext(PUSBD_PIPE_INFORMATION pipe, TransferCallback callback,
                                             PVOID callbackContext);
    void FreeTransferContext(TransferContext* transferContext);
    PURB AllocateIsoUrb();
    void FreeIsoUrb(PURB urb);

    bool IsHighSpeed() const { return m_HighSpeed; }
    const USB_DEVICE_DESCRIPTOR& GetDeviceDescriptor() const { return m_DeviceDescriptor; }
    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() const { return m_ConfigurationDescriptor; }
    const USB_CONTROLLER_INFO_0& GetControllerInfo() const { return m_ControllerInfo; }
    const USB_BUS_INTERFACE_USBDI_V1& GetBusInterfaceTable() const { return m_BusInterface; }
    PDEVICE_OBJECT GetLowerDevice() const { return m_LowerDevice; }
    USBD_CONFIGURATION_HANDLE GetConfigurationHandle() const { return m_ConfigurationHandle; }
    POOL_TYPE GetPoolType() const { return m_PoolType; }

protected:
    static IO_COMPLETION_ROUTINE TransferComplete;

private:
    void QueryControllerInfo();
    NTSTATUS QueryUsbdiInterface(PUSB_BUS_INTERFACE_USBDI_V1 busInterface);
    NTSTATUS ReadDescriptor(UCHAR type, UCHAR index, PVOID buffer, ULONG length, PULONG returned);
    NTSTATUS ReadDeviceDescriptor();
    NTSTATUS ReadConfigurationDescriptor();
    NTSTATUS ReadLanguageIds();
    NTSTATUS CallLowerSynchronously(PDEVICE_OBJECT target, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK ioStatus);
    NTSTATUS SendInternalRequest(ULONG ioControlCode, PVOID argument1, PVOID argument2, NTSTATUS buildFailure);
    NTSTATUS PipeRequest(USHORT function, PUSBD_PIPE_INFORMATION pipe);
    void FreeInterfaceTable();
    void ReturnUrb(PURB urb);
    static ULONG CompactInPackets(struct _URB_ISOCH_TRANSFER* transfer, PUCHAR data);
    static void TraceFailedUrb(PURB urb);

    bool m_HighSpeed = false;
    USB_DEVICE_DESCRIPTOR m_DeviceDescriptor = {};
    PUSB_CONFIGURATION_DESCRIPTOR m_ConfigurationDescriptor = nullptr;
    USB_CONTROLLER_INFO_0 m_ControllerInfo = {};
    PDEVICE_OBJECT m_LowerDevice = nullptr;
    USBD_CONFIGURATION_HANDLE m_ConfigurationHandle = nullptr;
    LONG m_InterfaceCount = 0;
    PUSBD_INTERFACE_INFORMATION* m_Interfaces = nullptr;
    KMUTEX m_InterfaceMutex = {};
    PUSB_STRING_DESCRIPTOR m_LanguageIds = nullptr;
    USB_BUS_INTERFACE_USBDI_V1 m_BusInterface = {};
    LIST_ENTRY m_IrpFreeList = {};
    KSPIN_LOCK m_IrpListLock = 0;
    NPAGED_LOOKASIDE_LIST m_TransferContexts = {};
    NPAGED_LOOKASIDE_LIST m_IsoUrbs = {};
    POOL_TYPE m_PoolType;
};
