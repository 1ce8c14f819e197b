#include "driver/engine/byte_ring.h"

#include "driver/trace.h"
#include "platform/kernel_new.h"

namespace {

// The buffer is a whole number of 32-bit words, so that word-sized copies never run off its end.
ULONG RoundToWords(ULONG bytes) { return (bytes + 3) & ~ULONG(3); }

ULONG Smaller(ULONG a, ULONG b) { return a < b ? a : b; }

LONG Magnitude(LONG value) { return value < 0 ? -value : value; }

}  // namespace

void ByteRing::Initialize(bool isCapture)
{
    KeInitializeSpinLock(&m_Lock);
    m_Capacity = 0;
    m_Filled = 0;
    m_BytesPerFrame = 0;
    m_Debt = 0;
    m_WriteOffset = 0;
    m_ReadOffset = 0;
    m_Buffer = nullptr;
    m_Prefill = 0;
    m_Started = 0;
    m_FillByte = 0;
    m_IsCapture = isCapture ? 1 : 0;
}

NTSTATUS ByteRing::Allocate(POOL_TYPE poolType, ULONG capacity, ULONG bytesPerFrame, UCHAR fillByte)
{
    PAGED_CODE();
    if (m_Buffer != nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    if (capacity == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG allocated = RoundToWords(capacity);
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(poolType, allocated, kDefaultPoolTag));
    if (buffer == nullptr) {
        R9_TRACE("ByteRing: no memory for %u bytes\n", unsigned(allocated));
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlFillMemory(buffer, allocated, fillByte);
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    m_Buffer = buffer;
    m_Capacity = capacity;
    m_BytesPerFrame = bytesPerFrame;
    m_FillByte = fillByte;
    m_Filled = 0;
    m_Debt = 0;
    m_WriteOffset = 0;
    m_ReadOffset = 0;
    m_Prefill = 0;
    m_Started = 0;
    KeReleaseInStackQueuedSpinLock(&lock);
    return STATUS_SUCCESS;
}

bool ByteRing::Exists() const { return Locked(m_Capacity) != 0; }
bool ByteRing::IsStarted() const { return Locked(m_Started) != 0; }
ULONG ByteRing::Capacity() const { return Locked(m_Capacity); }
ULONG ByteRing::Filled() const { return Locked(m_Filled); }
LONG ByteRing::Debt() const { return Locked(m_Debt); }
UCHAR ByteRing::FillByte() const { return Locked(m_FillByte); }
ULONG ByteRing::BytesPerFrame() const { return Locked(m_BytesPerFrame); }
ULONG ByteRing::PrefillBytes() const { return Locked(m_Prefill); }

void ByteRing::Free()
{
    PUCHAR buffer;
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    buffer = m_Buffer;
    m_Buffer = nullptr;
    m_Capacity = 0;
    m_Filled = 0;
    m_BytesPerFrame = 0;
    m_Debt = 0;
    m_WriteOffset = 0;
    m_ReadOffset = 0;
    m_Prefill = 0;
    m_Started = 0;
    m_FillByte = 0;
    KeReleaseInStackQueuedSpinLock(&lock);
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, kDefaultPoolTag);
    }
}

void ByteRing::Prefill(ULONG bytes)
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    m_Prefill = Smaller(bytes, m_Capacity);
    m_Filled = m_Prefill;
    m_WriteOffset = m_Capacity == 0 ? 0 : m_Prefill % m_Capacity;
    m_ReadOffset = 0;
    m_Debt = 0;
    m_Started = 0;
    KeReleaseInStackQueuedSpinLock(&lock);
}

void ByteRing::Reset()
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    m_Filled = m_Prefill;
    m_WriteOffset = m_Capacity == 0 ? 0 : m_Prefill % m_Capacity;
    m_ReadOffset = 0;
    m_Debt = 0;
    m_Started = 0;
    if (m_Buffer != nullptr) {
        RtlFillMemory(m_Buffer, RoundToWords(m_Capacity), m_FillByte);
    }
    KeReleaseInStackQueuedSpinLock(&lock);
}

void ByteRing::Start()
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    m_Started = 1;
    KeReleaseInStackQueuedSpinLock(&lock);
}

void ByteRing::CopyOut(PUCHAR destination, ULONG bytes)
{
    const ULONG first = Smaller(bytes, m_Capacity - m_ReadOffset);
    RtlCopyMemory(destination, m_Buffer + m_ReadOffset, first);
    RtlCopyMemory(destination + first, m_Buffer, bytes - first);
    m_ReadOffset = (m_ReadOffset + bytes) % m_Capacity;
    m_Filled -= bytes;
}

void ByteRing::CopyIn(const UCHAR* source, ULONG bytes)
{
    const ULONG first = Smaller(bytes, m_Capacity - m_WriteOffset);
    RtlCopyMemory(m_Buffer + m_WriteOffset, source, first);
    RtlCopyMemory(m_Buffer, source + first, bytes - first);
    m_WriteOffset = (m_WriteOffset + bytes) % m_Capacity;
    m_Filled += bytes;
}

// The capture ring is read whether started or not (it stores only once started); the render ring
// gives nothing until it is started.
ULONG ByteRing::Read(PUCHAR destination, ULONG bytes, bool partial)
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    ULONG done = 0;
    if (m_Buffer != nullptr && (m_Started != 0 || m_IsCapture != 0)) {
        if (m_Debt > 0) {
            const ULONG owed = Smaller(bytes, ULONG(m_Debt));
            RtlFillMemory(destination, owed, m_FillByte);
            m_Debt -= LONG(owed);
            destination += owed;
            bytes -= owed;
            done += owed;
        }
        const ULONG available = Smaller(m_Filled, bytes);
        if (!partial && available < bytes) {
            m_Debt -= LONG(bytes - available);
        }
        CopyOut(destination, available);
        done += available;
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    return done;
}

// The render ring takes data whether started or not; the capture ring only once started.
ULONG ByteRing::Write(const UCHAR* source, ULONG bytes, bool partial)
{
    KLOCK_QUEUE_HANDLE lock;
    KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
    ULONG done = 0;
    if (m_Buffer != nullptr && (m_Started != 0 || m_IsCapture == 0)) {
        if (m_Debt < 0) {
            const ULONG dropped = Smaller(bytes, ULONG(-m_Debt));
            m_Debt += LONG(dropped);
            source += dropped;
            bytes -= dropped;
            done += dropped;
        }
        const ULONG room = Smaller(m_Capacity - m_Filled, bytes);
        if (!partial && room < bytes) {
            R9_TRACE("ByteRing: %c ring full, %u bytes become debt\n", m_IsCapture != 0 ? 'i' : 'o',
                     unsigned(bytes - room));
            m_Debt += LONG(bytes - room);
        }
        CopyIn(source, room);
        done += room;
    }
    KeReleaseInStackQueuedSpinLock(&lock);
    return done;
}

void ByteRing::Reconcile(ByteRing& capture, ByteRing& render)
{
    KLOCK_QUEUE_HANDLE captureLock;
    KLOCK_QUEUE_HANDLE renderLock;
    KeAcquireInStackQueuedSpinLock(&capture.m_Lock, &captureLock);
    KeAcquireInStackQueuedSpinLock(&render.m_Lock, &renderLock);
    const LONG captureFrame = LONG(capture.m_BytesPerFrame);
    const LONG renderFrame = LONG(render.m_BytesPerFrame);
    const bool opposite = (capture.m_Debt < 0 && render.m_Debt > 0) || (capture.m_Debt > 0 && render.m_Debt < 0);
    if (opposite && captureFrame != 0 && renderFrame != 0 &&
        (Magnitude(capture.m_Debt) > LONG(capture.m_Capacity) || Magnitude(render.m_Debt) > LONG(render.m_Capacity))) {
        if (Magnitude(capture.m_Debt) / captureFrame < Magnitude(render.m_Debt) / renderFrame) {
            render.m_Debt += renderFrame * (capture.m_Debt / captureFrame);
            capture.m_Debt = 0;
        } else {
            capture.m_Debt += captureFrame * (render.m_Debt / renderFrame);
            render.m_Debt = 0;
        }
    }
    KeReleaseInStackQueuedSpinLock(&renderLock);
    KeReleaseInStackQueuedSpinLock(&captureLock);
}
