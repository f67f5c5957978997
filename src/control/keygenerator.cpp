#include "control/keygenerator.h"

#include <iterator>
#include <string>

#include "control/automation_error.h"
#include "control/module_state.h"
#include "control/own_members.h"
#include "control/typelibrary.h"
#include "platform/dispatch.h"

namespace tarvenholm {
namespace {

using platform::ComPtr;

// Slot i of the binding serves member i of ITarvenholmX2 in the model: the
// slots of ITarvenholmX, then the modern request members.
const platform::DispatchBinding<ITarvenholmX2>& binding() {
  static const platform::DispatchBinding<ITarvenholmX2> bound = [] {
    ComPtr<ITypeInfo> info;
    tarvenholmTypeInfo(IID_ITarvenholmX2, info.put());
    using X = ITarvenholmX2;
    return platform::DispatchBinding<X>(
        info.get(), &X::get_Visible, &X::put_Visible, &X::get_AutoScroll, &X::put_AutoScroll, &X::get_AutoSize,
        &X::put_AutoSize, &X::get_AxBorderStyle, &X::put_AxBorderStyle, &X::get_BorderWidth, &X::put_BorderWidth,
        &X::get_Caption, &X::put_Caption, &X::get_Color, &X::put_Color, &X::get_Font, &X::put_Font,
        &X::putref_Font, &X::get_KeyPreview, &X::put_KeyPreview, &X::get_PixelsPerInch, &X::put_PixelsPerInch,
        &X::get_PrintScale, &X::put_PrintScale, &X::get_Scaled, &X::put_Scaled, &X::get_Active,
        &X::get_DropTarget, &X::put_DropTarget, &X::get_HelpFile, &X::put_HelpFile, &X::get_DoubleBuffered,
        &X::put_DoubleBuffered, &X::get_VisibleDockClientCount, &X::get_Enabled, &X::put_Enabled, &X::get_Cursor,
        &X::put_Cursor, &X::getCSPList, &X::get_kSize, &X::put_kSize, &X::genReq, &X::put_provName, &X::setCert,
        &X::put_msgLng, &X::get_keyAlgorithm, &X::put_keyAlgorithm, &X::get_hashAlgorithm, &X::put_hashAlgorithm,
        &X::get_usePss, &X::put_usePss, &X::get_singleRdn, &X::put_singleRdn, &X::get_subjectAltNames,
        &X::put_subjectAltNames, &X::get_keyUsage, &X::put_keyUsage, &X::get_extKeyUsage, &X::put_extKeyUsage,
        &X::put_challengePassword, &X::get_renewContainer, &X::put_renewContainer, &X::createRequest,
        &X::get_requestContainer, &X::get_requestProvider);
  }();
  return bound;
}

// The event of ITarvenholmEvents fired for each event of the form, in the
// order of FormEvent.
constexpr DISPID kFormEventIds[] = {dispid::OnActivate, dispid::OnClick,      dispid::OnCreate,
                                    dispid::OnDblClick, dispid::OnDestroy,    dispid::OnDeactivate,
                                    dispid::OnKeyPress, dispid::OnPaint};
static_assert(std::size(kFormEventIds) == static_cast<std::size_t>(FormEvent::Paint) + 1);
constexpr ULONG kEventSinkLimit = 5;

VARIANT_BOOL asVariantBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

std::u16string textOf(BSTR value) { return std::u16string(value == nullptr ? u"" : value, SysStringLen(value)); }

template <class T, class Read>
HRESULT readInto(T* out, Read&& read) {
  return guarded([&] {
    if (out == nullptr) return E_POINTER;
    *out = read();
    return S_OK;
  });
}

}  // namespace

TkeyGeneratorImpl::TkeyGeneratorImpl(IUnknown* outer)
    : ComObjectRoot(outer),
      points_(controllingUnknown()),
      events_(points_.add(DIID_ITarvenholmEvents, kEventSinkLimit)),
      propertyNotify_(points_.add(IID_IPropertyNotifySink)) {
  form_.setListener(this);
  lockModule();
}

TkeyGeneratorImpl::~TkeyGeneratorImpl() {
  form_.setListener(nullptr);
  unlockModule();
}

void* TkeyGeneratorImpl::findInterface(REFIID iid) {
  if (iid == IID_ITarvenholmX2 || iid == IID_ITarvenholmX || iid == IID_IDispatch)
    return static_cast<ITarvenholmX2*>(this);
  if (iid == IID_IViewObjectEx || iid == IID_IViewObject2 || iid == IID_IViewObject)
    return static_cast<IViewObjectEx*>(this);
  if (iid == IID_IOleInPlaceObject || iid == IID_IOleWindow) return static_cast<IOleInPlaceObject*>(this);
  if (iid == IID_IOleInPlaceActiveObject) return static_cast<IOleInPlaceActiveObject*>(this);
  if (iid == IID_IOleControl) return static_cast<IOleControl*>(this);
  if (iid == IID_IOleObject) return static_cast<IOleObject*>(this);
  if (iid == IID_IQuickActivate) return static_cast<IQuickActivate*>(this);
  if (iid == IID_IPersistStorage) return static_cast<IPersistStorage*>(this);
  if (iid == IID_IPersistStreamInit) return static_cast<IPersistStreamInit*>(this);
  if (iid == IID_ISpecifyPropertyPages) return static_cast<ISpecifyPropertyPages*>(this);
  if (iid == IID_IDataObject) return static_cast<IDataObject*>(this);
  if (iid == IID_ISimpleFrameSite) return static_cast<ISimpleFrameSite*>(this);
  if (iid == IID_IProvideClassInfo || iid == IID_IProvideClassInfo2) return static_cast<IProvideClassInfo2*>(this);
  if (iid == IID_IConnectionPointContainer) return static_cast<IConnectionPointContainer*>(&points_);
  if (iid == IID_ISupportErrorInfo) return static_cast<ISupportErrorInfo*>(this);
  if (iid == IID_IObjectSafety) return static_cast<IObjectSafety*>(this);
  return nullptr;
}

TkeyGenerator* formOf(IUnknown* control) {
  if (control == nullptr) return nullptr;
  ComPtr<ITarvenholmX> automation;
  if (FAILED(control->QueryInterface(IID_ITarvenholmX, automation.putVoid()))) return nullptr;
  auto* object = dynamic_cast<TkeyGeneratorImpl*>(automation.get());
  return object == nullptr ? nullptr : &object->form();
}

// ---- IDispatch ----

HRESULT TkeyGeneratorImpl::GetTypeInfoCount(UINT* pctinfo) { return binding().getTypeInfoCount(pctinfo); }

HRESULT TkeyGeneratorImpl::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
  return binding().getTypeInfo(iTInfo, lcid, ppTInfo);
}

HRESULT TkeyGeneratorImpl::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) {
  return binding().getIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
}

HRESULT TkeyGeneratorImpl::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                                  VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
  return binding().invoke(this, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
}

// ---- The control's own members, on the module-wide settings ----

HRESULT TkeyGeneratorImpl::getCSPList(BSTR* Value) { return providerList(Value); }
HRESULT TkeyGeneratorImpl::get_kSize(LONG* Value) { return readKeySize(Value); }
HRESULT TkeyGeneratorImpl::put_kSize(LONG Value) { return writeKeySize(Value); }
HRESULT TkeyGeneratorImpl::genReq(BSTR names, BSTR* req) { return generateRequest(names, req); }
HRESULT TkeyGeneratorImpl::put_provName(BSTR Value) { return writeProviderName(Value); }
HRESULT TkeyGeneratorImpl::setCert(BSTR Param1, LONG* Param2) { return installCertificates(Param1, Param2); }
HRESULT TkeyGeneratorImpl::put_msgLng(LONG Value) { return writeMessageLanguage(Value); }

// ---- Standard properties of the form ----

template <class Change>
HRESULT TkeyGeneratorImpl::changeProperty(DISPID id, Change&& change) {
  return guarded([&] {
    if (propertyNotify_.requestEdit(id) != S_OK) return S_FALSE;
    const HRESULT changed = change();
    if (FAILED(changed)) return changed;
    dirty_ = true;
    propertyNotify_.notifyChanged(id);
    return S_OK;
  });
}

template <class T>
HRESULT TkeyGeneratorImpl::putValue(DISPID id, T FormProperties::*member, T value) {
  return changeProperty(id, [&] {
    form_.properties().*member = value;
    return S_OK;
  });
}

template <class T>
HRESULT TkeyGeneratorImpl::getValue(T* out, T FormProperties::*member) {
  return readInto(out, [&] { return form_.properties().*member; });
}

HRESULT TkeyGeneratorImpl::getFlag(VARIANT_BOOL* out, bool FormProperties::*member) {
  return readInto(out, [&] { return asVariantBool(form_.properties().*member); });
}

HRESULT TkeyGeneratorImpl::putFlag(DISPID id, bool FormProperties::*member, VARIANT_BOOL value) {
  return putValue(id, member, value != VARIANT_FALSE);
}

HRESULT TkeyGeneratorImpl::getText(BSTR* out, std::u16string FormProperties::*member) {
  return readInto(out, [&] {
    const std::u16string& text = form_.properties().*member;
    return handBack(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
  });
}

HRESULT TkeyGeneratorImpl::putText(DISPID id, std::u16string FormProperties::*member, BSTR value) {
  return guarded([&] { return putValue(id, member, textOf(value)); });
}

HRESULT TkeyGeneratorImpl::get_Visible(VARIANT_BOOL* Value) { return getFlag(Value, &FormProperties::visible); }
HRESULT TkeyGeneratorImpl::put_Visible(VARIANT_BOOL Value) {
  return putFlag(dispid::Visible, &FormProperties::visible, Value);
}
HRESULT TkeyGeneratorImpl::get_AutoScroll(VARIANT_BOOL* Value) { return getFlag(Value, &FormProperties::autoScroll); }
HRESULT TkeyGeneratorImpl::put_AutoScroll(VARIANT_BOOL Value) {
  return putFlag(dispid::AutoScroll, &FormProperties::autoScroll, Value);
}
HRESULT TkeyGeneratorImpl::get_AutoSize(VARIANT_BOOL* Value) { return getFlag(Value, &FormProperties::autoSize); }
HRESULT TkeyGeneratorImpl::put_AutoSize(VARIANT_BOOL Value) {
  return putFlag(dispid::AutoSize, &FormProperties::autoSize, Value);
}
HRESULT TkeyGeneratorImpl::get_AxBorderStyle(TxActiveFormBorderStyle* Value) {
  return getValue(Value, &FormProperties::axBorderStyle);
}
HRESULT TkeyGeneratorImpl::put_AxBorderStyle(TxActiveFormBorderStyle Value) {
  return putValue(dispid::AxBorderStyle, &FormProperties::axBorderStyle, Value);
}
HRESULT TkeyGeneratorImpl::get_BorderWidth(LONG* Value) { return getValue(Value, &FormProperties::borderWidth); }
HRESULT TkeyGeneratorImpl::put_BorderWidth(LONG Value) {
  return putValue(dispid::BorderWidth, &FormProperties::borderWidth, Value);
}
HRESULT TkeyGeneratorImpl::get_Caption(BSTR* Value) { return getText(Value, &FormProperties::caption); }
HRESULT TkeyGeneratorImpl::put_Caption(BSTR Value) { return putText(dispid::Caption, &FormProperties::caption, Value); }
HRESULT TkeyGeneratorImpl::get_Color(OLE_COLOR* Value) { return getValue(Value, &FormProperties::color); }
HRESULT TkeyGeneratorImpl::put_Color(OLE_COLOR Value) { return putValue(dispid::Color, &FormProperties::color, Value); }
HRESULT TkeyGeneratorImpl::get_KeyPreview(VARIANT_BOOL* Value) { return getFlag(Value, &FormProperties::keyPreview); }
HRESULT TkeyGeneratorImpl::put_KeyPreview(VARIANT_BOOL Value) {
  return putFlag(dispid::KeyPreview, &FormProperties::keyPreview, Value);
}
HRESULT TkeyGeneratorImpl::get_PixelsPerInch(LONG* Value) { return getValue(Value, &FormProperties::pixelsPerInch); }
HRESULT TkeyGeneratorImpl::put_PixelsPerInch(LONG Value) {
  return putValue(dispid::PixelsPerInch, &FormProperties::pixelsPerInch, Value);
}
HRESULT TkeyGeneratorImpl::get_PrintScale(TxPrintScale* Value) { return getValue(Value, &FormProperties::printScale); }
HRESULT TkeyGeneratorImpl::put_PrintScale(TxPrintScale Value) {
  return putValue(dispid::PrintScale, &FormProperties::printScale, Value);
}
HRESULT TkeyGeneratorImpl::get_Scaled(VARIANT_BOOL* Value) { return getFlag(Value, &FormProperties::scaled); }
HRESULT TkeyGeneratorImpl::put_Scaled(VARIANT_BOOL Value) {
  return putFlag(dispid::Scaled, &FormProperties::scaled, Value);
}
HRESULT TkeyGeneratorImpl::get_DropTarget(VARIANT_BOOL* Value) { return getFlag(Value, &FormProperties::dropTarget); }
HRESULT TkeyGeneratorImpl::put_DropTarget(VARIANT_BOOL Value) {
  return putFlag(dispid::DropTarget, &FormProperties::dropTarget, Value);
}
HRESULT TkeyGeneratorImpl::get_HelpFile(BSTR* Value) { return getText(Value, &FormProperties::helpFile); }
HRESULT TkeyGeneratorImpl::put_HelpFile(BSTR Value) {
  return putText(dispid::HelpFile, &FormProperties::helpFile, Value);
}
HRESULT TkeyGeneratorImpl::get_DoubleBuffered(VARIANT_BOOL* Value) {
  return getFlag(Value, &FormProperties::doubleBuffered);
}
HRESULT TkeyGeneratorImpl::put_DoubleBuffered(VARIANT_BOOL Value) {
  return putFlag(dispid::DoubleBuffered, &FormProperties::doubleBuffered, Value);
}
HRESULT TkeyGeneratorImpl::get_Enabled(VARIANT_BOOL* Value) { return getFlag(Value, &FormProperties::enabled); }
HRESULT TkeyGeneratorImpl::put_Enabled(VARIANT_BOOL Value) {
  return putFlag(dispid::Enabled, &FormProperties::enabled, Value);
}
HRESULT TkeyGeneratorImpl::get_Cursor(SHORT* Value) { return getValue(Value, &FormProperties::cursor); }
HRESULT TkeyGeneratorImpl::put_Cursor(SHORT Value) { return putValue(dispid::Cursor, &FormProperties::cursor, Value); }

HRESULT TkeyGeneratorImpl::get_Active(VARIANT_BOOL* Value) {
  return readInto(Value, [this] { return asVariantBool(form_.active()); });
}

HRESULT TkeyGeneratorImpl::get_VisibleDockClientCount(LONG* Value) {
  return readInto(Value, [this] { return form_.visibleDockClientCount(); });
}

HRESULT TkeyGeneratorImpl::get_Font(IFontDisp** Value) {
  return guarded([&] {
    if (Value == nullptr) return E_POINTER;
    *Value = form_.font();
    if (*Value != nullptr) (*Value)->AddRef();
    return S_OK;
  });
}

// By value: the form takes a font of its own with the given font's description.
HRESULT TkeyGeneratorImpl::put_Font(IFontDisp* Value) {
  if (Value == nullptr) return E_INVALIDARG;
  return changeProperty(dispid::Font, [&] {
    platform::FontState description;
    HRESULT result = platform::readFont(Value, description);
    ComPtr<IFontDisp> font;
    if (SUCCEEDED(result)) result = createFont(description, font);
    if (SUCCEEDED(result)) form_.setFont(std::move(font));
    return result;
  });
}

// By reference: the form uses the given font object itself.
HRESULT TkeyGeneratorImpl::putref_Font(IFontDisp* Value) {
  if (Value == nullptr) return E_INVALIDARG;
  return changeProperty(dispid::Font, [&] {
    form_.setFont(ComPtr<IFontDisp>(Value));
    return S_OK;
  });
}

// ---- Events of the form ----

void TkeyGeneratorImpl::formEvent(FormEvent event, SHORT* key) {
  if (eventFreezes_ > 0) return;
  const DISPID id = kFormEventIds[static_cast<int>(event)];
  if (key == nullptr) {
    events_.fireEvent(id, nullptr, 0);
    return;
  }
  VARIANT argument;
  VariantInit(&argument);
  argument.vt = VT_BYREF | VT_I2;
  argument.piVal = key;
  events_.fireEvent(id, &argument, 1);
}

}  // namespace tarvenholm
