// COM for user-mode code on the host build (objbase.h, combaseapi.h, propidl.h, propsys.h
// subset): apartments per thread, in-process activation through the registry's CLSID keys, task
// memory, property variants and property stores. Interfaces keep the published method order.
#pragma once

#include "sim/api/unknown.h"
#include "sim/api/user_base.h"

typedef IUnknown* LPUNKNOWN;

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
// A CLSID from its registry form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", or from a ProgID
// registered under HKEY_CLASSES_ROOT\<ProgID>\CLSID.
HRESULT CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
LPVOID CoTaskMemAlloc(SIZE_T cb);
void CoTaskMemFree(LPVOID pv);

// {00000001-0000-0000-C000-000000000046}
DEFINE_GUID(IID_IClassFactory, 0x00000001, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

DECLARE_INTERFACE_(IClassFactory, IUnknown)
{
    STDMETHOD(CreateInstance)(THIS_ IUnknown * pUnkOuter, REFIID riid, void** ppvObject) PURE;
    STDMETHOD(LockServer)(THIS_ BOOL fLock) PURE;
};

// Modules: the program's own image, and the in-process servers (com_servers.h) loaded into the
// process by COM or by LoadLibraryW.
HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
BOOL FreeLibrary(HMODULE hLibModule);
HMODULE GetModuleHandleW(LPCWSTR lpModuleName);

// An in-process server's exports, as CoGetClassObject calls them.
typedef HRESULT (*LPFNGETCLASSOBJECT)(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
typedef HRESULT (*LPFNCANUNLOADNOW)();

// Property variants: the types the endpoint property store hands out.
#define VT_EMPTY 0
#define VT_UI4 19
#define VT_LPWSTR 31
#define VT_BLOB 65

typedef struct tagBLOB {
    ULONG cbSize;
    BYTE* pBlobData;
} BLOB;

typedef struct tagPROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        ULONG ulVal;
        ULONGLONG uhVal;
        LPWSTR pwszVal;
        BLOB blob;
    };
} PROPVARIANT;
typedef const PROPVARIANT& REFPROPVARIANT;

inline void PropVariantInit(PROPVARIANT* pvar)
{
    *pvar = PROPVARIANT{};
}
HRESULT PropVariantClear(PROPVARIANT* pvar);

typedef struct _tagpropertykey {
    GUID fmtid;
    DWORD pid;
} PROPERTYKEY;
typedef const PROPERTYKEY& REFPROPERTYKEY;

#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L

// {886D8EEB-8CF2-4446-8D02-CDBA1DBDCF99}
DEFINE_GUID(IID_IPropertyStore, 0x886D8EEB, 0x8CF2, 0x4446, 0x8D, 0x02, 0xCD, 0xBA, 0x1D, 0xBD, 0xCF, 0x99);

DECLARE_INTERFACE_(IPropertyStore, IUnknown)
{
    STDMETHOD(GetCount)(THIS_ DWORD * cProps) PURE;
    STDMETHOD(GetAt)(THIS_ DWORD iProp, PROPERTYKEY * pkey) PURE;
    STDMETHOD(GetValue)(THIS_ REFPROPERTYKEY key, PROPVARIANT * pv) PURE;
    STDMETHOD(SetValue)(THIS_ REFPROPERTYKEY key, REFPROPVARIANT propvar) PURE;
    STDMETHOD(Commit)(THIS) PURE;
};
