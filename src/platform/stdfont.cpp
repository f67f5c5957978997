// The standard font object: a property holder reached through IFontDisp,
// described by a small library of its own so that its dispatch is driven
// by a model like every other automation object here.
#include <new>

#include "platform/dispatch.h"
#include "platform/ocidl.h"
#include "platform/typelib.h"
#include "platform/refcounted.h"

namespace {

using platform::ComPtr;
using platform::RefCounted;
using platform::MemberModel;
using platform::ParamModel;
using platform::TypeModel;

constexpr GUID LIBID_stdole{0x00020430, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

void property(TypeModel& type, const char16_t* name, DISPID id, VARTYPE vt) {
  type.members.push_back(
      MemberModel{name, id, INVOKE_PROPERTYGET, {ParamModel{u"Value", vt, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, {}}}, 0, {}});
  type.members.push_back(MemberModel{name, id, INVOKE_PROPERTYPUT, {ParamModel{{}, vt, PARAMFLAG_FIN, {}}}, 0, {}});
}

ComPtr<ITypeInfo> fontTypeInfo() {
  auto library = std::make_shared<platform::LibraryModel>();
  library->name = u"stdole";
  library->help = u"OLE Automation";
  library->libid = LIBID_stdole;
  library->majorVersion = 2;
  library->minorVersion = 0;
  TypeModel font{TKIND_DISPATCH, u"Font", IID_IFontDisp, u"Font object", 0, {}, {}, {}};
  property(font, u"Name", DISPID_FONT_NAME, VT_BSTR);
  property(font, u"Size", DISPID_FONT_SIZE, VT_CY);
  property(font, u"Bold", DISPID_FONT_BOLD, VT_BOOL);
  property(font, u"Italic", DISPID_FONT_ITALIC, VT_BOOL);
  property(font, u"Underline", DISPID_FONT_UNDER, VT_BOOL);
  property(font, u"Strikethrough", DISPID_FONT_STRIKE, VT_BOOL);
  property(font, u"Weight", DISPID_FONT_WEIGHT, VT_I2);
  property(font, u"Charset", DISPID_FONT_CHARSET, VT_I2);
  TypeModel stdFont{TKIND_COCLASS, u"StdFont", CLSID_StdFont, {}, TYPEFLAG_FCANCREATE, {}, {},
                    {{u"Font", IMPLTYPEFLAG_FDEFAULT}}};
  library->types = {font, stdFont};
  ComPtr<ITypeLib> typeLib;
  ComPtr<ITypeInfo> info;
  if (SUCCEEDED(platform::createTypeLib(library, typeLib.put()))) typeLib->GetTypeInfoOfGuid(IID_IFontDisp, info.put());
  return info;
}

VARIANT_BOOL asBool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

class StdFont final : public RefCounted<IFontDisp, IDispatch> {
 public:
  explicit StdFont(const FONTDESC& description)
      : name_(description.lpstrName == nullptr ? u"" : description.lpstrName),
        size_(description.cySize),
        weight_(description.sWeight),
        charset_(description.sCharset),
        italic_(description.fItalic != FALSE),
        underline_(description.fUnderline != FALSE),
        strikethrough_(description.fStrikethrough != FALSE) {}


  HRESULT GetTypeInfoCount(UINT* pctinfo) override { return binding().getTypeInfoCount(pctinfo); }
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
    return binding().getTypeInfo(iTInfo, lcid, ppTInfo);
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override {
    return binding().getIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
  }
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
    return binding().invoke(this, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
  }

  HRESULT getName(BSTR* value) {
    *value = SysAllocStringLen(name_.data(), static_cast<UINT>(name_.size()));
    return *value == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  HRESULT putName(BSTR value) {
    if (SysStringLen(value) == 0) return E_INVALIDARG;
    name_.assign(value, SysStringLen(value));
    return S_OK;
  }
  HRESULT getSize(CY* value) {
    *value = size_;
    return S_OK;
  }
  HRESULT putSize(CY value) {
    if (value.int64 < 0) return E_INVALIDARG;
    size_ = value;
    return S_OK;
  }
  HRESULT getBold(VARIANT_BOOL* value) {
    *value = asBool(weight_ >= FW_BOLD);
    return S_OK;
  }
  HRESULT putBold(VARIANT_BOOL value) {
    weight_ = value != VARIANT_FALSE ? FW_BOLD : FW_NORMAL;
    return S_OK;
  }
  HRESULT getItalic(VARIANT_BOOL* value) { return get(italic_, value); }
  HRESULT putItalic(VARIANT_BOOL value) { return put(italic_, value); }
  HRESULT getUnderline(VARIANT_BOOL* value) { return get(underline_, value); }
  HRESULT putUnderline(VARIANT_BOOL value) { return put(underline_, value); }
  HRESULT getStrikethrough(VARIANT_BOOL* value) { return get(strikethrough_, value); }
  HRESULT putStrikethrough(VARIANT_BOOL value) { return put(strikethrough_, value); }
  HRESULT getWeight(SHORT* value) {
    *value = weight_;
    return S_OK;
  }
  HRESULT putWeight(SHORT value) {
    if (value < 0 || value > 1000) return E_INVALIDARG;
    weight_ = value;
    return S_OK;
  }
  HRESULT getCharset(SHORT* value) {
    *value = charset_;
    return S_OK;
  }
  HRESULT putCharset(SHORT value) {
    charset_ = value;
    return S_OK;
  }

  static const platform::DispatchBinding<StdFont>& binding() {
    static const platform::DispatchBinding<StdFont> binding(
        fontTypeInfo().get(), &StdFont::getName, &StdFont::putName, &StdFont::getSize, &StdFont::putSize,
        &StdFont::getBold, &StdFont::putBold, &StdFont::getItalic, &StdFont::putItalic, &StdFont::getUnderline,
        &StdFont::putUnderline, &StdFont::getStrikethrough, &StdFont::putStrikethrough, &StdFont::getWeight,
        &StdFont::putWeight, &StdFont::getCharset, &StdFont::putCharset);
    return binding;
  }

 private:
  static HRESULT get(bool field, VARIANT_BOOL* value) {
    *value = asBool(field);
    return S_OK;
  }
  static HRESULT put(bool& field, VARIANT_BOOL value) {
    field = value != VARIANT_FALSE;
    return S_OK;
  }

  std::u16string name_;
  CY size_;
  SHORT weight_;
  SHORT charset_;
  bool italic_;
  bool underline_;
  bool strikethrough_;
};

HRESULT getProperty(IDispatch* object, DISPID id, VARTYPE vt, VARIANT& value) {
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none, &result, nullptr, nullptr);
  if (SUCCEEDED(hr)) hr = VariantChangeType(&value, &result, 0, vt);
  VariantClear(&result);
  return hr;
}

}  // namespace

HRESULT OleCreateFontIndirect(FONTDESC* lpFontDesc, REFIID riid, void** lplpvObj) {
  if (lplpvObj == nullptr) return E_POINTER;
  *lplpvObj = nullptr;
  if (lpFontDesc == nullptr) return E_INVALIDARG;
  if (FAILED(StdFont::binding().status())) return E_UNEXPECTED;
  auto* font = new (std::nothrow) StdFont(*lpFontDesc);
  if (font == nullptr) return E_OUTOFMEMORY;
  const HRESULT result = font->QueryInterface(riid, lplpvObj);
  font->Release();
  return result;
}

namespace platform {

HRESULT readFont(IDispatch* font, FontState& state) {
  if (font == nullptr) return E_POINTER;
  FontState read;
  VARIANT value;
  VariantInit(&value);
  auto fetch = [&](DISPID id, VARTYPE vt, auto store) {
    const HRESULT hr = getProperty(font, id, vt, value);
    if (SUCCEEDED(hr)) store(value);
    VariantClear(&value);
    return hr;
  };
  HRESULT hr = fetch(DISPID_FONT_NAME, VT_BSTR, [&](VARIANT& v) { read.name.assign(v.bstrVal, SysStringLen(v.bstrVal)); });
  if (SUCCEEDED(hr)) hr = fetch(DISPID_FONT_SIZE, VT_CY, [&](VARIANT& v) { read.size = v.cyVal; });
  if (SUCCEEDED(hr)) hr = fetch(DISPID_FONT_BOLD, VT_BOOL, [&](VARIANT& v) { read.bold = v.boolVal != VARIANT_FALSE; });
  if (SUCCEEDED(hr)) hr = fetch(DISPID_FONT_ITALIC, VT_BOOL, [&](VARIANT& v) { read.italic = v.boolVal != VARIANT_FALSE; });
  if (SUCCEEDED(hr))
    hr = fetch(DISPID_FONT_UNDER, VT_BOOL, [&](VARIANT& v) { read.underline = v.boolVal != VARIANT_FALSE; });
  if (SUCCEEDED(hr))
    hr = fetch(DISPID_FONT_STRIKE, VT_BOOL, [&](VARIANT& v) { read.strikethrough = v.boolVal != VARIANT_FALSE; });
  if (SUCCEEDED(hr)) hr = fetch(DISPID_FONT_WEIGHT, VT_I2, [&](VARIANT& v) { read.weight = v.iVal; });
  if (SUCCEEDED(hr)) hr = fetch(DISPID_FONT_CHARSET, VT_I2, [&](VARIANT& v) { read.charset = v.iVal; });
  if (FAILED(hr)) return hr;
  state = std::move(read);
  return S_OK;
}

}  // namespace platform
