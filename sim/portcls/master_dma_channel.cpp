// IPortWaveCyclic::NewMasterDmaChannel's channel: a common buffer for a bus-master device, which
// PortCls allocates on AllocateBuffer (at most the channel's maximum length) and copies into and
// out of for the port. Its copies take a contiguous part of the buffer, as documented; one that
// would run past the buffer's end is a caller's error the verifier reports.
#include <string>

#include "sim/kernel/machine.h"
#include "sim/portcls/adapter_device.h"
#include "sim/portcls/kernel_unknown.h"

namespace sim::portcls {

namespace {

class CommonBufferDmaChannel final : public IDmaChannel, public KernelReferences, public PoolAllocated {
public:
    explicit CommonBufferDmaChannel(ULONG maximumLength) : maximumLength_(maximumLength) {}

    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* object) override
    {
        return AnswerQuery(interfaceId, object, static_cast<IDmaChannel*>(this), {&IID_IDmaChannel});
    }
    STDMETHODIMP_(ULONG) AddRef() override { return AddReference(); }
    STDMETHODIMP_(ULONG) Release() override { return DropReference(); }

    STDMETHODIMP_(NTSTATUS) AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS) override
    {
        if (bufferSize == 0 || bufferSize > maximumLength_) {
            return STATUS_INVALID_PARAMETER;
        }
        FreeBuffer();
        buffer_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bufferSize, kPortClsTag));
        if (buffer_ == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        allocated_ = bufferSize;
        size_ = bufferSize;
        return STATUS_SUCCESS;
    }
    STDMETHODIMP_(void) FreeBuffer() override
    {
        if (buffer_ != nullptr) {
            ExFreePoolWithTag(buffer_, kPortClsTag);
            buffer_ = nullptr;
        }
        allocated_ = 0;
        size_ = 0;
    }
    STDMETHODIMP_(ULONG) TransferCount() override { return maximumLength_; }
    STDMETHODIMP_(ULONG) MaximumBufferSize() override { return maximumLength_; }
    STDMETHODIMP_(ULONG) AllocatedBufferSize() override { return allocated_; }
    STDMETHODIMP_(ULONG) BufferSize() override { return size_; }
    // Kept only for the channel's clients to agree on; never beyond what was allocated.
    STDMETHODIMP_(void) SetBufferSize(ULONG bufferSize) override
    {
        if (bufferSize <= allocated_) {
            size_ = bufferSize;
        }
    }
    STDMETHODIMP_(PVOID) SystemAddress() override { return buffer_; }
    STDMETHODIMP_(PHYSICAL_ADDRESS) PhysicalAddress() override
    {
        PHYSICAL_ADDRESS address;
        address.QuadPart = LONGLONG(reinterpret_cast<ULONG_PTR>(buffer_));
        return address;
    }
    STDMETHODIMP_(PADAPTER_OBJECT) GetAdapterObject() override { return nullptr; }
    STDMETHODIMP_(void) CopyTo(PVOID destination, PVOID source, ULONG byteCount) override
    {
        if (Inside(destination, byteCount, "CopyTo")) {
            RtlCopyMemory(destination, source, byteCount);
        }
    }
    STDMETHODIMP_(void) CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override
    {
        if (Inside(source, byteCount, "CopyFrom")) {
            RtlCopyMemory(destination, source, byteCount);
        }
    }

private:
    ~CommonBufferDmaChannel() override { FreeBuffer(); }

    bool Inside(PVOID pointer, ULONG byteCount, const char* method)
    {
        const auto* start = static_cast<const UCHAR*>(pointer);
        if (buffer_ != nullptr && start >= buffer_ && byteCount <= allocated_ && start - buffer_ <= allocated_ - byteCount) {
            return true;
        }
        Machine::Current().Verify().Report("IDmaChannel", std::string(method) + " of " + std::to_string(byteCount) +
                                                              " bytes outside the common buffer");
        return false;
    }

    ULONG maximumLength_;
    PUCHAR buffer_ = nullptr;
    ULONG allocated_ = 0;
    ULONG size_ = 0;
};

}  // namespace

NTSTATUS NewCommonBufferDmaChannel(ULONG maximumLength, PDMACHANNEL* channel)
{
    *channel = new (NonPagedPoolNx, kPortClsTag) CommonBufferDmaChannel(maximumLength);
    return *channel == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

}  // namespace sim::portcls
