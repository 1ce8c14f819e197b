// What every property handler of the driver shares: the checks of a GET or SET request's buffers,
// and the basic-support replies that shorten to what the caller's buffer holds. PortCls passes the
// caller's lengths through unchanged, so a handler sees a request for the size first (no value)
// and buffers of any length after it.
//
// IRQL: any; the functions only read and write the request's buffers.
#pragma once

#include "platform/kernel.h"

// VARTYPE values a basic-support description names as the property's type (wtypes.h).
inline constexpr ULONG kVariantEmpty = 0;  // VT_EMPTY
inline constexpr ULONG kVariantLong = 3;   // VT_I4
inline constexpr ULONG kVariantBool = 11;  // VT_BOOL

// Checks a GET or SET of a `valueSize`-byte value with at least `instanceSize` bytes of instance
// data: STATUS_SUCCESS when the handler may go on, else the status to return. A request without a
// value length learns the size: ValueSize is set and STATUS_BUFFER_OVERFLOW returned.
NTSTATUS CheckValueRequest(PPCPROPERTY_REQUEST request, ULONG valueSize, ULONG instanceSize);

// Basic support without member lists: the access flags alone into 4 to 39 bytes, a
// KSPROPERTY_DESCRIPTION of `variantType` into 40 or more.
NTSTATUS ReplySimpleBasicSupport(PPCPROPERTY_REQUEST request, ULONG accessFlags, ULONG variantType);

// Basic support with member lists, `fullSize` bytes in all: writes what a shorter buffer takes (the
// access flags, or the description alone) and returns false with the status in *status; returns
// true, with the description written, when the whole reply fits and the caller adds the lists.
bool ReplyDescriptionHead(PPCPROPERTY_REQUEST request, ULONG accessFlags, ULONG variantType, ULONG memberLists,
                          ULONG fullSize, NTSTATUS* status);
