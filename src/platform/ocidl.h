// Control interfaces: connection points, property notification, class
// information, control activation, property pages, the standard font.
#pragma once

#include <string>

#include "platform/oleidl.h"

struct IConnectionPoint;
struct IConnectionPointContainer;

struct CONNECTDATA {
  IUnknown* pUnk;  // a reference the receiver releases
  DWORD dwCookie;
};

struct IEnumConnections : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnections** ppEnum) = 0;
};
constexpr IID IID_IEnumConnections{0xB196B287, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
PLATFORM_INTERFACE_ID(IEnumConnections, IID_IEnumConnections)

struct IConnectionPoint : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* pIID) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** ppCPC) = 0;
  virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown* pUnkSink, DWORD* pdwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** ppEnum) = 0;
};
constexpr IID IID_IConnectionPoint{0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
PLATFORM_INTERFACE_ID(IConnectionPoint, IID_IConnectionPoint)

struct IEnumConnectionPoints : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints** ppEnum) = 0;
};
constexpr IID IID_IEnumConnectionPoints{
    0xB196B285, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
PLATFORM_INTERFACE_ID(IEnumConnectionPoints, IID_IEnumConnectionPoints)

struct IConnectionPointContainer : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) = 0;
};
constexpr IID IID_IConnectionPointContainer{
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
PLATFORM_INTERFACE_ID(IConnectionPointContainer, IID_IConnectionPointContainer)

struct IPropertyNotifySink : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnChanged(DISPID dispID) = 0;
  // S_OK lets the property change; S_FALSE refuses it.
  virtual HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID dispID) = 0;
};
constexpr IID IID_IPropertyNotifySink{
    0x9BFBBC02, 0xEFF1, 0x101A, {0x84, 0xED, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
PLATFORM_INTERFACE_ID(IPropertyNotifySink, IID_IPropertyNotifySink)

struct IProvideClassInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) = 0;
};
constexpr IID IID_IProvideClassInfo{0xB196B283, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
PLATFORM_INTERFACE_ID(IProvideClassInfo, IID_IProvideClassInfo)

#define GUIDKIND_DEFAULT_SOURCE_DISP_IID 1

struct IProvideClassInfo2 : IProvideClassInfo {
  virtual HRESULT STDMETHODCALLTYPE GetGUID(DWORD dwGuidKind, GUID* pGUID) = 0;
};
constexpr IID IID_IProvideClassInfo2{
    0xA6BC3AC0, 0xDBAA, 0x11CE, {0x9D, 0xE3, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};
PLATFORM_INTERFACE_ID(IProvideClassInfo2, IID_IProvideClassInfo2)

struct CONTROLINFO {
  ULONG cb;
  HACCEL hAccel;
  USHORT cAccel;
  DWORD dwFlags;
};

struct IOleControl : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* pCI) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnMnemonic(MSG* pMsg) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID dispID) = 0;
  virtual HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL bFreeze) = 0;
};
constexpr IID IID_IOleControl{0xB196B288, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
PLATFORM_INTERFACE_ID(IOleControl, IID_IOleControl)

struct IAdviseSinkEx;
struct IFont;
struct IOleUndoManager;
struct IBindHost;
struct IOleControlSite;
struct IServiceProvider;

struct QACONTAINER {
  ULONG cbSize;
  IOleClientSite* pClientSite;
  IAdviseSinkEx* pAdviseSink;
  IPropertyNotifySink* pPropertyNotifySink;
  IUnknown* pUnkEventSink;
  DWORD dwAmbientFlags;
  OLE_COLOR colorFore;
  OLE_COLOR colorBack;
  IFont* pFont;
  IOleUndoManager* pUndoMgr;
  DWORD dwAppearance;
  LONG lcid;
  HPALETTE hpal;
  IBindHost* pBindHost;
  IOleControlSite* pOleControlSite;
  IServiceProvider* pServiceProvider;
};

struct QACONTROL {
  ULONG cbSize;
  DWORD dwMiscStatus;
  DWORD dwViewStatus;
  DWORD dwEventCookie;
  DWORD dwPropNotifyCookie;
  DWORD dwPointerActivationPolicy;
};

struct IQuickActivate : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QuickActivate(QACONTAINER* pQaContainer, QACONTROL* pQaControl) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetContentExtent(LPSIZEL pSizel) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetContentExtent(LPSIZEL pSizel) = 0;
};
constexpr IID IID_IQuickActivate{0xCF51ED10, 0x62FE, 0x11CF, {0xBF, 0x86, 0x00, 0xA0, 0xC9, 0x03, 0x48, 0x36}};
PLATFORM_INTERFACE_ID(IQuickActivate, IID_IQuickActivate)

// A counted array of identifiers; pElems is task memory the receiver frees.
struct CAUUID {
  ULONG cElems;
  GUID* pElems;
};

struct ISpecifyPropertyPages : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pPages) = 0;
};
constexpr IID IID_ISpecifyPropertyPages{
    0xB196B28B, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
PLATFORM_INTERFACE_ID(ISpecifyPropertyPages, IID_ISpecifyPropertyPages)

struct ISimpleFrameSite : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE PreMessageFilter(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* plResult,
                                                     DWORD* pdwCookie) = 0;
  virtual HRESULT STDMETHODCALLTYPE PostMessageFilter(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* plResult,
                                                      DWORD dwCookie) = 0;
};
constexpr IID IID_ISimpleFrameSite{0x742B0E01, 0x14E6, 0x101B, {0x91, 0x4E, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB}};
PLATFORM_INTERFACE_ID(ISimpleFrameSite, IID_ISimpleFrameSite)

// The standard font object, reached through dispatch only. Its members
// (DISPIDs as on the original platform): Name 0 (BSTR), Size 2 (CY, points),
// Bold 3, Italic 4, Underline 5, Strikethrough 6 (VARIANT_BOOL), Weight 7
// and Charset 8 (short).
struct IFontDisp : IDispatch {};
constexpr IID IID_IFontDisp{0xBEF6E003, 0xA874, 0x101A, {0x8B, 0xBA, 0x00, 0xAA, 0x00, 0x30, 0x0C, 0xAB}};
PLATFORM_INTERFACE_ID(IFontDisp, IID_IFontDisp)
constexpr CLSID CLSID_StdFont{0x0BE35203, 0x8F91, 0x11CE, {0x9D, 0xE3, 0x00, 0xAA, 0x00, 0x4B, 0xB8, 0x51}};

#define DISPID_FONT_NAME 0
#define DISPID_FONT_SIZE 2
#define DISPID_FONT_BOLD 3
#define DISPID_FONT_ITALIC 4
#define DISPID_FONT_UNDER 5
#define DISPID_FONT_STRIKE 6
#define DISPID_FONT_WEIGHT 7
#define DISPID_FONT_CHARSET 8

#define FW_NORMAL 400
#define FW_BOLD 700

struct FONTDESC {
  UINT cbSizeofstruct;
  LPOLESTR lpstrName;
  CY cySize;
  SHORT sWeight;
  SHORT sCharset;
  BOOL fItalic;
  BOOL fUnderline;
  BOOL fStrikethrough;
};

// A new standard font with the given description, asked for `riid`
// (IID_IFontDisp, IID_IDispatch or IID_IUnknown). Bold is a weight of
// FW_BOLD or more; setting Bold sets the weight to FW_BOLD or FW_NORMAL.
HRESULT OleCreateFontIndirect(FONTDESC* lpFontDesc, REFIID riid, void** lplpvObj);

namespace platform {
// What a font holds, read through its dispatch interface.
struct FontState {
  std::u16string name;
  CY size{};
  bool bold = false;
  bool italic = false;
  bool underline = false;
  bool strikethrough = false;
  SHORT weight = FW_NORMAL;
  SHORT charset = 0;
};
HRESULT readFont(IDispatch* font, FontState& state);
}  // namespace platform
