// The wave stream's IDmaChannel: a cyclic buffer in non-paged memory that the port copies into
// (render) and out of (capture). There is no hardware and no physical address to offer; the copies
// wrap at the buffer end themselves, so a copy the port does not split still lands in the buffer.
#include "driver/driver_tuning.h"
#include "driver/miniport/usb_wave_stream.h"
#include "driver/trace.h"
#include "driver/trace_dump.h"

namespace {

constexpr LONG kDumpCopiedIn = -1;
constexpr LONG kDumpCopiedOut = 1;

}  // namespace

STDMETHODIMP_(NTSTATUS) UsbWaveStream::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS)
{
    PAGED_CODE();
    if (bufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    FreeBuffer();
    m_Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(g_DriverTuning.poolType, bufferSize, kDefaultPoolTag));
    if (m_Buffer == nullptr) {
        R9_TRACE("UsbWaveStream: no memory for a buffer of %u bytes\n", unsigned(bufferSize));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(m_Buffer, bufferSize);
    m_AllocatedSize = bufferSize;
    m_BufferSize = bufferSize;
    m_RenderOffset = 0;
    m_Clock.Initialize(bufferSize);
    return STATUS_SUCCESS;
}

STDMETHODIMP_(void) UsbWaveStream::FreeBuffer()
{
    if (m_Buffer != nullptr) {
        ExFreePoolWithTag(m_Buffer, kDefaultPoolTag);
        m_Buffer = nullptr;
    }
    m_AllocatedSize = 0;
    m_BufferSize = 0;
}

STDMETHODIMP_(ULONG) UsbWaveStream::TransferCount() { return m_BufferSize; }

STDMETHODIMP_(ULONG) UsbWaveStream::MaximumBufferSize()
{
    return WaveBytesForMilliseconds(m_Format.blockAlign, m_Format.sampleRate, kCyclicBufferMs);
}

STDMETHODIMP_(ULONG) UsbWaveStream::AllocatedBufferSize() { return m_AllocatedSize; }

STDMETHODIMP_(ULONG) UsbWaveStream::BufferSize() { return m_BufferSize; }

// A buffer shorter than what the engine has in flight would be overwritten before it was played.
// The position follows the new size, so that it never lies beyond the buffer the port uses.
STDMETHODIMP_(void) UsbWaveStream::SetBufferSize(ULONG bufferSize)
{
    if (bufferSize > m_AllocatedSize || bufferSize < m_PipelineBytes || bufferSize == 0) {
        R9_TRACE("UsbWaveStream: buffer size %u ignored (allocated %u, pipeline %u)\n", unsigned(bufferSize),
                 unsigned(m_AllocatedSize), unsigned(m_PipelineBytes));
        return;
    }
    m_BufferSize = bufferSize;
    m_RenderOffset = 0;
    m_Clock.Initialize(bufferSize);
}

STDMETHODIMP_(PVOID) UsbWaveStream::SystemAddress() { return m_Buffer; }

STDMETHODIMP_(PHYSICAL_ADDRESS) UsbWaveStream::PhysicalAddress()
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = LONGLONG(reinterpret_cast<ULONG_PTR>(m_Buffer));
    return address;
}

STDMETHODIMP_(PADAPTER_OBJECT) UsbWaveStream::GetAdapterObject() { return nullptr; }

ULONG UsbWaveStream::SpanToEnd(ULONG offset, ULONG bytes) const
{
    const ULONG room = m_BufferSize - offset;
    return bytes < room ? bytes : room;
}

bool UsbWaveStream::InBuffer(const void* pointer) const
{
    const auto* byte = static_cast<const UCHAR*>(pointer);
    return m_Buffer != nullptr && byte >= m_Buffer && byte < m_Buffer + m_BufferSize;
}

STDMETHODIMP_(void) UsbWaveStream::CopyTo(PVOID destination, PVOID source, ULONG byteCount)
{
    if (!InBuffer(destination) || source == nullptr) {
        R9_TRACE("UsbWaveStream: copy of %u bytes to outside the buffer ignored\n", unsigned(byteCount));
        return;
    }
    if (byteCount > m_BufferSize) {
        byteCount = m_BufferSize;
    }
    const ULONG offset = ULONG(static_cast<PUCHAR>(destination) - m_Buffer);
    const ULONG first = SpanToEnd(offset, byteCount);
    if (g_DriverTuning.dumpSelector == kDumpCopiedIn) {
        TraceHexDump("UsbWaveStream", "copied in", static_cast<const UCHAR*>(source), byteCount);
    }
    RtlCopyMemory(m_Buffer + offset, source, first);
    RtlCopyMemory(m_Buffer, static_cast<PUCHAR>(source) + first, byteCount - first);
}

// What the port reads out has been delivered: the engine may fill that part again, so it goes back
// on the capture queue behind what is queued already.
STDMETHODIMP_(void) UsbWaveStream::CopyFrom(PVOID destination, PVOID source, ULONG byteCount)
{
    if (!InBuffer(source) || destination == nullptr) {
        R9_TRACE("UsbWaveStream: copy of %u bytes from outside the buffer ignored\n", unsigned(byteCount));
        return;
    }
    if (byteCount > m_BufferSize) {
        byteCount = m_BufferSize;
    }
    const ULONG offset = ULONG(static_cast<PUCHAR>(source) - m_Buffer);
    const ULONG first = SpanToEnd(offset, byteCount);
    RtlCopyMemory(destination, m_Buffer + offset, first);
    RtlCopyMemory(static_cast<PUCHAR>(destination) + first, m_Buffer, byteCount - first);
    if (g_DriverTuning.dumpSelector == kDumpCopiedOut) {
        TraceHexDump("UsbWaveStream", "copied out", static_cast<const UCHAR*>(destination), byteCount);
    }
    if (!m_Capture) {
        return;
    }
    if (first != 0) {
        m_Adapter->QueueCaptureRegion(m_Buffer + offset, first, FALSE);
    }
    if (byteCount > first) {
        m_Adapter->QueueCaptureRegion(m_Buffer, byteCount - first, FALSE);
    }
}
