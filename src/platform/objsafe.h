// Safety for scripting: what an object says about being driven by
// untrusted scripts and initialised from untrusted data.
#pragma once

#include "platform/objbase.h"

#define INTERFACESAFE_FOR_UNTRUSTED_CALLER 0x00000001
#define INTERFACESAFE_FOR_UNTRUSTED_DATA 0x00000002

struct IObjectSafety : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                                              DWORD* pdwEnabledOptions) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                                              DWORD dwEnabledOptions) = 0;
};
constexpr IID IID_IObjectSafety{0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
PLATFORM_INTERFACE_ID(IObjectSafety, IID_IObjectSafety)
