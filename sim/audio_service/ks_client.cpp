#include "sim/audio_service/ks_client.h"

#include <cstring>
#include <memory>
#include <vector>

#include "sim/io/user_files.h"

namespace sim::audio {

namespace {

io::OpenParameters OverlappedReadWrite()
{
    io::OpenParameters parameters;
    parameters.access = GENERIC_READ | GENERIC_WRITE;
    parameters.synchronous = false;
    return parameters;
}

struct Completion {
    KEVENT event;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

}  // namespace

NTSTATUS KsHandle::OpenFilter(PDEVICE_OBJECT pdo, const std::u16string& referenceString)
{
    Close();
    return io::OpenUserFile(pdo, u"\\" + referenceString, OverlappedReadWrite(), &file_);
}

NTSTATUS KsHandle::CreatePin(KsHandle& filter, ULONG pinId, const WAVEFORMATEXTENSIBLE& format)
{
    Close();
    if (filter.file_ == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    KSPIN_CONNECT connect = {};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pinId;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    KSDATAFORMAT head = {};
    head.FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
    head.SampleSize = format.Format.nBlockAlign;
    head.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    head.SubFormat = format.SubFormat;
    head.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    // The create's name: the object class, a backslash, then the records, as ksuser builds it.
    std::vector<uint8_t> records(sizeof connect + head.FormatSize);
    std::memcpy(records.data(), &connect, sizeof connect);
    std::memcpy(records.data() + sizeof connect, &head, sizeof head);
    std::memcpy(records.data() + sizeof connect + sizeof head, &format, sizeof format);
    std::u16string name = std::u16string(KSSTRING_Pin) + u"\\";
    name.append(reinterpret_cast<const char16_t*>(records.data()), records.size() / sizeof(char16_t));
    return io::OpenRelatedUserFile(filter.file_, name, OverlappedReadWrite(), &file_);
}

void KsHandle::Close()
{
    if (file_ != nullptr) {
        io::CloseFileHandle(file_);
        io::ReleaseFileReference(file_);
        file_ = nullptr;
    }
}

PFILE_OBJECT KsHandle::File() const { return file_ == nullptr ? nullptr : io::FileObjectOf(file_); }

NTSTATUS KsHandle::Control(ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength,
                           ULONG_PTR* information)
{
    if (file_ == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    auto done = std::make_shared<Completion>();
    KeInitializeEvent(&done->event, NotificationEvent, FALSE);
    io::UserRequest request;
    request.controlCode = code;
    request.input = input;
    request.inputLength = inputLength;
    request.output = output;
    request.outputLength = outputLength;
    request.completion = [done](NTSTATUS status, ULONG_PTR bytes) {
        done->status = status;
        done->information = bytes;
        KeSetEvent(&done->event, IO_NO_INCREMENT, FALSE);
    };
    NTSTATUS status = io::SendUserRequest(file_, std::move(request));
    if (!NT_ERROR(status) || status == STATUS_PENDING) {
        KeWaitForSingleObject(&done->event, Executive, KernelMode, FALSE, nullptr);
        status = done->status;
    }
    if (information != nullptr) {
        *information = done->information;
    }
    return status;
}

NTSTATUS KsHandle::Property(const GUID& set, ULONG id, ULONG verb, const void* instance, ULONG instanceSize,
                            void* value, ULONG valueSize, ULONG* returned)
{
    KSPROPERTY property = {};
    property.Set = set;
    property.Id = id;
    property.Flags = verb;
    return SendProperty(&property, sizeof property, instance, instanceSize, value, valueSize, returned);
}

NTSTATUS KsHandle::NodeProperty(ULONG node, const GUID& set, ULONG id, ULONG verb, const void* instance,
                                ULONG instanceSize, void* value, ULONG valueSize, ULONG* returned)
{
    KSP_NODE property = {};
    property.Property.Set = set;
    property.Property.Id = id;
    property.Property.Flags = verb | KSPROPERTY_TYPE_TOPOLOGY;
    property.NodeId = node;
    return SendProperty(&property, sizeof property, instance, instanceSize, value, valueSize, returned);
}

// IOCTL_KS_PROPERTY's input is the property header with the instance data right behind it.
NTSTATUS KsHandle::SendProperty(const void* header, ULONG headerSize, const void* instance, ULONG instanceSize,
                                void* value, ULONG valueSize, ULONG* returned)
{
    std::vector<uint8_t> input(headerSize + instanceSize);
    std::memcpy(input.data(), header, headerSize);
    if (instanceSize != 0) {
        std::memcpy(input.data() + headerSize, instance, instanceSize);
    }
    ULONG_PTR information = 0;
    const NTSTATUS status =
        Control(IOCTL_KS_PROPERTY, input.data(), ULONG(input.size()), value, valueSize, &information);
    if (returned != nullptr) {
        *returned = ULONG(information);
    }
    return status;
}

NTSTATUS KsHandle::SetState(KSSTATE state)
{
    return Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET, nullptr, 0, &state,
                    sizeof state);
}

NTSTATUS KsHandle::Position(KSAUDIO_POSITION& position)
{
    return Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET, nullptr, 0, &position,
                    sizeof position);
}

NTSTATUS KsHandle::SendPacket(bool write, KSSTREAM_HEADER* header, std::function<void(NTSTATUS)> done)
{
    if (file_ == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    io::UserRequest request;
    request.controlCode = write ? IOCTL_KS_WRITE_STREAM : IOCTL_KS_READ_STREAM;
    request.output = header;
    request.outputLength = sizeof(KSSTREAM_HEADER);
    request.completion = [done = std::move(done)](NTSTATUS status, ULONG_PTR) { done(status); };
    return io::SendUserRequest(file_, std::move(request));
}

}  // namespace sim::audio
