// User mode: the layouts and values of the Win32 declarations the device access library, the ASIO
// driver and the control panel rely on.
#include "platform/user.h"

#include <cstddef>

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4 && sizeof(HANDLE) == 8);
static_assert(sizeof(OVERLAPPED) == 32);
static_assert(offsetof(OVERLAPPED, InternalHigh) == 8);
static_assert(offsetof(OVERLAPPED, hEvent) == 24);
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
static_assert(offsetof(SECURITY_ATTRIBUTES, lpSecurityDescriptor) == 8);
static_assert(sizeof(SECURITY_DESCRIPTOR) == SECURITY_DESCRIPTOR_MIN_LENGTH);
static_assert(sizeof(SP_DEVINFO_DATA) == 32);
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
static_assert(offsetof(SP_DEVICE_INTERFACE_DATA, Flags) == 20);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);
static_assert(sizeof(PROPERTYKEY) == 20);
static_assert(sizeof(PROPVARIANT) == 24);
static_assert(offsetof(PROPVARIANT, pwszVal) == 8);
static_assert(sizeof(STARTUPINFOW) == 104);
static_assert(sizeof(PROCESS_INFORMATION) == 24);

static_assert(INFINITE == 0xFFFFFFFF && WAIT_TIMEOUT == 258 && WAIT_ABANDONED == 0x80);
static_assert(WAIT_IO_COMPLETION == 0xC0 && WAIT_FAILED == 0xFFFFFFFF);
static_assert(ERROR_IO_PENDING == 997 && ERROR_OPERATION_ABORTED == 995 && ERROR_ALREADY_EXISTS == 183);
static_assert(ERROR_BUSY == 170 && ERROR_GEN_FAILURE == 31 && ERROR_NOT_OWNER == 288);
static_assert(ERROR_IO_INCOMPLETE == 996 && ERROR_MORE_DATA == 234);
static_assert(FILE_FLAG_OVERLAPPED == 0x40000000 && OPEN_EXISTING == 3);
static_assert(GENERIC_READ == 0x80000000 && GENERIC_WRITE == 0x40000000 && SYNCHRONIZE == 0x00100000);
static_assert(EVENT_MODIFY_STATE == 0x2 && MUTEX_ALL_ACCESS == 0x1F0001 && EVENT_ALL_ACCESS == 0x1F0003);
static_assert(KEY_READ == 0x20019 && KEY_WRITE == 0x20006 && KEY_WOW64_64KEY == 0x100 && KEY_NOTIFY == 0x10);
static_assert(REG_NOTIFY_CHANGE_NAME == 1 && REG_NOTIFY_CHANGE_LAST_SET == 4);
static_assert(REG_CREATED_NEW_KEY == 1 && REG_OPENED_EXISTING_KEY == 2);
static_assert(DIGCF_PRESENT == 0x2 && DIGCF_DEVICEINTERFACE == 0x10);
static_assert(SPDRP_DEVICEDESC == 0 && SPDRP_SERVICE == 4);
static_assert(CLSCTX_ALL == 0x17 && COINIT_APARTMENTTHREADED == 0x2);
static_assert(VT_LPWSTR == 31 && VT_BLOB == 65 && STGM_READ == 0);
static_assert(DEVICE_STATE_ACTIVE == 1 && ENDPOINT_FORMAT_RESET_MIX_ONLY == 1);
static_assert(eRender == 0 && eCapture == 1);
static_assert(AVRT_PRIORITY_CRITICAL == 2);
