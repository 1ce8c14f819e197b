// The kernel-mode COM basics (punknown.h, basetyps.h): the interface macros and IUnknown with the
// published method order, whose QueryInterface returns an NTSTATUS in kernel code.
#pragma once

#include "sim/api/base_types.h"
#include "sim/api/ntstatus.h"

#define PURE = 0
#define THIS void
#define THIS_
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define DECLARE_INTERFACE(name) struct name
#define DECLARE_INTERFACE_(name, base) struct name : public base


// {00000000-0000-0000-C000-000000000046}
DEFINE_GUID(IID_IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

DECLARE_INTERFACE(IUnknown)
{
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID* Interface) PURE;
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;
    STDMETHOD_(ULONG, Release)(THIS) PURE;
};
typedef IUnknown* PUNKNOWN;

// Interfaces derived from IUnknown restate its methods; they keep the same slots.
#define DEFINE_ABSTRACT_UNKNOWN()                                                    \
    STDMETHOD_(NTSTATUS, QueryInterface)(THIS_ REFIID InterfaceId, PVOID* Interface) PURE; \
    STDMETHOD_(ULONG, AddRef)(THIS) PURE;                                            \
    STDMETHOD_(ULONG, Release)(THIS) PURE;
