// The kernel-streaming requests on an adapter's device object: creates of filters (the file name
// is a subdevice's name) and of pins (relative to an open filter: the file name is KSSTRING_Pin,
// a backslash, the KSPIN_CONNECT and the data format), their cleanup and close, and the I/O
// controls: properties on both, stream packets on pins.
#include <cstring>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/portcls/ks_objects.h"
#include "sim/portcls/portcls_sim.h"
#include "sim/portcls/wave_cyclic_pin.h"
#include "sim/portcls/wave_cyclic_port.h"

namespace sim::portcls {

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::u16string FileNameOf(PFILE_OBJECT file)
{
    if (file == nullptr || file->FileName.Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t*>(file->FileName.Buffer),
                          file->FileName.Length / sizeof(WCHAR));
}

KsObject* NewObject(KsObjectKind kind, WaveCyclicPort* port, WaveCyclicPin* pin)
{
    auto* object = static_cast<KsObject*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KsObject), kPortClsTag));
    if (object != nullptr) {
        object->kind = kind;
        object->port = port;
        object->pin = pin;
    }
    return object;
}

NTSTATUS CreateFilter(AdapterDevice& adapter, PFILE_OBJECT file)
{
    std::u16string name = FileNameOf(file);
    if (!name.empty() && name[0] == u'\\') {
        name.erase(0, 1);
    }
    WaveCyclicPort* port = FindSubdevicePort(adapter, name);
    if (port == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    KsObject* object = NewObject(KsObjectKind::Filter, port, nullptr);
    if (object == nullptr) {
        port->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    file->FsContext = object;
    file->FsContext2 = object;
    return STATUS_SUCCESS;
}

NTSTATUS CreatePin(KsObject& filter, PFILE_OBJECT file)
{
    static const std::u16string kPinPrefix = std::u16string(KSSTRING_Pin) + u"\\";
    const std::u16string name = FileNameOf(file);
    if (name.compare(0, kPinPrefix.size(), kPinPrefix) != 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const auto* bytes = reinterpret_cast<const UCHAR*>(name.data() + kPinPrefix.size());
    const size_t length = (name.size() - kPinPrefix.size()) * sizeof(char16_t);
    if (length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) {
        return STATUS_INVALID_PARAMETER;
    }
    KSPIN_CONNECT connect;
    std::memcpy(&connect, bytes, sizeof connect);
    KSDATAFORMAT head;
    std::memcpy(&head, bytes + sizeof connect, sizeof head);
    if (head.FormatSize < sizeof(KSDATAFORMAT) || head.FormatSize > length - sizeof connect) {
        return STATUS_INVALID_PARAMETER;
    }
    // The format as a whole, aligned as KS hands it on.
    std::vector<LONGLONG> format((head.FormatSize + sizeof(LONGLONG) - 1) / sizeof(LONGLONG));
    std::memcpy(format.data(), bytes + sizeof connect, head.FormatSize);
    WaveCyclicPin* pin = nullptr;
    NTSTATUS status = filter.port->CreatePin(connect, *reinterpret_cast<const KSDATAFORMAT*>(format.data()), &pin);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    filter.port->AddRef();
    KsObject* object = NewObject(KsObjectKind::Pin, filter.port, pin);
    if (object == nullptr) {
        filter.port->ClosePin(pin);
        pin->Release();
        filter.port->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    file->FsContext = object;
    file->FsContext2 = object;
    return STATUS_SUCCESS;
}

}  // namespace

KsObject* KsObjectOf(PFILE_OBJECT file)
{
    if (file == nullptr || file->FsContext2 == nullptr || file->FsContext != file->FsContext2) {
        return nullptr;
    }
    auto* object = static_cast<KsObject*>(file->FsContext2);
    return object->kind == KsObjectKind::Filter || object->kind == KsObjectKind::Pin ? object : nullptr;
}

NTSTATUS CreateKsObject(AdapterDevice& adapter, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (adapter.state != DeviceState::Started) {
        return Complete(irp, adapter.state == DeviceState::Added ? STATUS_DEVICE_NOT_READY : STATUS_DELETE_PENDING);
    }
    if (file == nullptr) {
        return Complete(irp, STATUS_INVALID_PARAMETER);
    }
    NTSTATUS status;
    if (file->RelatedFileObject == nullptr) {
        status = CreateFilter(adapter, file);
    } else {
        KsObject* parent = KsObjectOf(file->RelatedFileObject);
        status = parent == nullptr || parent->kind != KsObjectKind::Filter ? STATUS_INVALID_DEVICE_REQUEST
                                                                          : CreatePin(*parent, file);
    }
    if (NT_SUCCESS(status)) {
        InterlockedIncrement(&adapter.openFiles);
    }
    irp->IoStatus.Information = 0;
    return Complete(irp, status);
}

NTSTATUS CleanupKsObject(PIRP irp)
{
    KsObject* object = KsObjectOf(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (object != nullptr && object->pin != nullptr) {
        object->pin->CancelPackets();
    }
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS CloseKsObject(AdapterDevice& adapter, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    KsObject* object = KsObjectOf(file);
    if (object != nullptr) {
        if (object->pin != nullptr) {
            object->port->ClosePin(object->pin);
            object->pin->Release();
        }
        object->port->Release();
        file->FsContext = nullptr;
        file->FsContext2 = nullptr;
        ExFreePoolWithTag(object, kPortClsTag);
        InterlockedDecrement(&adapter.openFiles);
    }
    return Complete(irp, STATUS_SUCCESS);
}

bool PinCountersOf(PFILE_OBJECT pinFile, PinCounters& counters)
{
    KsObject* object = KsObjectOf(pinFile);
    if (object == nullptr || object->pin == nullptr) {
        return false;
    }
    counters = object->pin->Counters();
    return true;
}

NTSTATUS ControlKsObject(PIRP irp)
{
    KsObject* object = KsObjectOf(IoGetCurrentIrpStackLocation(irp)->FileObject);
    if (object == nullptr) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    const ULONG code = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode;
    irp->IoStatus.Information = 0;
    if (code == IOCTL_KS_PROPERTY) {
        return Complete(irp, DispatchProperty(*object, irp));
    }
    if ((code == IOCTL_KS_WRITE_STREAM || code == IOCTL_KS_READ_STREAM) && object->pin != nullptr) {
        const NTSTATUS status = object->pin->QueueStreamIrp(irp);
        return status == STATUS_PENDING ? status : Complete(irp, status);
    }
    return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

}  // namespace sim::portcls
