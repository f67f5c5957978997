// TkeyGeneratorImpl: the control object of class keyGenerator. It joins the
// form TkeyGenerator to the automation interface ITarvenholmX (dispatched
// through the type library model), the event and property-notification
// connection points, persistence of the form, class information, safety
// for scripting, and the embedding interfaces a container expects of a
// control. There is no window system: what needs one answers E_NOTIMPL or
// the interface's own "not available" result (docs/control.md lists them).
//
// The control's own members read and write the module-wide settings
// (engine/settings.h, support/errors.h), shared by every instance.
#pragma once

#include "control/form.h"
#include "control/itarvenholmx2.h"
#include "engine/modern_request.h"
#include "platform/combase.h"
#include "platform/connection.h"
#include "platform/objsafe.h"

namespace tarvenholm {

class TkeyGeneratorImpl final : public platform::ComObjectRoot,
                                public ITarvenholmX2,
                                public IViewObjectEx,
                                public IOleInPlaceObject,
                                public IOleInPlaceActiveObject,
                                public IOleControl,
                                public IOleObject,
                                public IQuickActivate,
                                public IPersistStorage,
                                public IPersistStreamInit,
                                public ISpecifyPropertyPages,
                                public IDataObject,
                                public ISimpleFrameSite,
                                public IProvideClassInfo2,
                                public ISupportErrorInfo,
                                public IObjectSafety,
                                private FormEventListener {
 public:
  // `outer`: the controlling unknown when created aggregated, else null.
  explicit TkeyGeneratorImpl(IUnknown* outer);
  ~TkeyGeneratorImpl() override;

  PLATFORM_DELEGATING_IUNKNOWN

  TkeyGenerator& form() { return form_; }

  // ---- IDispatch (through the type library model) ----
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                          DISPID* rgDispId) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;

  // ---- ITarvenholmX: standard properties of the form ----
  HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_AutoScroll(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_AutoScroll(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_AutoSize(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_AutoSize(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_AxBorderStyle(TxActiveFormBorderStyle* Value) override;
  HRESULT STDMETHODCALLTYPE put_AxBorderStyle(TxActiveFormBorderStyle Value) override;
  HRESULT STDMETHODCALLTYPE get_BorderWidth(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE put_BorderWidth(LONG Value) override;
  HRESULT STDMETHODCALLTYPE get_Caption(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_Caption(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_Color(OLE_COLOR* Value) override;
  HRESULT STDMETHODCALLTYPE put_Color(OLE_COLOR Value) override;
  HRESULT STDMETHODCALLTYPE get_Font(IFontDisp** Value) override;
  HRESULT STDMETHODCALLTYPE put_Font(IFontDisp* Value) override;
  HRESULT STDMETHODCALLTYPE putref_Font(IFontDisp* Value) override;
  HRESULT STDMETHODCALLTYPE get_KeyPreview(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_KeyPreview(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_PixelsPerInch(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE put_PixelsPerInch(LONG Value) override;
  HRESULT STDMETHODCALLTYPE get_PrintScale(TxPrintScale* Value) override;
  HRESULT STDMETHODCALLTYPE put_PrintScale(TxPrintScale Value) override;
  HRESULT STDMETHODCALLTYPE get_Scaled(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_Scaled(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_Active(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE get_DropTarget(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_DropTarget(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_HelpFile(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_HelpFile(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_DoubleBuffered(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_DoubleBuffered(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_VisibleDockClientCount(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_Cursor(SHORT* Value) override;
  HRESULT STDMETHODCALLTYPE put_Cursor(SHORT Value) override;

  // ---- ITarvenholmX: the control's own members ----
  HRESULT STDMETHODCALLTYPE getCSPList(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE get_kSize(LONG* Value) override;
  HRESULT STDMETHODCALLTYPE put_kSize(LONG Value) override;
  HRESULT STDMETHODCALLTYPE genReq(BSTR names, BSTR* req) override;
  HRESULT STDMETHODCALLTYPE put_provName(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE setCert(BSTR Param1, LONG* Param2) override;
  HRESULT STDMETHODCALLTYPE put_msgLng(LONG Value) override;

  // ---- ITarvenholmX2: modern requests (keygenerator_modern.cpp) ----
  HRESULT STDMETHODCALLTYPE get_keyAlgorithm(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_keyAlgorithm(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_hashAlgorithm(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_hashAlgorithm(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_usePss(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_usePss(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_singleRdn(VARIANT_BOOL* Value) override;
  HRESULT STDMETHODCALLTYPE put_singleRdn(VARIANT_BOOL Value) override;
  HRESULT STDMETHODCALLTYPE get_subjectAltNames(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_subjectAltNames(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_keyUsage(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_keyUsage(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_extKeyUsage(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_extKeyUsage(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE put_challengePassword(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE get_renewContainer(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE put_renewContainer(BSTR Value) override;
  HRESULT STDMETHODCALLTYPE createRequest(BSTR subject, BSTR* req) override;
  HRESULT STDMETHODCALLTYPE get_requestContainer(BSTR* Value) override;
  HRESULT STDMETHODCALLTYPE get_requestProvider(BSTR* Value) override;

  // ---- IViewObject, IViewObject2, IViewObjectEx ----
  HRESULT STDMETHODCALLTYPE Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                                 HDC hdcTargetDev, HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL lprcWBounds,
                                 BOOL (*pfnContinue)(ULONG_PTR dwContinue), ULONG_PTR dwContinue) override;
  HRESULT STDMETHODCALLTYPE GetColorSet(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                                        HDC hicTargetDev, LOGPALETTE** ppColorSet) override;
  HRESULT STDMETHODCALLTYPE Freeze(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DWORD* pdwFreeze) override;
  HRESULT STDMETHODCALLTYPE Unfreeze(DWORD dwFreeze) override;
  HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) override;
  HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD dwDrawAspect, LONG lindex, DVTARGETDEVICE* ptd, LPSIZEL lpsizel) override;
  HRESULT STDMETHODCALLTYPE GetRect(DWORD dwAspect, LPRECTL pRect) override;
  HRESULT STDMETHODCALLTYPE GetViewStatus(DWORD* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE QueryHitPoint(DWORD dwAspect, LPCRECT pRectBounds, POINT ptlLoc, LONG lCloseHint,
                                          DWORD* pHitResult) override;
  HRESULT STDMETHODCALLTYPE QueryHitRect(DWORD dwAspect, LPCRECT pRectBounds, LPCRECT pRectLoc, LONG lCloseHint,
                                         DWORD* pHitResult) override;
  HRESULT STDMETHODCALLTYPE GetNaturalExtent(DWORD dwAspect, LONG lindex, DVTARGETDEVICE* ptd, HDC hicTargetDev,
                                             DVEXTENTINFO* pExtentInfo, LPSIZEL pSizel) override;

  // ---- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject ----
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* phwnd) override;
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL fEnterMode) override;
  HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override;
  HRESULT STDMETHODCALLTYPE UIDeactivate() override;
  HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT lprcPosRect, LPCRECT lprcClipRect) override;
  HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override;
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG lpmsg) override;
  HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL fActivate) override;
  HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL fActivate) override;
  HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT prcBorder, IOleInPlaceUIWindow* pUIWindow,
                                         BOOL fFrameWindow) override;
  HRESULT STDMETHODCALLTYPE EnableModeless(BOOL fEnable) override;

  // ---- IOleControl ----
  HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* pCI) override;
  HRESULT STDMETHODCALLTYPE OnMnemonic(MSG* pMsg) override;
  HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID dispID) override;
  HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL bFreeze) override;

  // ---- IOleObject ----
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* pClientSite) override;
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** ppClientSite) override;
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR szContainerApp, LPCOLESTR szContainerObj) override;
  HRESULT STDMETHODCALLTYPE Close(DWORD dwSaveOption) override;
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD dwWhichMoniker, IMoniker* pmk) override;
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) override;
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject* pDataObject, BOOL fCreation, DWORD dwReserved) override;
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD dwReserved, IDataObject** ppDataObject) override;
  HRESULT STDMETHODCALLTYPE DoVerb(LONG iVerb, LPMSG lpmsg, IOleClientSite* pActiveSite, LONG lindex,
                                   HWND hwndParent, LPCRECT lprcPosRect) override;
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) override;
  HRESULT STDMETHODCALLTYPE Update() override;
  HRESULT STDMETHODCALLTYPE IsUpToDate() override;
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* pClsid) override;
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) override;
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD dwDrawAspect, SIZEL* psizel) override;
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD dwDrawAspect, SIZEL* psizel) override;
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) override;
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwConnection) override;
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** ppenumAdvise) override;
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE* pLogpal) override;

  // ---- IQuickActivate ----
  HRESULT STDMETHODCALLTYPE QuickActivate(QACONTAINER* pQaContainer, QACONTROL* pQaControl) override;
  HRESULT STDMETHODCALLTYPE SetContentExtent(LPSIZEL pSizel) override;
  HRESULT STDMETHODCALLTYPE GetContentExtent(LPSIZEL pSizel) override;

  // ---- IPersist, IPersistStreamInit, IPersistStorage ----
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* pClassID) override;
  HRESULT STDMETHODCALLTYPE IsDirty() override;
  HRESULT STDMETHODCALLTYPE Load(IStream* pStm) override;
  HRESULT STDMETHODCALLTYPE Save(IStream* pStm, BOOL fClearDirty) override;
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* pCbSize) override;
  HRESULT STDMETHODCALLTYPE InitNew() override;
  HRESULT STDMETHODCALLTYPE InitNew(IStorage* pStg) override;
  HRESULT STDMETHODCALLTYPE Load(IStorage* pStg) override;
  HRESULT STDMETHODCALLTYPE Save(IStorage* pStgSave, BOOL fSameAsLoad) override;
  HRESULT STDMETHODCALLTYPE SaveCompleted(IStorage* pStgNew) override;
  HRESULT STDMETHODCALLTYPE HandsOffStorage() override;

  // ---- ISpecifyPropertyPages ----
  HRESULT STDMETHODCALLTYPE GetPages(CAUUID* pPages) override;

  // ---- IDataObject ----
  HRESULT STDMETHODCALLTYPE GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) override;
  HRESULT STDMETHODCALLTYPE GetDataHere(FORMATETC* pformatetc, STGMEDIUM* pmedium) override;
  HRESULT STDMETHODCALLTYPE QueryGetData(FORMATETC* pformatetc) override;
  HRESULT STDMETHODCALLTYPE GetCanonicalFormatEtc(FORMATETC* pformatectIn, FORMATETC* pformatetcOut) override;
  HRESULT STDMETHODCALLTYPE SetData(FORMATETC* pformatetc, STGMEDIUM* pmedium, BOOL fRelease) override;
  HRESULT STDMETHODCALLTYPE EnumFormatEtc(DWORD dwDirection, IEnumFORMATETC** ppenumFormatEtc) override;
  HRESULT STDMETHODCALLTYPE DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                                    DWORD* pdwConnection) override;
  HRESULT STDMETHODCALLTYPE DUnadvise(DWORD dwConnection) override;
  HRESULT STDMETHODCALLTYPE EnumDAdvise(IEnumSTATDATA** ppenumAdvise) override;

  // ---- ISimpleFrameSite ----
  HRESULT STDMETHODCALLTYPE PreMessageFilter(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* plResult,
                                             DWORD* pdwCookie) override;
  HRESULT STDMETHODCALLTYPE PostMessageFilter(HWND hWnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* plResult,
                                              DWORD dwCookie) override;

  // ---- IProvideClassInfo, IProvideClassInfo2 ----
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** ppTI) override;
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD dwGuidKind, GUID* pGUID) override;

  // ---- ISupportErrorInfo ----
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

  // ---- IObjectSafety ----
  HRESULT STDMETHODCALLTYPE GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                                      DWORD* pdwEnabledOptions) override;
  HRESULT STDMETHODCALLTYPE SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask,
                                                      DWORD dwEnabledOptions) override;

 protected:
  void* findInterface(REFIID iid) override;

 private:
  void formEvent(FormEvent event, SHORT* key) override;

  // A standard property put: asks the notification sinks, changes the
  // property, marks the control dirty and tells the sinks. S_FALSE when a
  // sink refuses (nothing changes).
  template <class Change>
  HRESULT changeProperty(DISPID id, Change&& change);
  template <class T>
  HRESULT getValue(T* out, T FormProperties::*member);
  template <class T>
  HRESULT putValue(DISPID id, T FormProperties::*member, T value);
  HRESULT getFlag(VARIANT_BOOL* out, bool FormProperties::*member);
  HRESULT putFlag(DISPID id, bool FormProperties::*member, VARIANT_BOOL value);
  HRESULT getText(BSTR* out, std::u16string FormProperties::*member);
  HRESULT putText(DISPID id, std::u16string FormProperties::*member, BSTR value);
  HRESULT loadImage(IStream* stream);
  HRESULT saveImage(IStream* stream, BOOL clearDirty);

  TkeyGenerator form_;
  ModernRequestOptions modern_;
  struct {
    std::string container;
    std::string provider;
  } lastRequest_;
  platform::ConnectionPointContainer points_;
  platform::ConnectionPoint& events_;
  platform::ConnectionPoint& propertyNotify_;
  platform::ComPtr<IOleClientSite> clientSite_;
  DWORD safetyOptions_ = 0;
  ULONG eventFreezes_ = 0;
  bool dirty_ = false;
};

// The form of a control object of this class, or null for any other object.
TkeyGenerator* formOf(IUnknown* control);

}  // namespace tarvenholm
