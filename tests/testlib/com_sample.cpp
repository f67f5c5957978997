#include "testlib/com_sample.h"

#include <string>

namespace testing_support {

using platform::ComPtr;
using platform::LibraryModel;
using platform::MemberModel;
using platform::ParamModel;
using platform::TypeModel;

namespace {

ParamModel in(std::u16string name, VARTYPE type, std::u16string typeName = {}) {
  return ParamModel{std::move(name), type, PARAMFLAG_FIN, std::move(typeName)};
}
ParamModel retval(VARTYPE type, std::u16string typeName = {}) {
  return ParamModel{u"Value", type, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, std::move(typeName)};
}

void property(TypeModel& type, std::u16string name, DISPID id, VARTYPE vt, std::u16string typeName = {},
              WORD flags = 0) {
  type.members.push_back(MemberModel{name, id, INVOKE_PROPERTYGET, {retval(vt, typeName)}, flags, {}});
  type.members.push_back(MemberModel{name, id, INVOKE_PROPERTYPUT, {in({}, vt, typeName)}, flags, {}});
}

}  // namespace

std::atomic<int> Shape::live{0};

std::shared_ptr<const LibraryModel> shapeLibraryModel() {
  auto library = std::make_shared<LibraryModel>();
  library->name = u"ShapeLib";
  library->help = u"Shape Library";
  library->libid = LIBID_ShapeLib;
  library->majorVersion = 2;
  library->minorVersion = 1;
  library->flags = LIBFLAG_FCONTROL;

  TypeModel shape{TKIND_DISPATCH, u"IShape", IID_IShape, u"Dispatch interface for shapes",
                  TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE, {}, {}, {}};
  property(shape, u"Width", 1, VT_I4);
  shape.members.push_back(MemberModel{u"Label", 2, INVOKE_PROPERTYPUT, {in({}, VT_BSTR)}, 0, u"Put only"});
  shape.members.push_back(MemberModel{u"Describe", 3, INVOKE_FUNC,
                                      {in(u"prefix", VT_BSTR), in(u"count", VT_I4),
                                       ParamModel{u"text", VT_BSTR, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, {}}},
                                      0, u"Describes the shape"});
  shape.members.push_back(
      MemberModel{u"Bump", 4, INVOKE_FUNC, {ParamModel{u"Key", VT_I2, PARAMFLAG_FIN | PARAMFLAG_FOUT, {}}}, 0, {}});
  shape.members.push_back(MemberModel{u"Fail", 5, INVOKE_FUNC, {in(u"message", VT_BSTR)}, 0, {}});
  property(shape, u"Visible", 6, VT_BOOL, {}, FUNCFLAG_FHIDDEN);
  property(shape, u"Color", DISPID_BACKCOLOR, VT_UI4, u"OLE_COLOR");
  property(shape, u"Kind", 7, VT_I4, u"ShapeKind");
  shape.members.push_back(MemberModel{u"Peer", 8, INVOKE_PROPERTYGET, {retval(VT_DISPATCH)}, 0, {}});
  shape.members.push_back(MemberModel{u"Peer", 8, INVOKE_PROPERTYPUTREF, {in({}, VT_DISPATCH)}, 0, {}});
  shape.members.push_back(MemberModel{u"Reset", 9, INVOKE_FUNC, {}, 0, {}});

  TypeModel events{TKIND_DISPATCH, u"IShapeEvents", DIID_IShapeEvents, u"Events of shapes", 0, {}, {}, {}};
  events.members.push_back(MemberModel{u"OnClick", 1, INVOKE_FUNC, {}, 0, {}});
  events.members.push_back(
      MemberModel{u"OnKeyPress", 11, INVOKE_FUNC, {ParamModel{u"Key", VT_I2, PARAMFLAG_FIN | PARAMFLAG_FOUT, {}}}, 0, {}});

  TypeModel kinds{TKIND_ENUM, u"ShapeKind", GUID_NULL, {}, 0, {}, {{u"skSquare", 0}, {u"skCircle", 1}}, {}};

  TypeModel shapeClass{TKIND_COCLASS, u"Shape", CLSID_Shape, u"Shape Control",
                       TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, {}, {},
                       {{u"IShape", IMPLTYPEFLAG_FDEFAULT},
                        {u"IShapeEvents", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}}};

  library->types = {shape, events, kinds, shapeClass};
  return library;
}

ComPtr<ITypeLib> shapeTypeLib() {
  ComPtr<ITypeLib> library;
  platform::createTypeLib(shapeLibraryModel(), library.put());
  return library;
}

const platform::DispatchBinding<IShape>& Shape::binding() {
  static const platform::DispatchBinding<IShape> binding = [] {
    ComPtr<ITypeInfo> info;
    shapeTypeLib()->GetTypeInfoOfGuid(IID_IShape, info.put());
    return platform::DispatchBinding<IShape>(
        info.get(), &IShape::get_Width, &IShape::put_Width, &IShape::put_Label, &IShape::Describe, &IShape::Bump,
        &IShape::Fail, &IShape::get_Visible, &IShape::put_Visible, &IShape::get_Color, &IShape::put_Color,
        &IShape::get_Kind, &IShape::put_Kind, &IShape::get_Peer, &IShape::putref_Peer, &IShape::Reset);
  }();
  return binding;
}

ComPtr<Shape> Shape::create() { return ComPtr<Shape>::adopt(new Shape); }

HRESULT Shape::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IShape) {
    *ppvObject = static_cast<IShape*>(this);
  } else if (riid == IID_ISupportErrorInfo) {
    *ppvObject = static_cast<ISupportErrorInfo*>(this);
  } else if (riid == IID_IConnectionPointContainer) {
    *ppvObject = static_cast<IConnectionPointContainer*>(&points);
  } else {
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG Shape::Release() {
  const ULONG left = --references_;
  if (left == 0) delete this;
  return left;
}

HRESULT Shape::get_Width(LONG* Value) {
  *Value = width;
  return S_OK;
}

HRESULT Shape::put_Width(LONG Value) {
  if (notify.requestEdit(1) != S_OK) return S_FALSE;
  width = Value;
  notify.notifyChanged(1);
  return S_OK;
}

HRESULT Shape::put_Label(BSTR Value) {
  label.assign(Value, SysStringLen(Value));
  return S_OK;
}

HRESULT Shape::Describe(BSTR prefix, LONG count, BSTR* text) {
  std::u16string result(prefix, SysStringLen(prefix));
  result += u':';
  for (char c : std::to_string(count)) result += static_cast<char16_t>(c);
  *text = SysAllocStringLen(result.data(), static_cast<UINT>(result.size()));
  return *text == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT Shape::Bump(SHORT* Key) {
  VARIANT key;
  VariantInit(&key);
  key.vt = VT_BYREF | VT_I2;
  key.piVal = Key;
  events.fireEvent(11, &key, 1);
  *Key = static_cast<SHORT>(*Key + 1);
  return S_OK;
}

HRESULT Shape::Fail(BSTR message) {
  if (SysStringLen(message) == 0) return E_INVALIDARG;
  ComPtr<ICreateErrorInfo> create;
  CreateErrorInfo(create.put());
  create->SetGUID(IID_IShape);
  create->SetSource(const_cast<LPOLESTR>(u"Shapes.Shape"));
  create->SetDescription(message);
  SetErrorInfo(0, create.as<IErrorInfo>().get());
  return E_ACCESSDENIED;
}

HRESULT Shape::get_Visible(VARIANT_BOOL* Value) {
  *Value = visible;
  return S_OK;
}

HRESULT Shape::put_Visible(VARIANT_BOOL Value) {
  visible = Value;
  return S_OK;
}

HRESULT Shape::get_Color(OLE_COLOR* Value) {
  *Value = color;
  return S_OK;
}

HRESULT Shape::put_Color(OLE_COLOR Value) {
  color = Value;
  return S_OK;
}

HRESULT Shape::get_Kind(ShapeKind* Value) {
  *Value = kind;
  return S_OK;
}

HRESULT Shape::put_Kind(ShapeKind Value) {
  kind = Value;
  return S_OK;
}

HRESULT Shape::get_Peer(IDispatch** Value) { return peer.copyTo(Value); }

HRESULT Shape::putref_Peer(IDispatch* Value) {
  peer = ComPtr<IDispatch>(Value);
  return S_OK;
}

HRESULT Shape::Reset() {
  if (width == 10) return S_FALSE;
  width = 10;
  return S_OK;
}

}  // namespace testing_support
