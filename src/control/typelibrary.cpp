#include "control/typelibrary.h"

#include <mutex>

#include "control/itarvenholmx2.h"
#include "platform/comptr.h"

namespace tarvenholm {
namespace {

using platform::LibraryModel;
using platform::MemberModel;
using platform::ParamModel;
using platform::TypeModel;

enum Access { Get = 1, Put = 2, PutRef = 4 };

struct StandardProperty {
  const char16_t* name;
  DISPID id;
  VARTYPE type;
  const char16_t* typeName;
  int access;
  bool hidden;
};

// The form's properties that the interface passes through, in slot order.
constexpr StandardProperty kStandardProperties[] = {
    {u"Visible", dispid::Visible, VT_BOOL, u"", Get | Put, true},
    {u"AutoScroll", dispid::AutoScroll, VT_BOOL, u"", Get | Put, false},
    {u"AutoSize", dispid::AutoSize, VT_BOOL, u"", Get | Put, false},
    {u"AxBorderStyle", dispid::AxBorderStyle, VT_I4, u"TxActiveFormBorderStyle", Get | Put, false},
    {u"BorderWidth", dispid::BorderWidth, VT_I4, u"", Get | Put, false},
    {u"Caption", dispid::Caption, VT_BSTR, u"", Get | Put, false},
    {u"Color", dispid::Color, VT_UI4, u"OLE_COLOR", Get | Put, false},
    {u"Font", dispid::Font, VT_DISPATCH, u"IFontDisp", Get | Put | PutRef, false},
    {u"KeyPreview", dispid::KeyPreview, VT_BOOL, u"", Get | Put, false},
    {u"PixelsPerInch", dispid::PixelsPerInch, VT_I4, u"", Get | Put, false},
    {u"PrintScale", dispid::PrintScale, VT_I4, u"TxPrintScale", Get | Put, false},
    {u"Scaled", dispid::Scaled, VT_BOOL, u"", Get | Put, false},
    {u"Active", dispid::Active, VT_BOOL, u"", Get, true},
    {u"DropTarget", dispid::DropTarget, VT_BOOL, u"", Get | Put, true},
    {u"HelpFile", dispid::HelpFile, VT_BSTR, u"", Get | Put, true},
    {u"DoubleBuffered", dispid::DoubleBuffered, VT_BOOL, u"", Get | Put, true},
    {u"VisibleDockClientCount", dispid::VisibleDockClientCount, VT_I4, u"", Get, true},
    {u"Enabled", dispid::Enabled, VT_BOOL, u"", Get | Put, true},
    {u"Cursor", dispid::Cursor, VT_I2, u"", Get | Put, false},
};

ParamModel in(std::u16string name, VARTYPE type, std::u16string typeName = {}) {
  return ParamModel{std::move(name), type, PARAMFLAG_FIN, std::move(typeName)};
}

ParamModel retval(std::u16string name, VARTYPE type, std::u16string typeName = {}) {
  return ParamModel{std::move(name), type, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, std::move(typeName)};
}

MemberModel method(const char16_t* name, DISPID id, std::vector<ParamModel> params) {
  return MemberModel{name, id, INVOKE_FUNC, std::move(params), 0, {}};
}

MemberModel getter(const char16_t* name, DISPID id, VARTYPE type, std::u16string typeName = {}, WORD flags = 0) {
  return MemberModel{name, id, INVOKE_PROPERTYGET, {retval(u"Value", type, std::move(typeName))}, flags, {}};
}

MemberModel putter(const char16_t* name, DISPID id, VARTYPE type, std::u16string typeName = {}, WORD flags = 0,
                   INVOKEKIND kind = INVOKE_PROPERTYPUT) {
  return MemberModel{name, id, kind, {in(u"Value", type, std::move(typeName))}, flags, {}};
}

TypeModel dispatchInterface() {
  TypeModel type{TKIND_DISPATCH,
                 u"ITarvenholmX",
                 IID_ITarvenholmX,
                 u"Dispatch interface for ActiveFormX Control",
                 TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE,
                 {},
                 {},
                 {}};
  for (const StandardProperty& property : kStandardProperties) {
    const WORD flags = property.hidden ? FUNCFLAG_FHIDDEN : 0;
    if (property.access & Get) type.members.push_back(getter(property.name, property.id, property.type, property.typeName, flags));
    if (property.access & Put) type.members.push_back(putter(property.name, property.id, property.type, property.typeName, flags));
    if (property.access & PutRef)
      type.members.push_back(
          putter(property.name, property.id, property.type, property.typeName, flags, INVOKE_PROPERTYPUTREF));
  }
  type.members.push_back(method(u"getCSPList", dispid::getCSPList, {retval(u"Value", VT_BSTR)}));
  type.members.push_back(getter(u"kSize", dispid::kSize, VT_I4));
  type.members.push_back(putter(u"kSize", dispid::kSize, VT_I4));
  type.members.push_back(method(u"genReq", dispid::genReq, {in(u"names", VT_BSTR), retval(u"req", VT_BSTR)}));
  type.members.push_back(putter(u"provName", dispid::provName, VT_BSTR));
  type.members.push_back(method(u"setCert", dispid::setCert, {in(u"Param1", VT_BSTR), retval(u"Param2", VT_I4)}));
  type.members.push_back(putter(u"msgLng", dispid::msgLng, VT_I4));
  return type;
}

MemberModel textGetter(const char16_t* name, DISPID id) { return getter(name, id, VT_BSTR); }

// ITarvenholmX's members in their slots, then the modern request members.
TypeModel secondDispatchInterface() {
  TypeModel type = dispatchInterface();
  type.name = u"ITarvenholmX2";
  type.guid = IID_ITarvenholmX2;
  type.help = u"Dispatch interface for ActiveFormX Control, version 2: modern requests";
  for (const auto& [name, id] : {std::pair{u"keyAlgorithm", dispid::keyAlgorithm}, {u"hashAlgorithm", dispid::hashAlgorithm}}) {
    type.members.push_back(textGetter(name, id));
    type.members.push_back(putter(name, id, VT_BSTR));
  }
  for (const auto& [name, id] : {std::pair{u"usePss", dispid::usePss}, {u"singleRdn", dispid::singleRdn}}) {
    type.members.push_back(getter(name, id, VT_BOOL));
    type.members.push_back(putter(name, id, VT_BOOL));
  }
  for (const auto& [name, id] : {std::pair{u"subjectAltNames", dispid::subjectAltNames},
                                 {u"keyUsage", dispid::keyUsage}, {u"extKeyUsage", dispid::extKeyUsage}}) {
    type.members.push_back(textGetter(name, id));
    type.members.push_back(putter(name, id, VT_BSTR));
  }
  type.members.push_back(putter(u"challengePassword", dispid::challengePassword, VT_BSTR));
  type.members.push_back(textGetter(u"renewContainer", dispid::renewContainer));
  type.members.push_back(putter(u"renewContainer", dispid::renewContainer, VT_BSTR));
  type.members.push_back(
      method(u"createRequest", dispid::createRequest, {in(u"subject", VT_BSTR), retval(u"req", VT_BSTR)}));
  type.members.push_back(textGetter(u"requestContainer", dispid::requestContainer));
  type.members.push_back(textGetter(u"requestProvider", dispid::requestProvider));
  return type;
}

TypeModel eventInterface() {
  TypeModel type{TKIND_DISPATCH, u"ITarvenholmEvents", DIID_ITarvenholmEvents,
                 u"Events interface for ActiveFormX Control", TYPEFLAG_FDISPATCHABLE, {}, {}, {}};
  type.members = {
      method(u"OnActivate", dispid::OnActivate, {}),
      method(u"OnClick", dispid::OnClick, {}),
      method(u"OnCreate", dispid::OnCreate, {}),
      method(u"OnDblClick", dispid::OnDblClick, {}),
      method(u"OnDestroy", dispid::OnDestroy, {}),
      method(u"OnDeactivate", dispid::OnDeactivate, {}),
      method(u"OnKeyPress", dispid::OnKeyPress, {ParamModel{u"Key", VT_I2, PARAMFLAG_FIN | PARAMFLAG_FOUT, {}}}),
      method(u"OnPaint", dispid::OnPaint, {}),
  };
  return type;
}

TypeModel enumeration(const char16_t* name, std::vector<platform::ConstantModel> constants) {
  return TypeModel{TKIND_ENUM, name, GUID_NULL, {}, 0, {}, std::move(constants), {}};
}

std::shared_ptr<const LibraryModel> buildLibrary() {
  // Not make_shared: its type tag would be a process-unique symbol, which
  // keeps a module from being unloaded.
  std::shared_ptr<LibraryModel> library(new LibraryModel);
  library->name = u"Tarvenholm";
  library->help = u"Tarvenholm Library";
  library->libid = LIBID_Tarvenholm;
  library->majorVersion = 1;
  library->minorVersion = 1;  // 1.1: ITarvenholmX2 added and made the default
  library->flags = LIBFLAG_FCONTROL;
  library->syskind = SYS_WIN32;
  library->types = {
      enumeration(u"TxActiveFormBorderStyle",
                  {{u"afbNone", afbNone}, {u"afbSingle", afbSingle}, {u"afbSunken", afbSunken}, {u"afbRaised", afbRaised}}),
      enumeration(u"TxPrintScale", {{u"poNone", poNone}, {u"poProportional", poProportional}, {u"poPrintToFit", poPrintToFit}}),
      enumeration(u"TxMouseButton", {{u"mbLeft", mbLeft}, {u"mbRight", mbRight}, {u"mbMiddle", mbMiddle}}),
      dispatchInterface(),
      secondDispatchInterface(),
      eventInterface(),
      TypeModel{TKIND_COCLASS,
                u"keyGenerator",
                CLSID_keyGenerator,
                u"Tarvenholm Control",
                TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL,
                {},
                {},
                {{u"ITarvenholmX2", IMPLTYPEFLAG_FDEFAULT},
                 {u"ITarvenholmX", 0},
                 {u"ITarvenholmEvents", IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE}}},
  };
  return library;
}

}  // namespace

std::shared_ptr<const LibraryModel> tarvenholmLibraryModel() {
  static const std::shared_ptr<const LibraryModel> library = buildLibrary();
  return library;
}

HRESULT tarvenholmTypeLib(ITypeLib** typeLib) {
  if (typeLib == nullptr) return E_POINTER;
  *typeLib = nullptr;
  static std::mutex creation;
  static platform::ComPtr<ITypeLib> shared;
  const std::lock_guard<std::mutex> lock(creation);
  if (!shared) {
    const HRESULT created = platform::createTypeLib(tarvenholmLibraryModel(), shared.put());
    if (FAILED(created)) return created;
  }
  return shared.copyTo(typeLib);
}

HRESULT tarvenholmTypeInfo(REFGUID guid, ITypeInfo** typeInfo) {
  if (typeInfo == nullptr) return E_POINTER;
  *typeInfo = nullptr;
  platform::ComPtr<ITypeLib> library;
  const HRESULT loaded = tarvenholmTypeLib(library.put());
  if (FAILED(loaded)) return loaded;
  return library->GetTypeInfoOfGuid(guid, typeInfo);
}

}  // namespace tarvenholm
