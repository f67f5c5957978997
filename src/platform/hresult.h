// Result codes of the component-object and automation interfaces, with the
// original platform's numbers: bit 31 is failure, facility in bits 16-26.
#pragma once

#include "platform/wintypes.h"

#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
#define HRESULT_CODE(hr) ((hr) & 0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1FFF)
#define MAKE_HRESULT(severity, facility, code) \
  static_cast<HRESULT>((static_cast<ULONG>(severity) << 31) | (static_cast<ULONG>(facility) << 16) | static_cast<ULONG>(code))
// A Win32 error number as a result code (FACILITY_WIN32).
#define HRESULT_FROM_WIN32(x) \
  (static_cast<HRESULT>(x) <= 0 ? static_cast<HRESULT>(x) \
                                : static_cast<HRESULT>((static_cast<ULONG>(x) & 0x0000FFFF) | 0x80070000))

#define FACILITY_ITF 4
#define FACILITY_DISPATCH 2
#define FACILITY_STORAGE 3
#define FACILITY_WIN32 7

#define S_OK (static_cast<HRESULT>(0x00000000))
#define S_FALSE (static_cast<HRESULT>(0x00000001))

#define E_NOTIMPL (static_cast<HRESULT>(0x80004001))
#define E_NOINTERFACE (static_cast<HRESULT>(0x80004002))
#define E_POINTER (static_cast<HRESULT>(0x80004003))
#define E_ABORT (static_cast<HRESULT>(0x80004004))
#define E_FAIL (static_cast<HRESULT>(0x80004005))
#define E_UNEXPECTED (static_cast<HRESULT>(0x8000FFFF))
#define E_ACCESSDENIED (static_cast<HRESULT>(0x80070005))
#define E_HANDLE (static_cast<HRESULT>(0x80070006))
#define E_OUTOFMEMORY (static_cast<HRESULT>(0x8007000E))
#define E_INVALIDARG (static_cast<HRESULT>(0x80070057))

#define OLE_E_ADVISENOTSUPPORTED (static_cast<HRESULT>(0x80040003))
#define OLE_E_NOCONNECTION (static_cast<HRESULT>(0x80040004))
#define OLE_E_NOTRUNNING (static_cast<HRESULT>(0x80040005))
#define OLE_E_NOCACHE (static_cast<HRESULT>(0x80040006))
#define OLE_E_BLANK (static_cast<HRESULT>(0x80040007))
#define DV_E_FORMATETC (static_cast<HRESULT>(0x80040064))
#define DV_E_TYMED (static_cast<HRESULT>(0x80040069))
#define DATA_E_FORMATETC DV_E_FORMATETC
#define OLEOBJ_E_NOVERBS (static_cast<HRESULT>(0x80040180))
#define OLEOBJ_E_INVALIDVERB (static_cast<HRESULT>(0x80040181))
#define OLE_S_USEREG (static_cast<HRESULT>(0x00040000))
#define CLASS_E_NOAGGREGATION (static_cast<HRESULT>(0x80040110))
#define CLASS_E_CLASSNOTAVAILABLE (static_cast<HRESULT>(0x80040111))
#define REGDB_E_READREGDB (static_cast<HRESULT>(0x80040150))
#define REGDB_E_WRITEREGDB (static_cast<HRESULT>(0x80040151))
#define REGDB_E_KEYMISSING (static_cast<HRESULT>(0x80040152))
#define REGDB_E_CLASSNOTREG (static_cast<HRESULT>(0x80040154))
#define REGDB_E_IIDNOTREG (static_cast<HRESULT>(0x80040155))
#define CONNECT_E_NOCONNECTION (static_cast<HRESULT>(0x80040200))
#define CONNECT_E_ADVISELIMIT (static_cast<HRESULT>(0x80040201))
#define CONNECT_E_CANNOTCONNECT (static_cast<HRESULT>(0x80040202))
#define CONNECT_E_OVERRIDDEN (static_cast<HRESULT>(0x80040203))
// Self-registration shares its numbers with the connection codes (both FACILITY_ITF 0x200...).
#define SELFREG_E_TYPELIB (static_cast<HRESULT>(0x80040200))
#define SELFREG_E_CLASS (static_cast<HRESULT>(0x80040201))
#define CO_E_NOTINITIALIZED (static_cast<HRESULT>(0x800401F0))
#define CO_E_CLASSSTRING (static_cast<HRESULT>(0x800401F3))
#define CO_E_DLLNOTFOUND (static_cast<HRESULT>(0x800401F8))
#define CO_E_ERRORINDLL (static_cast<HRESULT>(0x800401F9))
#define CO_E_IIDSTRING (static_cast<HRESULT>(0x800401F4))
#define RPC_E_CHANGED_MODE (static_cast<HRESULT>(0x80010106))

#define DISP_E_UNKNOWNINTERFACE (static_cast<HRESULT>(0x80020001))
#define DISP_E_MEMBERNOTFOUND (static_cast<HRESULT>(0x80020003))
#define DISP_E_PARAMNOTFOUND (static_cast<HRESULT>(0x80020004))
#define DISP_E_TYPEMISMATCH (static_cast<HRESULT>(0x80020005))
#define DISP_E_UNKNOWNNAME (static_cast<HRESULT>(0x80020006))
#define DISP_E_NONAMEDARGS (static_cast<HRESULT>(0x80020007))
#define DISP_E_BADVARTYPE (static_cast<HRESULT>(0x80020008))
#define DISP_E_EXCEPTION (static_cast<HRESULT>(0x80020009))
#define DISP_E_OVERFLOW (static_cast<HRESULT>(0x8002000A))
#define DISP_E_BADINDEX (static_cast<HRESULT>(0x8002000B))
#define DISP_E_UNKNOWNLCID (static_cast<HRESULT>(0x8002000C))
#define DISP_E_BADPARAMCOUNT (static_cast<HRESULT>(0x8002000E))
#define DISP_E_PARAMNOTOPTIONAL (static_cast<HRESULT>(0x8002000F))
#define DISP_E_BADCALLEE (static_cast<HRESULT>(0x80020010))

#define TYPE_E_INVDATAREAD (static_cast<HRESULT>(0x80028018))
#define TYPE_E_UNSUPFORMAT (static_cast<HRESULT>(0x80028019))
#define TYPE_E_REGISTRYACCESS (static_cast<HRESULT>(0x8002801C))
#define TYPE_E_LIBNOTREGISTERED (static_cast<HRESULT>(0x8002801D))
#define TYPE_E_WRONGTYPEKIND (static_cast<HRESULT>(0x8002802A))
#define TYPE_E_ELEMENTNOTFOUND (static_cast<HRESULT>(0x8002802B))
#define TYPE_E_BADMODULEKIND (static_cast<HRESULT>(0x800288BD))
#define TYPE_E_CANTLOADLIBRARY (static_cast<HRESULT>(0x80029C4A))

#define STG_E_INVALIDFUNCTION (static_cast<HRESULT>(0x80030001))
#define STG_E_FILENOTFOUND (static_cast<HRESULT>(0x80030002))
#define STG_E_ACCESSDENIED (static_cast<HRESULT>(0x80030005))
#define STG_E_INSUFFICIENTMEMORY (static_cast<HRESULT>(0x80030008))
#define STG_E_INVALIDPOINTER (static_cast<HRESULT>(0x80030009))
#define STG_E_WRITEFAULT (static_cast<HRESULT>(0x8003001D))
#define STG_E_READFAULT (static_cast<HRESULT>(0x8003001E))
#define STG_E_FILEALREADYEXISTS (static_cast<HRESULT>(0x80030050))
#define STG_E_INVALIDPARAMETER (static_cast<HRESULT>(0x80030057))
#define STG_E_MEDIUMFULL (static_cast<HRESULT>(0x80030070))
#define STG_E_INVALIDNAME (static_cast<HRESULT>(0x800300FC))
#define STG_E_INVALIDFLAG (static_cast<HRESULT>(0x800300FF))
