// Automation functions: VARIANT handling, error information, type libraries.
#pragma once

#include "platform/oaidl.h"

// VariantChangeType flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_LOCALBOOL 0x10

// The types a variant may hold here: VT_EMPTY, VT_NULL, VT_I2, VT_I4,
// VT_UI4, VT_CY, VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL, VT_UNKNOWN, and
// VT_BYREF with any of these or with VT_VARIANT. Others give DISP_E_BADVARTYPE.
void VariantInit(VARIANTARG* pvarg);
// Frees what the variant owns (string, interface reference) and empties it.
HRESULT VariantClear(VARIANTARG* pvarg);
// Deep copy: strings are duplicated, interfaces get a reference; a by-reference
// variant is copied as the same reference. The destination is cleared first.
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// Like VariantCopy, but a by-reference source is copied as its value.
HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
// Coerces a value to `vt`. Numbers convert between I2, I4, UI4, CY and BOOL
// with range checks (DISP_E_OVERFLOW); to and from BSTR as decimal text
// (booleans as "-1"/"0", or "True"/"False" with VARIANT_ALPHABOOL; text
// "True"/"False" is read in any case); VT_EMPTY gives zero, the empty text or
// false; an object converts between VT_UNKNOWN and VT_DISPATCH by
// QueryInterface. Everything else, VT_NULL and VT_ERROR included, gives
// DISP_E_TYPEMISMATCH and leaves the destination as it was. Source and
// destination may be the same variant.
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);

// The thread's current error object. SetErrorInfo replaces it (null clears
// it); GetErrorInfo hands it over and clears it, S_FALSE when there is none.
HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo);
HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo);
HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo);

// Loads the type library a file holds: a module's embedded library, or a
// .tlb file in this system's serialised form (platform/typelib.h).
// TYPE_E_CANTLOADLIBRARY when the file cannot be read or holds no library.
HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib);

// Registers a library under HKEY_CLASSES_ROOT as the original platform does:
//   TypeLib\{LIBID}\<major>.<minor>          (default) the library's help string
//   TypeLib\{LIBID}\<major>.<minor>\FLAGS    (default) its LIBFLAG_* in decimal
//   TypeLib\{LIBID}\<major>.<minor>\<lcid>\win32  (default) szFullPath
//   TypeLib\{LIBID}\<major>.<minor>\HELPDIR  (default) szHelpDir, or empty
// (versions and locale in hexadecimal), and for each interface
//   Interface\{IID}  (default) its name; ProxyStubClsid and ProxyStubClsid32:
//   the automation marshaller's class; TypeLib: the LIBID, with "Version".
// TYPE_E_REGISTRYACCESS when the registry refuses a write.
HRESULT RegisterTypeLib(ITypeLib* ptlib, LPCOLESTR szFullPath, LPCOLESTR szHelpDir);
