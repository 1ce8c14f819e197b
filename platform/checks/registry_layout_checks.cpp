// Registry information records, value types, access rights and the Plug and Play values the
// driver's registry code relies on, and the wave format it reads out of the endpoint store.
#include "platform/kernel.h"

#include <cstddef>

static_assert(offsetof(KEY_BASIC_INFORMATION, TitleIndex) == 8);
static_assert(offsetof(KEY_BASIC_INFORMATION, NameLength) == 12);
static_assert(offsetof(KEY_BASIC_INFORMATION, Name) == 16);
static_assert(offsetof(KEY_NODE_INFORMATION, ClassOffset) == 12);
static_assert(offsetof(KEY_NODE_INFORMATION, NameLength) == 20);
static_assert(offsetof(KEY_NODE_INFORMATION, Name) == 24);
static_assert(offsetof(KEY_FULL_INFORMATION, SubKeys) == 20);
static_assert(offsetof(KEY_FULL_INFORMATION, MaxNameLen) == 24);
static_assert(offsetof(KEY_FULL_INFORMATION, Values) == 32);
static_assert(offsetof(KEY_FULL_INFORMATION, MaxValueDataLen) == 40);
static_assert(offsetof(KEY_FULL_INFORMATION, Class) == 44);
static_assert(offsetof(KEY_NAME_INFORMATION, Name) == 4);

static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Type) == 4);
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength) == 8);
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Type) == 4);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset) == 8);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, DataLength) == 12);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, NameLength) == 16);
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type) == 4);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength) == 8);
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

static_assert(KeyBasicInformation == 0);
static_assert(KeyNodeInformation == 1);
static_assert(KeyFullInformation == 2);
static_assert(KeyNameInformation == 3);
static_assert(KeyValueBasicInformation == 0);
static_assert(KeyValueFullInformation == 1);
static_assert(KeyValuePartialInformation == 2);

static_assert(REG_NONE == 0);
static_assert(REG_SZ == 1);
static_assert(REG_EXPAND_SZ == 2);
static_assert(REG_BINARY == 3);
static_assert(REG_DWORD == 4);
static_assert(REG_LINK == 6);
static_assert(REG_MULTI_SZ == 7);
static_assert(REG_QWORD == 11);
static_assert(REG_OPTION_NON_VOLATILE == 0);
static_assert(REG_OPTION_VOLATILE == 1);
static_assert(REG_CREATED_NEW_KEY == 1);
static_assert(REG_OPENED_EXISTING_KEY == 2);

static_assert(KEY_QUERY_VALUE == 0x0001);
static_assert(KEY_SET_VALUE == 0x0002);
static_assert(KEY_CREATE_SUB_KEY == 0x0004);
static_assert(KEY_ENUMERATE_SUB_KEYS == 0x0008);
static_assert(KEY_CREATE_LINK == 0x0020);
static_assert(KEY_READ == 0x20019);
static_assert(KEY_WRITE == 0x20006);
static_assert(KEY_ALL_ACCESS == 0xF003F);
static_assert(OBJ_CASE_INSENSITIVE == 0x40);
static_assert(OBJ_KERNEL_HANDLE == 0x200);

static_assert(RTL_REGISTRY_ABSOLUTE == 0);
static_assert(RTL_REGISTRY_SERVICES == 1);
static_assert(RTL_REGISTRY_CONTROL == 2);
static_assert(RTL_REGISTRY_WINDOWS_NT == 3);
static_assert(RTL_REGISTRY_DEVICEMAP == 4);
static_assert(RTL_REGISTRY_USER == 5);
static_assert(RTL_REGISTRY_HANDLE == 0x40000000);
static_assert(RTL_REGISTRY_OPTIONAL == 0x80000000);

static_assert(STATUS_OBJECT_PATH_SYNTAX_BAD == static_cast<NTSTATUS>(0xC000003B));
static_assert(STATUS_NAME_TOO_LONG == static_cast<NTSTATUS>(0xC0000106));
static_assert(STATUS_CANNOT_DELETE == static_cast<NTSTATUS>(0xC0000121));
static_assert(STATUS_NO_MORE_ENTRIES == static_cast<NTSTATUS>(0x8000001A));
static_assert(STATUS_NO_MATCH == static_cast<NTSTATUS>(0xC0000272));
static_assert(STATUS_KEY_DELETED == static_cast<NTSTATUS>(0xC000017C));

static_assert(PLUGPLAY_REGKEY_DEVICE == 1);
static_assert(PLUGPLAY_REGKEY_DRIVER == 2);
static_assert(DevicePropertyDeviceDescription == 0);
static_assert(DevicePropertyHardwareID == 1);
static_assert(DevicePropertyCompatibleIDs == 2);
static_assert(DevicePropertyClassName == 5);
static_assert(DevicePropertyClassGuid == 6);
static_assert(DevicePropertyDriverKeyName == 7);
static_assert(DevicePropertyEnumeratorName == 15);
static_assert(DevicePropertyAddress == 16);
static_assert(DevicePropertyContainerID == 22);

// The endpoint store keeps formats as 40-byte WAVEFORMATEXTENSIBLEs; the sample rate, byte rate
// and block alignment sit at fixed offsets within them.
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4);
static_assert(offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8);
static_assert(offsetof(WAVEFORMATEX, nBlockAlign) == 12);
static_assert(offsetof(WAVEFORMATEX, wBitsPerSample) == 14);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);
static_assert(WAVE_FORMAT_PCM == 1);
static_assert(WAVE_FORMAT_EXTENSIBLE == 0xFFFE);
