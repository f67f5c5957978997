// Embedding interfaces: the object, its window, in-place activation and
// views. There is no window system here: windows, device contexts, menus
// and messages are opaque handles that a control only passes along.
#pragma once

#include "platform/objidl.h"

struct HWND__;
using HWND = HWND__*;
struct HDC__;
using HDC = HDC__*;
struct HACCEL__;
using HACCEL = HACCEL__*;
struct HPALETTE__;
using HPALETTE = HPALETTE__*;
struct MSG;
using LPMSG = MSG*;
struct LOGPALETTE;
using WPARAM = ULONG_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;

struct RECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
};
using RECTL = RECT;
using LPRECT = RECT*;
using LPCRECT = const RECT*;
using LPRECTL = RECTL*;
using LPCRECTL = const RECTL*;
struct POINT {
  LONG x;
  LONG y;
};
struct SIZEL {
  LONG cx;
  LONG cy;
};
using LPSIZEL = SIZEL*;

#define OLEMISC_RECOMPOSEONRESIZE 0x1
#define OLEMISC_ONLYICONIC 0x2
#define OLEMISC_INSERTNOTREPLACE 0x4
#define OLEMISC_STATIC 0x8
#define OLEMISC_CANTLINKINSIDE 0x10
#define OLEMISC_CANLINKBYOLE1 0x20
#define OLEMISC_ISLINKOBJECT 0x40
#define OLEMISC_INSIDEOUT 0x80
#define OLEMISC_ACTIVATEWHENVISIBLE 0x100
#define OLEMISC_RENDERINGISDEVICEINDEPENDENT 0x200
#define OLEMISC_INVISIBLEATRUNTIME 0x400
#define OLEMISC_ALWAYSRUN 0x800
#define OLEMISC_ACTSLIKEBUTTON 0x1000
#define OLEMISC_ACTSLIKELABEL 0x2000
#define OLEMISC_NOUIACTIVATE 0x4000
#define OLEMISC_ALIGNABLE 0x8000
#define OLEMISC_SIMPLEFRAME 0x10000
#define OLEMISC_SETCLIENTSITEFIRST 0x20000

#define OLEIVERB_PRIMARY 0
#define OLEIVERB_SHOW (-1)
#define OLEIVERB_OPEN (-2)
#define OLEIVERB_HIDE (-3)
#define OLEIVERB_UIACTIVATE (-4)
#define OLEIVERB_INPLACEACTIVATE (-5)
#define OLEIVERB_DISCARDUNDOSTATE (-6)
#define OLEIVERB_PROPERTIES (-7)

#define OLEVERBATTRIB_NEVERDIRTIES 1
#define OLEVERBATTRIB_ONCONTAINERMENU 2

#define DVASPECT_CONTENT 1
#define DVASPECT_THUMBNAIL 2
#define DVASPECT_ICON 4
#define DVASPECT_DOCPRINT 8

#define OLECLOSE_SAVEIFDIRTY 0
#define OLECLOSE_NOSAVE 1
#define OLECLOSE_PROMPTSAVE 2

#define USERCLASSTYPE_FULL 1
#define USERCLASSTYPE_SHORT 2
#define USERCLASSTYPE_APPNAME 3

struct OLEVERB {
  LONG lVerb;
  LPOLESTR lpszVerbName;
  DWORD fuFlags;
  DWORD grfAttribs;
};

struct IOleContainer;
struct IOleInPlaceUIWindow;
struct IEnumOLEVERB;

struct IOleClientSite : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SaveObject() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer** ppContainer) = 0;
  virtual HRESULT STDMETHODCALLTYPE ShowObject() = 0;
  virtual HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL fShow) = 0;
  virtual HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() = 0;
};
constexpr IID IID_IOleClientSite = PLATFORM_BASE_IID(0x00000118);
PLATFORM_INTERFACE_ID(IOleClientSite, IID_IOleClientSite)

struct IOleObject : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* pClientSite) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** ppClientSite) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR szContainerApp, LPCOLESTR szContainerObj) = 0;
  virtual HRESULT STDMETHODCALLTYPE Close(DWORD dwSaveOption) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetMoniker(DWORD dwWhichMoniker, IMoniker* pmk) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) = 0;
  virtual HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* pDataObject, BOOL fCreation, DWORD dwReserved) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD dwReserved, IDataObject** ppDataObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE DoVerb(LONG iVerb, LPMSG lpmsg, IOleClientSite* pActiveSite, LONG lindex,
                                           HWND hwndParent, LPCRECT lprcPosRect) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) = 0;
  virtual HRESULT STDMETHODCALLTYPE Update() = 0;
  virtual HRESULT STDMETHODCALLTYPE IsUpToDate() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* pClsid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetExtent(DWORD dwDrawAspect, SIZEL* psizel) = 0;
  virtual HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwConnection) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** ppenumAdvise) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* pLogpal) = 0;
};
constexpr IID IID_IOleObject = PLATFORM_BASE_IID(0x00000112);
PLATFORM_INTERFACE_ID(IOleObject, IID_IOleObject)

struct IOleWindow : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) = 0;
  virtual HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL fEnterMode) = 0;
};
constexpr IID IID_IOleWindow = PLATFORM_BASE_IID(0x00000114);
PLATFORM_INTERFACE_ID(IOleWindow, IID_IOleWindow)

struct IOleInPlaceObject : IOleWindow {
  virtual HRESULT STDMETHODCALLTYPE InPlaceDeactivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE UIDeactivate() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT lprcPosRect, LPCRECT lprcClipRect) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReactivateAndUndo() = 0;
};
constexpr IID IID_IOleInPlaceObject = PLATFORM_BASE_IID(0x00000113);
PLATFORM_INTERFACE_ID(IOleInPlaceObject, IID_IOleInPlaceObject)

struct IOleInPlaceActiveObject : IOleWindow {
  virtual HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG lpmsg) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL fActivate) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL fActivate) = 0;
  virtual HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT prcBorder, IOleInPlaceUIWindow* pUIWindow,
                                                 BOOL fFrameWindow) = 0;
  virtual HRESULT STDMETHODCALLTYPE EnableModeless(BOOL fEnable) = 0;
};
constexpr IID IID_IOleInPlaceActiveObject = PLATFORM_BASE_IID(0x00000117);
PLATFORM_INTERFACE_ID(IOleInPlaceActiveObject, IID_IOleInPlaceActiveObject)

struct IViewObject : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                                         HDC hdcTargetDev, HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL lprcWBounds,
                                         BOOL (*pfnContinue)(ULONG_PTR dwContinue), ULONG_PTR dwContinue) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetColorSet(DWORD dwDrawAspect, LONG lindex, void* pvAspect,
                                                DVTARGETDEVICE* ptd, HDC hicTargetDev, LOGPALETTE** ppColorSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE Freeze(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DWORD* pdwFreeze) = 0;
  virtual HRESULT STDMETHODCALLTYPE Unfreeze(DWORD dwFreeze) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) = 0;
};
constexpr IID IID_IViewObject = PLATFORM_BASE_IID(0x0000010D);
PLATFORM_INTERFACE_ID(IViewObject, IID_IViewObject)

struct IViewObject2 : IViewObject {
  virtual HRESULT STDMETHODCALLTYPE GetExtent(DWORD dwDrawAspect, LONG lindex, DVTARGETDEVICE* ptd,
                                              LPSIZEL lpsizel) = 0;
};
constexpr IID IID_IViewObject2 = PLATFORM_BASE_IID(0x00000127);
PLATFORM_INTERFACE_ID(IViewObject2, IID_IViewObject2)

struct DVEXTENTINFO {
  ULONG cb;
  DWORD dwExtentMode;
  SIZEL sizelProposed;
};

#define VIEWSTATUS_OPAQUE 1
#define VIEWSTATUS_SOLIDBKGND 2
#define HITRESULT_OUTSIDE 0
#define HITRESULT_HIT 3

struct IViewObjectEx : IViewObject2 {
  virtual HRESULT STDMETHODCALLTYPE GetRect(DWORD dwAspect, LPRECTL pRect) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetViewStatus(DWORD* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryHitPoint(DWORD dwAspect, LPCRECT pRectBounds, POINT ptlLoc,
                                                  LONG lCloseHint, DWORD* pHitResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryHitRect(DWORD dwAspect, LPCRECT pRectBounds, LPCRECT pRectLoc,
                                                 LONG lCloseHint, DWORD* pHitResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNaturalExtent(DWORD dwAspect, LONG lindex, DVTARGETDEVICE* ptd,
                                                     HDC hicTargetDev, DVEXTENTINFO* pExtentInfo,
                                                     LPSIZEL pSizel) = 0;
};
constexpr IID IID_IViewObjectEx{0x3AF24292, 0x0C96, 0x11CE, {0xA0, 0xCF, 0x00, 0xAA, 0x00, 0x60, 0x0A, 0xB8}};
PLATFORM_INTERFACE_ID(IViewObjectEx, IID_IViewObjectEx)
