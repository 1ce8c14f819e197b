// ByteRing: a ring of bytes between the ASIO client's requests and the stream engine, with debt
// accounting. Data that comes too late for an empty ring, or too much for a full one, never blocks
// the engine: it becomes debt, so that later data keeps its place in time (a reader owed bytes
// outputs fill first; a writer that delivered late drops what it owes).
//
// IRQL: <= DISPATCH_LEVEL, except Allocate and Free (PASSIVE_LEVEL). Each call takes the ring's
// lock; Reconcile takes both rings' locks, capture's first.
#pragma once

#include "platform/kernel.h"

class ByteRing {
public:
    void Initialize(bool isCapture);
    // A zero capacity is STATUS_INVALID_PARAMETER, a ring that exists STATUS_UNSUCCESSFUL. The
    // buffer is filled with the fill byte.
    NTSTATUS Allocate(POOL_TYPE poolType, ULONG capacity, ULONG bytesPerFrame, UCHAR fillByte);
    void Free();
    // These take the lock too: a ring comes and goes while the engine's DPCs look at it.
    bool Exists() const;

    // A reset brings it back to this much fill.
    void Prefill(ULONG bytes);
    void Reset();
    void Start();
    bool IsStarted() const;

    // Up to `bytes` into `destination`; without `partial` a shortfall becomes debt the writer
    // drops later. Returns the bytes read plus the fill owed bytes written first.
    ULONG Read(PUCHAR destination, ULONG bytes, bool partial);
    // Up to `bytes` from `source`; without `partial` what does not fit becomes debt the reader
    // outputs as fill. Returns the bytes stored plus the bytes a negative debt dropped.
    ULONG Write(const UCHAR* source, ULONG bytes, bool partial);

    // Cancels opposite debts in whole frames once either ring owes more than it holds.
    static void Reconcile(ByteRing& capture, ByteRing& render);

    ULONG Capacity() const;
    ULONG Filled() const;
    LONG Debt() const;
    UCHAR FillByte() const;
    ULONG BytesPerFrame() const;
    ULONG PrefillBytes() const;

private:
    // A consistent reading of one field.
    template <typename T>
    T Locked(const T& field) const
    {
        KLOCK_QUEUE_HANDLE lock;
        KeAcquireInStackQueuedSpinLock(&m_Lock, &lock);
        const T value = field;
        KeReleaseInStackQueuedSpinLock(&lock);
        return value;
    }

    void CopyOut(PUCHAR destination, ULONG bytes);
    void CopyIn(const UCHAR* source, ULONG bytes);

    mutable KSPIN_LOCK m_Lock;
    ULONG m_Capacity;
    ULONG m_Filled;
    ULONG m_BytesPerFrame;
    LONG m_Debt;
    ULONG m_WriteOffset;
    ULONG m_ReadOffset;
    PUCHAR m_Buffer;
    ULONG m_Prefill;
    ULONG m_Started;
    UCHAR m_FillByte;
    ULONG m_IsCapture;
};
