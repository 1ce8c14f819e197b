// Base types, status codes and I/O control codes: the LLP64 widths and published values that every
// other declaration builds on.
#include "platform/kernel.h"

#include <cstddef>

static_assert(sizeof(UCHAR) == 1);
static_assert(sizeof(USHORT) == 2);
static_assert(sizeof(ULONG) == 4);
static_assert(sizeof(LONG) == 4);
static_assert(sizeof(LONGLONG) == 8);
static_assert(sizeof(ULONG_PTR) == 8);
static_assert(sizeof(SIZE_T) == 8);
static_assert(sizeof(PVOID) == 8);
static_assert(sizeof(NTSTATUS) == 4);
static_assert(sizeof(BOOLEAN) == 1);
static_assert(sizeof(WCHAR) == 2);
static_assert(sizeof(W("ab")) == 3 * sizeof(WCHAR));

static_assert(sizeof(GUID) == 16);
static_assert(offsetof(GUID, Data2) == 4);
static_assert(offsetof(GUID, Data3) == 6);
static_assert(offsetof(GUID, Data4) == 8);

static_assert(sizeof(LARGE_INTEGER) == 8);
static_assert(offsetof(LARGE_INTEGER, HighPart) == 4);
static_assert(sizeof(LIST_ENTRY) == 16);
static_assert(offsetof(LIST_ENTRY, Blink) == 8);
static_assert(sizeof(UNICODE_STRING) == 16);
static_assert(offsetof(UNICODE_STRING, MaximumLength) == 2);
static_assert(offsetof(UNICODE_STRING, Buffer) == 8);

// The signed codes: NT_SUCCESS depends on warnings and errors being negative as a LONG.
static_assert(STATUS_SUCCESS == 0);
static_assert(STATUS_PENDING == 0x00000103);
static_assert(STATUS_TIMEOUT == 0x00000102);
static_assert(STATUS_UNEXPECTED_IO_ERROR == static_cast<NTSTATUS>(0xC00000E9));
static_assert(STATUS_DEVICE_BUSY == static_cast<NTSTATUS>(0x80000011));
static_assert(STATUS_BUFFER_OVERFLOW == static_cast<NTSTATUS>(0x80000005));
static_assert(STATUS_UNSUCCESSFUL == static_cast<NTSTATUS>(0xC0000001));
static_assert(STATUS_NOT_IMPLEMENTED == static_cast<NTSTATUS>(0xC0000002));
static_assert(STATUS_INVALID_PARAMETER == static_cast<NTSTATUS>(0xC000000D));
static_assert(STATUS_INVALID_DEVICE_REQUEST == static_cast<NTSTATUS>(0xC0000010));
static_assert(STATUS_MORE_PROCESSING_REQUIRED == static_cast<NTSTATUS>(0xC0000016));
static_assert(STATUS_NO_MEMORY == static_cast<NTSTATUS>(0xC0000017));
static_assert(STATUS_BUFFER_TOO_SMALL == static_cast<NTSTATUS>(0xC0000023));
static_assert(STATUS_DELETE_PENDING == static_cast<NTSTATUS>(0xC0000056));
static_assert(STATUS_DEVICE_NOT_CONNECTED == static_cast<NTSTATUS>(0xC000009D));
static_assert(STATUS_INSUFFICIENT_RESOURCES == static_cast<NTSTATUS>(0xC000009A));
static_assert(STATUS_DEVICE_NOT_READY == static_cast<NTSTATUS>(0xC00000A3));
static_assert(STATUS_NOT_SUPPORTED == static_cast<NTSTATUS>(0xC00000BB));
static_assert(STATUS_CANCELLED == static_cast<NTSTATUS>(0xC0000120));
static_assert(STATUS_INVALID_DEVICE_STATE == static_cast<NTSTATUS>(0xC0000184));
static_assert(STATUS_NOT_FOUND == static_cast<NTSTATUS>(0xC0000225));
static_assert(STATUS_DEVICE_REMOVED == static_cast<NTSTATUS>(0xC00002B6));
static_assert(NT_SUCCESS(STATUS_PENDING) && NT_SUCCESS(STATUS_TIMEOUT));
static_assert(!NT_SUCCESS(STATUS_DEVICE_BUSY) && !NT_SUCCESS(STATUS_UNSUCCESSFUL));

static_assert(FILE_DEVICE_UNKNOWN == 0x22);
static_assert(FILE_DEVICE_KS == 0x2F);
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS) == 0x222000);
static_assert(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_OUT_DIRECT, FILE_READ_ACCESS) == 0x226006);
static_assert(CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS) == 0x2F0003);
