// Run-time library pieces that Windows provides inline or as macros: doubly and singly linked
// lists, interlocked operations and memory helpers.
#pragma once

#include <cstring>

#include "sim/api/base_types.h"

inline void InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }

inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry)
{
    PLIST_ENTRY next = entry->Flink;
    PLIST_ENTRY previous = entry->Blink;
    previous->Flink = next;
    next->Blink = previous;
    return next == previous;
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head)
{
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head)
{
    PLIST_ENTRY entry = head->Blink;
    RemoveEntryList(entry);
    return entry;
}

inline void InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    PLIST_ENTRY last = head->Blink;
    entry->Flink = head;
    entry->Blink = last;
    last->Flink = entry;
    head->Blink = entry;
}

inline void InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    PLIST_ENTRY first = head->Flink;
    entry->Flink = first;
    entry->Blink = head;
    first->Blink = entry;
    head->Flink = entry;
}

inline void PushEntryList(PSINGLE_LIST_ENTRY head, PSINGLE_LIST_ENTRY entry)
{
    entry->Next = head->Next;
    head->Next = entry;
}

inline PSINGLE_LIST_ENTRY PopEntryList(PSINGLE_LIST_ENTRY head)
{
    PSINGLE_LIST_ENTRY first = head->Next;
    if (first != nullptr) {
        head->Next = first->Next;
    }
    return first;
}

// Interlocked operations: full barriers, as on x64 Windows.
inline LONG InterlockedIncrement(LONG volatile* target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* target, LONG value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(LONG volatile* target, LONG value) { return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAdd(LONG volatile* target, LONG value) { return __atomic_add_fetch(target, value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedOr(LONG volatile* target, LONG value) { return __atomic_fetch_or(target, value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedAnd(LONG volatile* target, LONG value) { return __atomic_fetch_and(target, value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONG64 InterlockedIncrement64(LONG64 volatile* target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedDecrement64(LONG64 volatile* target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedExchange64(LONG64 volatile* target, LONG64 value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedExchangeAdd64(LONG64 volatile* target, LONG64 value) { return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST); }
inline LONG64 InterlockedCompareExchange64(LONG64 volatile* target, LONG64 exchange, LONG64 comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline void KeMemoryBarrier() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

inline void RtlZeroMemory(PVOID destination, SIZE_T length) { std::memset(destination, 0, length); }
inline void RtlFillMemory(PVOID destination, SIZE_T length, UCHAR fill) { std::memset(destination, fill, length); }
inline void RtlCopyMemory(PVOID destination, const void* source, SIZE_T length) { std::memcpy(destination, source, length); }
inline void RtlMoveMemory(PVOID destination, const void* source, SIZE_T length) { std::memmove(destination, source, length); }
inline SIZE_T RtlCompareMemory(const void* a, const void* b, SIZE_T length)
{
    const UCHAR* left = static_cast<const UCHAR*>(a);
    const UCHAR* right = static_cast<const UCHAR*>(b);
    SIZE_T same = 0;
    while (same < length && left[same] == right[same]) {
        ++same;
    }
    return same;
}
#define RtlEqualMemory(a, b, length) (std::memcmp((a), (b), (length)) == 0)
