// Kernel-mode declarations for the windows build: the DDK headers mingw-w64 ships, made to compile
// together in C++17, plus the few declarations they lack. Included through platform/kernel.h only.
#pragma once

// wdm.h defines these two inline itself; without the markers intrin.h defines them again.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

// punknown.h uses both before anything in the kernel headers defines them. GCC has no novtable.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW __attribute__((nothrow))
#endif

// ksmedia.h guards a user-mode block that needs TCHAR with this name.
#define __EDevCtrl__

#include <ntddk.h>

// wdm.h renames these to Wdmlib* functions of a static library mingw-w64 does not ship;
// ntoskrnl exports the real ones.
#undef RtlIsNtDdiVersionAvailable
#undef RtlIsServicePackVersionInstalled
extern "C" {
NTKERNELAPI BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version);
NTKERNELAPI BOOLEAN NTAPI RtlIsServicePackVersionInstalled(ULONG Version);
}

// portcls.h pulls in what follows itself, but the WaveRT typedefs below must sit between
// ksmedia.h and portcls.h, so its prologue is spelled out here in the same order.
#include <windef.h>
#define NOBITMAP
#include <mmreg.h>
#undef NOBITMAP
#include <punknown.h>
#include <ks.h>
#include <ksmedia.h>

// WaveRT types portcls.h refers to; ksmedia.h of this mingw-w64 does not declare them.
typedef struct {
    ULONG FifoSize;
    ULONG ChipsetDelay;
    ULONG CodecDelay;
} KSRTAUDIO_HWLATENCY, *PKSRTAUDIO_HWLATENCY;

typedef struct {
    PVOID Register;
    ULONG Width;
    ULONGLONG Numerator;
    ULONGLONG Denominator;
    ULONG Accuracy;
} KSRTAUDIO_HWREGISTER, *PKSRTAUDIO_HWREGISTER;

#include <portcls.h>
#include <usb.h>
#include <usbdi.h>
extern "C" {
#include <usbdlib.h>
}
#include <usbioctl.h>
#include <usbuser.h>
#include <usbbusif.h>

// Audio declarations of later Windows kits that this mingw-w64 lacks. The jack structures
// themselves are in its ksmedia.h; the property set and ids that carry them are not.

// Signal-processing modes (Windows 8.1 and later).
DEFINE_GUID(KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE,
    0xe1f89eb5, 0x5f46, 0x419b, 0x96, 0x7b, 0xff, 0x67, 0x70, 0xb9, 0x84, 0x01);
DEFINE_GUID(AUDIO_SIGNALPROCESSINGMODE_RAW,
    0x9e90ea20, 0xb493, 0x4fd1, 0xa1, 0xa8, 0x7e, 0x13, 0x61, 0xa9, 0x56, 0xcf);

// Jack description properties (Vista and later).
DEFINE_GUID(KSPROPSETID_Jack,
    0x4509f757, 0x2d46, 0x4637, 0x8e, 0x62, 0xce, 0x7d, 0xb9, 0x44, 0xf5, 0x7b);

typedef enum {
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2,
    KSPROPERTY_JACK_SINK_INFO,
    KSPROPERTY_JACK_CONTAINERID
} KSPROPERTY_JACK;

#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001
#define JACKDESC2_DYNAMIC_FORMAT_CHANGE_CAPABILITY 0x00000002

// PortCls's export for the physical device object below an adapter's device object; this
// mingw-w64's portcls.h does not declare it.
extern "C" NTSTATUS NTAPI PcGetPhysicalDeviceObject(PDEVICE_OBJECT DeviceObject,
                                                    PDEVICE_OBJECT* PhysicalDeviceObject);

#define W(text) L##text

// Kernel-debugger filter ids and levels (dpfilter.h, which this mingw-w64 lacks).
#define DPFLTR_IHVAUDIO_ID 79
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_INFO_LEVEL 3

// ExInitializeNPagedLookasideList's flag for no-execute entries (Windows 8 and later).
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif

// Later kits declare the priority of MmMapLockedPagesSpecifyCache, and so of the
// MmGetSystemAddressForMdlSafe macro, as a ULONG: an MM_PAGE_PRIORITY with MdlMapping* flags OR'd
// in, which no value of this mingw-w64's MM_PAGE_PRIORITY enumeration can hold. The same export,
// taking the priority as they do.
inline PVOID MmMapLockedPagesSpecifyCache(PMDLX MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                          MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress,
                                          ULONG BugCheckOnFailure, ULONG Priority)
{
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, CacheType, BaseAddress, BugCheckOnFailure,
                                        static_cast<MM_PAGE_PRIORITY>(Priority));
}

// ZwQueryKey's KeyNameInformation record, which wdm.h of this mingw-w64 does not declare.
typedef struct _KEY_NAME_INFORMATION {
    ULONG NameLength;
    WCHAR Name[1];
} KEY_NAME_INFORMATION, *PKEY_NAME_INFORMATION;
