// Helpers shared by the registry operations. IRQL: PASSIVE_LEVEL.
#pragma once

#include "platform/kernel.h"

// Registry scratch buffers come from paged pool, tagged like every allocation of the driver.
inline constexpr ULONG kRegistryPoolTag = 'ABSU';

inline constexpr ULONG kRegistryOpenAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;

// An empty counted string over a new paged buffer of `characters` characters; free it with
// FreeCountedString, which accepts a string that was never allocated.
NTSTATUS AllocateCountedString(PUNICODE_STRING string, USHORT characters);
void FreeCountedString(PUNICODE_STRING string);

// Opens `path`, absolute or below `root`.
NTSTATUS OpenRegistryKey(PHANDLE key, HANDLE root, PCUNICODE_STRING path, ACCESS_MASK access);

// Queries a value into a new paged buffer of exactly the size the value needs; the caller frees
// it with ExFreePoolWithTag(…, kRegistryPoolTag).
NTSTATUS QueryValueAllocated(HANDLE key, PCUNICODE_STRING valueName, KEY_VALUE_INFORMATION_CLASS informationClass,
                             PVOID* information);
