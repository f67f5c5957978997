// The embedding interfaces of the control. The form has no window and draws
// nothing, so what would need a window system answers E_NOTIMPL (or the
// interface's own "not available" result); what a container can use without
// one is real: the client site, the extent, the status bits, hit testing,
// freezing events, quick activation, class information.
#include "control/keygenerator.h"
#include "control/typelibrary.h"

namespace tarvenholm {
namespace {

constexpr LONG kHimetricPerInch = 2540;
constexpr DWORD kViewStatus = VIEWSTATUS_OPAQUE | VIEWSTATUS_SOLIDBKGND;

// Rounded to the nearest unit, as the platform's MulDiv does.
LONG scale(LONG value, LONG numerator, LONG denominator) {
  const LONGLONG product = static_cast<LONGLONG>(value) * numerator;
  const LONGLONG half = denominator / 2;
  return static_cast<LONG>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

bool inside(const RECT& bounds, LONG x, LONG y) {
  return x >= bounds.left && x < bounds.right && y >= bounds.top && y < bounds.bottom;
}

}  // namespace

// ---- Extent: the form's size in pixels, to containers in HIMETRIC ----

HRESULT TkeyGeneratorImpl::GetExtent(DWORD dwDrawAspect, SIZEL* psizel) {
  if (psizel == nullptr) return E_POINTER;
  if (dwDrawAspect != DVASPECT_CONTENT) return E_FAIL;
  const FormProperties& form = form_.properties();
  psizel->cx = scale(form.width, kHimetricPerInch, kDesignPixelsPerInch);
  psizel->cy = scale(form.height, kHimetricPerInch, kDesignPixelsPerInch);
  return S_OK;
}

HRESULT TkeyGeneratorImpl::SetExtent(DWORD dwDrawAspect, SIZEL* psizel) {
  if (psizel == nullptr) return E_POINTER;
  if (dwDrawAspect != DVASPECT_CONTENT || psizel->cx < 0 || psizel->cy < 0) return E_FAIL;
  FormProperties& form = form_.properties();
  form.width = scale(psizel->cx, kDesignPixelsPerInch, kHimetricPerInch);
  form.height = scale(psizel->cy, kDesignPixelsPerInch, kHimetricPerInch);
  dirty_ = true;
  return S_OK;
}

HRESULT TkeyGeneratorImpl::GetExtent(DWORD dwDrawAspect, LONG, DVTARGETDEVICE*, LPSIZEL lpsizel) {
  return GetExtent(dwDrawAspect, lpsizel);
}

HRESULT TkeyGeneratorImpl::GetContentExtent(LPSIZEL pSizel) { return GetExtent(DVASPECT_CONTENT, pSizel); }

HRESULT TkeyGeneratorImpl::SetContentExtent(LPSIZEL pSizel) { return SetExtent(DVASPECT_CONTENT, pSizel); }

// ---- IViewObject, IViewObject2, IViewObjectEx ----

HRESULT TkeyGeneratorImpl::Draw(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, HDC, LPCRECTL, LPCRECTL,
                                BOOL (*)(ULONG_PTR), ULONG_PTR) {
  return E_NOTIMPL;
}

HRESULT TkeyGeneratorImpl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** ppColorSet) {
  if (ppColorSet != nullptr) *ppColorSet = nullptr;
  return E_NOTIMPL;
}

HRESULT TkeyGeneratorImpl::Freeze(DWORD, LONG, void*, DWORD*) { return E_NOTIMPL; }
HRESULT TkeyGeneratorImpl::Unfreeze(DWORD) { return E_NOTIMPL; }
HRESULT TkeyGeneratorImpl::SetAdvise(DWORD, DWORD, IAdviseSink*) { return OLE_E_ADVISENOTSUPPORTED; }

HRESULT TkeyGeneratorImpl::GetAdvise(DWORD*, DWORD*, IAdviseSink** ppAdvSink) {
  if (ppAdvSink != nullptr) *ppAdvSink = nullptr;
  return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT TkeyGeneratorImpl::GetRect(DWORD, LPRECTL) { return E_NOTIMPL; }

HRESULT TkeyGeneratorImpl::GetViewStatus(DWORD* pdwStatus) {
  if (pdwStatus == nullptr) return E_POINTER;
  *pdwStatus = kViewStatus;
  return S_OK;
}

HRESULT TkeyGeneratorImpl::QueryHitPoint(DWORD dwAspect, LPCRECT pRectBounds, POINT ptlLoc, LONG,
                                         DWORD* pHitResult) {
  if (pRectBounds == nullptr || pHitResult == nullptr) return E_POINTER;
  if (dwAspect != DVASPECT_CONTENT) return E_FAIL;
  *pHitResult = inside(*pRectBounds, ptlLoc.x, ptlLoc.y) ? HITRESULT_HIT : HITRESULT_OUTSIDE;
  return S_OK;
}

HRESULT TkeyGeneratorImpl::QueryHitRect(DWORD dwAspect, LPCRECT pRectBounds, LPCRECT pRectLoc, LONG,
                                        DWORD* pHitResult) {
  if (pRectBounds == nullptr || pRectLoc == nullptr || pHitResult == nullptr) return E_POINTER;
  if (dwAspect != DVASPECT_CONTENT) return E_FAIL;
  const bool overlaps = pRectLoc->left < pRectBounds->right && pRectBounds->left < pRectLoc->right &&
                        pRectLoc->top < pRectBounds->bottom && pRectBounds->top < pRectLoc->bottom;
  *pHitResult = overlaps ? HITRESULT_HIT : HITRESULT_OUTSIDE;
  return S_OK;
}

HRESULT TkeyGeneratorImpl::GetNaturalExtent(DWORD, LONG, DVTARGETDEVICE*, HDC, DVEXTENTINFO*, LPSIZEL) {
  return E_NOTIMPL;
}

// ---- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject ----

HRESULT TkeyGeneratorImpl::GetWindow(HWND* phwnd) {
  if (phwnd == nullptr) return E_POINTER;
  *phwnd = nullptr;
  return E_FAIL;
}

HRESULT TkeyGeneratorImpl::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }
// Never in-place active without a window: deactivating has nothing to undo.
HRESULT TkeyGeneratorImpl::InPlaceDeactivate() { return S_OK; }
HRESULT TkeyGeneratorImpl::UIDeactivate() { return S_OK; }
HRESULT TkeyGeneratorImpl::SetObjectRects(LPCRECT, LPCRECT) { return E_NOTIMPL; }
HRESULT TkeyGeneratorImpl::ReactivateAndUndo() { return E_NOTIMPL; }
// No accelerators: nothing is translated.
HRESULT TkeyGeneratorImpl::TranslateAccelerator(LPMSG) { return S_FALSE; }
HRESULT TkeyGeneratorImpl::OnFrameWindowActivate(BOOL) { return E_NOTIMPL; }
HRESULT TkeyGeneratorImpl::OnDocWindowActivate(BOOL) { return E_NOTIMPL; }
HRESULT TkeyGeneratorImpl::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return E_NOTIMPL; }
HRESULT TkeyGeneratorImpl::EnableModeless(BOOL) { return E_NOTIMPL; }

// ---- IOleControl ----

HRESULT TkeyGeneratorImpl::GetControlInfo(CONTROLINFO* pCI) {
  if (pCI == nullptr) return E_POINTER;
  pCI->hAccel = nullptr;
  pCI->cAccel = 0;
  pCI->dwFlags = 0;
  return S_OK;
}

HRESULT TkeyGeneratorImpl::OnMnemonic(MSG*) { return E_NOTIMPL; }
HRESULT TkeyGeneratorImpl::OnAmbientPropertyChange(DISPID) { return S_OK; }

// Events are not fired while the container has them frozen.
HRESULT TkeyGeneratorImpl::FreezeEvents(BOOL bFreeze) {
  if (bFreeze)
    ++eventFreezes_;
  else if (eventFreezes_ > 0)
    --eventFreezes_;
  return S_OK;
}

// ---- IOleObject ----

HRESULT TkeyGeneratorImpl::SetClientSite(IOleClientSite* pClientSite) {
  clientSite_ = platform::ComPtr<IOleClientSite>(pClientSite);
  return S_OK;
}

HRESULT TkeyGeneratorImpl::GetClientSite(IOleClientSite** ppClientSite) { return clientSite_.copyTo(ppClientSite); }

HRESULT TkeyGeneratorImpl::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

// Closing drops the site; there is no window to hide and the host saves
// through the persistence interfaces.
HRESULT TkeyGeneratorImpl::Close(DWORD) {
  clientSite_.reset();
  return S_OK;
}

HRESULT TkeyGeneratorImpl::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

HRESULT TkeyGeneratorImpl::GetMoniker(DWORD, DWORD, IMoniker** ppmk) {
  if (ppmk != nullptr) *ppmk = nullptr;
  return E_NOTIMPL;
}

HRESULT TkeyGeneratorImpl::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

HRESULT TkeyGeneratorImpl::GetClipboardData(DWORD, IDataObject** ppDataObject) {
  if (ppDataObject != nullptr) *ppDataObject = nullptr;
  return E_NOTIMPL;
}

HRESULT TkeyGeneratorImpl::DoVerb(LONG, LPMSG, IOleClientSite*, LONG, HWND, LPCRECT) { return E_NOTIMPL; }

// The verbs are those registered for the class.
HRESULT TkeyGeneratorImpl::EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) {
  if (ppEnumOleVerb != nullptr) *ppEnumOleVerb = nullptr;
  return OLE_S_USEREG;
}

HRESULT TkeyGeneratorImpl::Update() { return S_OK; }
HRESULT TkeyGeneratorImpl::IsUpToDate() { return S_OK; }

HRESULT TkeyGeneratorImpl::GetUserClassID(CLSID* pClsid) { return GetClassID(pClsid); }

// The user type is the class's registered description.
HRESULT TkeyGeneratorImpl::GetUserType(DWORD, LPOLESTR* pszUserType) {
  if (pszUserType != nullptr) *pszUserType = nullptr;
  return OLE_S_USEREG;
}

HRESULT TkeyGeneratorImpl::Advise(IAdviseSink*, DWORD* pdwConnection) {
  if (pdwConnection != nullptr) *pdwConnection = 0;
  return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT TkeyGeneratorImpl::Unadvise(DWORD) { return OLE_E_NOCONNECTION; }

HRESULT TkeyGeneratorImpl::EnumAdvise(IEnumSTATDATA** ppenumAdvise) {
  if (ppenumAdvise != nullptr) *ppenumAdvise = nullptr;
  return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT TkeyGeneratorImpl::GetMiscStatus(DWORD, DWORD* pdwStatus) {
  if (pdwStatus == nullptr) return E_POINTER;
  *pdwStatus = kMiscStatus;
  return S_OK;
}

HRESULT TkeyGeneratorImpl::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// ---- IQuickActivate ----

// Takes the container's site and sinks in one call, as a container would
// through SetClientSite and the two connection points.
HRESULT TkeyGeneratorImpl::QuickActivate(QACONTAINER* pQaContainer, QACONTROL* pQaControl) {
  if (pQaContainer == nullptr || pQaControl == nullptr) return E_POINTER;
  if (pQaContainer->cbSize < sizeof(QACONTAINER) || pQaControl->cbSize < sizeof(QACONTROL)) return E_INVALIDARG;
  SetClientSite(pQaContainer->pClientSite);
  pQaControl->dwMiscStatus = kMiscStatus;
  pQaControl->dwViewStatus = kViewStatus;
  pQaControl->dwEventCookie = 0;
  pQaControl->dwPropNotifyCookie = 0;
  pQaControl->dwPointerActivationPolicy = 0;
  if (pQaContainer->pUnkEventSink != nullptr) events_.Advise(pQaContainer->pUnkEventSink, &pQaControl->dwEventCookie);
  if (pQaContainer->pPropertyNotifySink != nullptr)
    propertyNotify_.Advise(pQaContainer->pPropertyNotifySink, &pQaControl->dwPropNotifyCookie);
  return S_OK;
}

// ---- ISpecifyPropertyPages: the control has none ----

HRESULT TkeyGeneratorImpl::GetPages(CAUUID* pPages) {
  if (pPages == nullptr) return E_POINTER;
  pPages->cElems = 0;
  pPages->pElems = nullptr;
  return S_OK;
}

// ---- IDataObject: the control renders no data formats ----

HRESULT TkeyGeneratorImpl::GetData(FORMATETC*, STGMEDIUM*) { return DV_E_FORMATETC; }
HRESULT TkeyGeneratorImpl::GetDataHere(FORMATETC*, STGMEDIUM*) { return DV_E_FORMATETC; }
HRESULT TkeyGeneratorImpl::QueryGetData(FORMATETC*) { return DV_E_FORMATETC; }
HRESULT TkeyGeneratorImpl::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) { return E_NOTIMPL; }
HRESULT TkeyGeneratorImpl::SetData(FORMATETC*, STGMEDIUM*, BOOL) { return E_NOTIMPL; }

HRESULT TkeyGeneratorImpl::EnumFormatEtc(DWORD, IEnumFORMATETC** ppenumFormatEtc) {
  if (ppenumFormatEtc != nullptr) *ppenumFormatEtc = nullptr;
  return E_NOTIMPL;
}

HRESULT TkeyGeneratorImpl::DAdvise(FORMATETC*, DWORD, IAdviseSink*, DWORD* pdwConnection) {
  if (pdwConnection != nullptr) *pdwConnection = 0;
  return OLE_E_ADVISENOTSUPPORTED;
}

HRESULT TkeyGeneratorImpl::DUnadvise(DWORD) { return OLE_E_ADVISENOTSUPPORTED; }

HRESULT TkeyGeneratorImpl::EnumDAdvise(IEnumSTATDATA** ppenumAdvise) {
  if (ppenumAdvise != nullptr) *ppenumAdvise = nullptr;
  return OLE_E_ADVISENOTSUPPORTED;
}

// ---- ISimpleFrameSite: window messages do not exist here ----

HRESULT TkeyGeneratorImpl::PreMessageFilter(HWND, UINT, WPARAM, LPARAM, LRESULT*, DWORD*) { return E_NOTIMPL; }
HRESULT TkeyGeneratorImpl::PostMessageFilter(HWND, UINT, WPARAM, LPARAM, LRESULT*, DWORD) { return E_NOTIMPL; }

// ---- IProvideClassInfo, IProvideClassInfo2, ISupportErrorInfo ----

HRESULT TkeyGeneratorImpl::GetClassInfo(ITypeInfo** ppTI) { return tarvenholmTypeInfo(CLSID_keyGenerator, ppTI); }

HRESULT TkeyGeneratorImpl::GetGUID(DWORD dwGuidKind, GUID* pGUID) {
  if (pGUID == nullptr) return E_POINTER;
  if (dwGuidKind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
    *pGUID = GUID_NULL;
    return E_INVALIDARG;
  }
  *pGUID = DIID_ITarvenholmEvents;
  return S_OK;
}

HRESULT TkeyGeneratorImpl::InterfaceSupportsErrorInfo(REFIID riid) {
  return riid == IID_ITarvenholmX || riid == IID_ITarvenholmX2 ? S_OK : S_FALSE;
}

}  // namespace tarvenholm
