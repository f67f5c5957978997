// The control object as a container and a script host see it: the
// interfaces it answers for, its type information, safety for scripting,
// events and property notification, persistence of its form, class
// information, and creation through its class factory, aggregated or not.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "control/form.h"
#include "control/itarvenholmx2.h"
#include "control/keygenerator.h"
#include "control/typelibrary.h"
#include "engine/settings.h"
#include "platform/objsafe.h"
#include "platform/typelib.h"
#include "testlib/control_client.h"
#include "testlib/test_home.h"

namespace {

using platform::ComPtr;
using tarvenholm::CLSID_keyGenerator;
using tarvenholm::DIID_ITarvenholmEvents;
using tarvenholm::IID_ITarvenholmX;
using tarvenholm::ITarvenholmX;
using testing_support::createControl;
using testing_support::getProperty;
using testing_support::putProperty;
using testing_support::Variant;

// Counts its references; derived classes answer their interfaces.
template <class Interface>
class Counted : public Interface {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  virtual ~Counted() = default;
  HRESULT answer(bool serves, void** out) {
    if (out == nullptr) return E_POINTER;
    *out = serves ? static_cast<Interface*>(this) : nullptr;
    if (!serves) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }

 private:
  std::atomic<ULONG> references_{1};
};

// An event sink that logs "<sink>:<DISPID>" and adds one to OnKeyPress's key.
class EventSink final : public Counted<IDispatch> {
 public:
  EventSink(std::string name, std::vector<std::string>& log) : name_(std::move(name)), log_(log) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return answer(iid == IID_IUnknown || iid == IID_IDispatch || iid == DIID_ITarvenholmEvents, out);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    std::string entry = name_ + ":" + std::to_string(id);
    if (id == tarvenholm::dispid::OnKeyPress && params->cArgs == 1 && params->rgvarg[0].vt == (VT_BYREF | VT_I2)) {
      SHORT* key = params->rgvarg[0].piVal;
      entry += "(" + std::to_string(*key) + ")";
      ++*key;
    }
    log_.push_back(entry);
    return S_OK;
  }

 private:
  std::string name_;
  std::vector<std::string>& log_;
};

// Something that is no event sink at all.
class Stranger final : public Counted<IUnknown> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override { return answer(iid == IID_IUnknown, out); }
};

class NotifySink final : public Counted<IPropertyNotifySink> {
 public:
  NotifySink(bool refuse, std::vector<std::string>& log) : refuse_(refuse), log_(log) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return answer(iid == IID_IUnknown || iid == IID_IPropertyNotifySink, out);
  }
  HRESULT STDMETHODCALLTYPE OnChanged(DISPID id) override {
    log_.push_back("changed:" + std::to_string(id));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID id) override {
    log_.push_back("request:" + std::to_string(id));
    return refuse_ ? S_FALSE : S_OK;
  }

 private:
  bool refuse_;
  std::vector<std::string>& log_;
};

class ClientSite final : public Counted<IOleClientSite> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    return answer(iid == IID_IUnknown || iid == IID_IOleClientSite, out);
  }
  HRESULT STDMETHODCALLTYPE SaveObject() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetContainer(IOleContainer**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ShowObject() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnShowWindow(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE RequestNewObjectLayout() override { return E_NOTIMPL; }
};

// An object that aggregates a control: it answers IPersist itself and
// hands everything else to the control's inner unknown.
class Outer final : public Counted<IPersist> {
 public:
  Outer() {
    created = testing_support::controlFactory()->CreateInstance(this, IID_IUnknown, inner_.putVoid());
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IPersist) return answer(true, out);
    return inner_ ? inner_->QueryInterface(iid, out) : answer(false, out);
  }
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) override {
    *id = GUID_NULL;
    return S_OK;
  }
  ULONG references() {
    AddRef();
    return Release();
  }
  HRESULT created = E_FAIL;

 private:
  ComPtr<IUnknown> inner_;
};

template <class T>
ComPtr<T> query(IUnknown* object, REFIID iid) {
  ComPtr<T> result;
  object->QueryInterface(iid, result.putVoid());
  return result;
}

std::u16string textOf(BSTR text) { return text == nullptr ? u"" : std::u16string(text, SysStringLen(text)); }

class ControlObject : public testing_support::HomeTest {
 protected:
  std::u16string caption(IDispatch* control) {
    Variant value;
    EXPECT_EQ(getProperty(control, u"Caption", value), S_OK);
    return value.text();
  }
  void putCaption(IDispatch* control, const char16_t* text, HRESULT expected = S_OK) {
    Variant value(text);
    EXPECT_EQ(putProperty(control, u"Caption", value), expected);
  }

  ComPtr<IDispatch> control_ = createControl();
};

// ---- Interfaces ----

TEST_F(ControlObject, AnswersExactlyItsInterfacesWithOneIdentity) {
  const IID served[] = {IID_IUnknown,          IID_ITarvenholmX,        IID_IDispatch,         IID_IViewObjectEx,
                        IID_IViewObject2,      IID_IViewObject,         IID_IOleInPlaceObject, IID_IOleWindow,
                        IID_IOleInPlaceActiveObject, IID_IOleControl,   IID_IOleObject,        IID_IQuickActivate,
                        IID_IPersistStorage,   IID_IPersistStreamInit,  IID_ISpecifyPropertyPages, IID_IDataObject,
                        IID_ISimpleFrameSite,  IID_IProvideClassInfo,   IID_IProvideClassInfo2,
                        IID_IConnectionPointContainer, IID_ISupportErrorInfo, IID_IObjectSafety};
  const ComPtr<IUnknown> identity = query<IUnknown>(control_.get(), IID_IUnknown);
  for (const IID& iid : served) {
    ComPtr<IUnknown> answer = query<IUnknown>(control_.get(), iid);
    ASSERT_TRUE(answer) << platform::guidText(iid);
    EXPECT_EQ(query<IUnknown>(answer.get(), IID_IUnknown).get(), identity.get()) << platform::guidText(iid);
  }
  const IID refused[] = {IID_IPersist,      IID_IPersistStream,  IID_IClassFactory,       IID_IConnectionPoint,
                         IID_IFontDisp,     IID_IOleClientSite,  IID_IPropertyNotifySink, DIID_ITarvenholmEvents,
                         IID_IErrorInfo,    IID_ITypeInfo,       CLSID_keyGenerator};
  for (const IID& iid : refused) {
    void* answer = this;
    EXPECT_EQ(control_->QueryInterface(iid, &answer), E_NOINTERFACE) << platform::guidText(iid);
    EXPECT_EQ(answer, nullptr);
  }
}

// ---- Type information ----

struct Slot {
  const char16_t* name;
  DISPID id;
  INVOKEKIND kind;
  bool hidden;
};

constexpr INVOKEKIND G = INVOKE_PROPERTYGET, P = INVOKE_PROPERTYPUT, R = INVOKE_PROPERTYPUTREF, F = INVOKE_FUNC;

constexpr Slot kSlots[] = {
    {u"Visible", 1, G, true}, {u"Visible", 1, P, true}, {u"AutoScroll", 2, G, false}, {u"AutoScroll", 2, P, false},
    {u"AutoSize", 3, G, false}, {u"AutoSize", 3, P, false}, {u"AxBorderStyle", 4, G, false},
    {u"AxBorderStyle", 4, P, false}, {u"BorderWidth", 5, G, false}, {u"BorderWidth", 5, P, false},
    {u"Caption", -518, G, false}, {u"Caption", -518, P, false}, {u"Color", -501, G, false},
    {u"Color", -501, P, false}, {u"Font", -512, G, false}, {u"Font", -512, P, false}, {u"Font", -512, R, false},
    {u"KeyPreview", 6, G, false}, {u"KeyPreview", 6, P, false}, {u"PixelsPerInch", 7, G, false},
    {u"PixelsPerInch", 7, P, false}, {u"PrintScale", 8, G, false}, {u"PrintScale", 8, P, false},
    {u"Scaled", 9, G, false}, {u"Scaled", 9, P, false}, {u"Active", 10, G, true}, {u"DropTarget", 11, G, true},
    {u"DropTarget", 11, P, true}, {u"HelpFile", 12, G, true}, {u"HelpFile", 12, P, true},
    {u"DoubleBuffered", 13, G, true}, {u"DoubleBuffered", 13, P, true}, {u"VisibleDockClientCount", 14, G, true},
    {u"Enabled", -514, G, true}, {u"Enabled", -514, P, true}, {u"Cursor", 15, G, false}, {u"Cursor", 15, P, false},
    {u"getCSPList", 16, F, false}, {u"kSize", 17, G, false}, {u"kSize", 17, P, false}, {u"genReq", 19, F, false},
    {u"provName", 18, P, false}, {u"setCert", 21, F, false}, {u"msgLng", 20, P, false},
};

TEST_F(ControlObject, DispatchInterfaceHasItsMembersInSlotOrder) {
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(tarvenholm::tarvenholmTypeInfo(IID_ITarvenholmX, info.put()), S_OK);
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(info->GetTypeAttr(&attributes), S_OK);
  EXPECT_TRUE(attributes->guid == IID_ITarvenholmX);
  EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
  EXPECT_EQ(attributes->wTypeFlags & (TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION),
            TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION);
  ASSERT_EQ(attributes->cFuncs, std::size(kSlots));
  info->ReleaseTypeAttr(attributes);
  BSTR help = nullptr;
  ASSERT_EQ(info->GetDocumentation(MEMBERID_NIL, nullptr, &help, nullptr, nullptr), S_OK);
  EXPECT_EQ(textOf(help), u"Dispatch interface for ActiveFormX Control");
  SysFreeString(help);

  for (UINT index = 0; index < std::size(kSlots); ++index) {
    const Slot& slot = kSlots[index];
    FUNCDESC* function = nullptr;
    ASSERT_EQ(info->GetFuncDesc(index, &function), S_OK);
    EXPECT_EQ(function->memid, slot.id) << index;
    EXPECT_EQ(function->invkind, slot.kind) << index;
    EXPECT_EQ((function->wFuncFlags & FUNCFLAG_FHIDDEN) != 0, slot.hidden) << index;
    EXPECT_EQ(function->oVft, static_cast<SHORT>((7 + index) * sizeof(void*))) << index;
    info->ReleaseFuncDesc(function);
    EXPECT_EQ(platform::typeModel(info.get())->members[index].name, slot.name) << index;
  }

  // Parameter names: the arguments by name, the results in the model.
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"genReq"), const_cast<LPOLESTR>(u"names")};
  DISPID ids[2] = {};
  EXPECT_EQ(control_->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids), S_OK);
  EXPECT_EQ(ids[0], 19);
  EXPECT_EQ(ids[1], 0);
  names[0] = const_cast<LPOLESTR>(u"setCert");
  names[1] = const_cast<LPOLESTR>(u"Param1");
  EXPECT_EQ(control_->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids), S_OK);
  EXPECT_EQ(ids[0], 21);
  const auto& members = platform::typeModel(info.get())->members;
  EXPECT_EQ(members[40].params.back().name, u"req");
  EXPECT_EQ(members[42].params.back().name, u"Param2");
}

// Old clients bound to ITarvenholmX get the same object and table; the
// second interface only adds slots and DISPIDs after the last ones.
TEST_F(ControlObject, TheSecondInterfaceExtendsTheFirstWhichStillAnswersUnchanged) {
  ComPtr<ITarvenholmX> first = query<ITarvenholmX>(control_.get(), IID_ITarvenholmX);
  ComPtr<tarvenholm::ITarvenholmX2> second = query<tarvenholm::ITarvenholmX2>(control_.get(), tarvenholm::IID_ITarvenholmX2);
  ASSERT_TRUE(first);
  ASSERT_TRUE(second);
  EXPECT_EQ(static_cast<ITarvenholmX*>(second.get()), first.get());
  LONG before = 0;
  ASSERT_EQ(first->get_kSize(&before), S_OK);
  EXPECT_EQ(first->put_kSize(1536), S_OK);
  LONG bits = 0;
  EXPECT_EQ(first->get_kSize(&bits), S_OK);
  EXPECT_EQ(bits, 1536);
  first->put_kSize(before);

  ComPtr<ITypeInfo> oldInfo;
  ComPtr<ITypeInfo> newInfo;
  ASSERT_EQ(tarvenholm::tarvenholmTypeInfo(IID_ITarvenholmX, oldInfo.put()), S_OK);
  ASSERT_EQ(control_->GetTypeInfo(0, LOCALE_USER_DEFAULT, newInfo.put()), S_OK);
  const auto& oldMembers = platform::typeModel(oldInfo.get())->members;
  const auto& newMembers = platform::typeModel(newInfo.get())->members;
  ASSERT_EQ(oldMembers.size(), std::size(kSlots));
  ASSERT_GT(newMembers.size(), oldMembers.size());
  EXPECT_TRUE(platform::typeModel(newInfo.get())->guid == tarvenholm::IID_ITarvenholmX2);
  for (std::size_t index = 0; index < newMembers.size(); ++index) {
    if (index < oldMembers.size()) {
      EXPECT_EQ(newMembers[index].name, oldMembers[index].name) << index;
      EXPECT_EQ(newMembers[index].id, oldMembers[index].id) << index;
      EXPECT_EQ(newMembers[index].kind, oldMembers[index].kind) << index;
    } else {
      EXPECT_GT(newMembers[index].id, tarvenholm::dispid::setCert) << index;
    }
  }

  const std::pair<const char16_t*, DISPID> byName[] = {
      {u"getCSPList", 16}, {u"kSize", 17}, {u"provName", 18}, {u"genReq", 19}, {u"msgLng", 20}, {u"setCert", 21},
      {u"keyAlgorithm", 22}, {u"createRequest", 31}, {u"requestProvider", 33}};
  for (const auto& [name, id] : byName) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID found = 0;
    EXPECT_EQ(control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &found), S_OK);
    EXPECT_EQ(found, id);
  }
}

TEST_F(ControlObject, ClassInformationNamesTheClassItsInterfacesAndItsLibrary) {
  ComPtr<IProvideClassInfo2> provider = query<IProvideClassInfo2>(control_.get(), IID_IProvideClassInfo2);
  ASSERT_TRUE(provider);
  GUID source{};
  EXPECT_EQ(provider->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_TRUE(source == DIID_ITarvenholmEvents);
  EXPECT_EQ(provider->GetGUID(2, &source), E_INVALIDARG);

  ComPtr<ITypeInfo> coclass;
  ASSERT_EQ(provider->GetClassInfo(coclass.put()), S_OK);
  const platform::TypeModel* model = platform::typeModel(coclass.get());
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->kind, TKIND_COCLASS);
  EXPECT_EQ(model->name, u"keyGenerator");
  EXPECT_EQ(model->help, u"Tarvenholm Control");
  EXPECT_TRUE(model->guid == CLSID_keyGenerator);
  EXPECT_EQ(model->flags, TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL);
  ASSERT_EQ(model->implemented.size(), 3u);
  EXPECT_EQ(model->implemented[0].name, u"ITarvenholmX2");
  EXPECT_EQ(model->implemented[0].flags, IMPLTYPEFLAG_FDEFAULT);
  EXPECT_EQ(model->implemented[1].name, u"ITarvenholmX");
  EXPECT_EQ(model->implemented[1].flags, 0);
  EXPECT_EQ(model->implemented[2].name, u"ITarvenholmEvents");
  EXPECT_EQ(model->implemented[2].flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);

  ComPtr<ITypeLib> library;
  UINT index = 0;
  ASSERT_EQ(coclass->GetContainingTypeLib(library.put(), &index), S_OK);
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
  EXPECT_TRUE(attributes->guid == tarvenholm::LIBID_Tarvenholm);
  EXPECT_EQ(attributes->wMajorVerNum, 1);
  EXPECT_EQ(attributes->wMinorVerNum, 1);
  EXPECT_EQ(attributes->wLibFlags, LIBFLAG_FCONTROL);
  EXPECT_EQ(attributes->syskind, SYS_WIN32);
  library->ReleaseTLibAttr(attributes);
  const platform::LibraryModel* lib = platform::libraryModel(library.get());
  EXPECT_EQ(lib->name, u"Tarvenholm");
  EXPECT_EQ(lib->help, u"Tarvenholm Library");

  ComPtr<ITypeInfo> events;
  ASSERT_EQ(library->GetTypeInfoOfGuid(DIID_ITarvenholmEvents, events.put()), S_OK);
  const platform::TypeModel* eventModel = platform::typeModel(events.get());
  EXPECT_EQ(eventModel->help, u"Events interface for ActiveFormX Control");
  EXPECT_EQ(eventModel->flags & TYPEFLAG_FDUAL, 0) << "dispatch only";
  std::vector<std::pair<std::u16string, DISPID>> eventMembers;
  for (const platform::MemberModel& member : eventModel->members) eventMembers.emplace_back(member.name, member.id);
  EXPECT_EQ(eventMembers, (std::vector<std::pair<std::u16string, DISPID>>{
                              {u"OnActivate", 1}, {u"OnClick", 2}, {u"OnCreate", 3}, {u"OnDblClick", 5},
                              {u"OnDestroy", 6}, {u"OnDeactivate", 7}, {u"OnKeyPress", 11}, {u"OnPaint", 16}}));
  const platform::ParamModel& key = eventModel->members[6].params.at(0);
  EXPECT_EQ(key.name, u"Key");
  EXPECT_EQ(key.type, VT_I2);
  EXPECT_EQ(key.flags, PARAMFLAG_FIN | PARAMFLAG_FOUT);

  std::vector<std::u16string> enumerations;
  for (const platform::TypeModel& type : lib->types)
    if (type.kind == TKIND_ENUM)
      for (const platform::ConstantModel& constant : type.constants)
        enumerations.push_back(type.name + u"." + constant.name + u"=" + static_cast<char16_t>(u'0' + constant.value));
  EXPECT_EQ(enumerations,
            (std::vector<std::u16string>{u"TxActiveFormBorderStyle.afbNone=0", u"TxActiveFormBorderStyle.afbSingle=1",
                                         u"TxActiveFormBorderStyle.afbSunken=2", u"TxActiveFormBorderStyle.afbRaised=3",
                                         u"TxPrintScale.poNone=0", u"TxPrintScale.poProportional=1",
                                         u"TxPrintScale.poPrintToFit=2", u"TxMouseButton.mbLeft=0",
                                         u"TxMouseButton.mbRight=1", u"TxMouseButton.mbMiddle=2"}));
}

// A client bound to the function table and a script caller reach the same members.
TEST_F(ControlObject, FunctionTableAndDispatchAgree) {
  ComPtr<ITarvenholmX> bound = query<ITarvenholmX>(control_.get(), IID_ITarvenholmX);
  ASSERT_EQ(bound->put_BorderWidth(7), S_OK);
  Variant width;
  ASSERT_EQ(getProperty(control_.get(), u"BorderWidth", width), S_OK);
  EXPECT_EQ(width->lVal, 7);
  Variant cursor(-11);
  ASSERT_EQ(putProperty(control_.get(), u"Cursor", cursor), S_OK);
  SHORT read = 0;
  ASSERT_EQ(bound->get_Cursor(&read), S_OK);
  EXPECT_EQ(read, -11);
}

// ---- The form ----

TEST_F(ControlObject, TheFormStartsWithItsDesignedProperties) {
  EXPECT_EQ(caption(control_.get()), u"Tarvenholm");
  const struct {
    const char16_t* name;
    VARTYPE type;
    LONG value;
  } expected[] = {{u"Visible", VT_BOOL, VARIANT_TRUE},   {u"AutoScroll", VT_BOOL, VARIANT_FALSE},
                  {u"Color", VT_UI4, static_cast<LONG>(0x8000000F)},
                  {u"PixelsPerInch", VT_I4, 96},       {u"Scaled", VT_BOOL, VARIANT_TRUE},
                  {u"PrintScale", VT_I4, tarvenholm::poProportional},
                  {u"AxBorderStyle", VT_I4, tarvenholm::afbNone},
                  {u"Enabled", VT_BOOL, VARIANT_TRUE}, {u"Active", VT_BOOL, VARIANT_FALSE},
                  {u"VisibleDockClientCount", VT_I4, 0}};
  for (const auto& property : expected) {
    Variant value;
    ASSERT_EQ(getProperty(control_.get(), property.name, value), S_OK);
    EXPECT_EQ(value->vt, property.type);
    const LONG read = property.type == VT_BOOL ? value->boolVal : value->lVal;
    EXPECT_EQ(read, property.value) << testing::PrintToString(std::u16string(property.name));
  }
  Variant font;
  ASSERT_EQ(getProperty(control_.get(), u"Font", font), S_OK);
  platform::FontState state;
  ASSERT_EQ(platform::readFont(font->pdispVal, state), S_OK);
  EXPECT_EQ(state.name, u"MS Sans Serif");
  EXPECT_EQ(state.size.int64, 80000) << "height -11 at 96 pixels per inch";

  ComPtr<IOleObject> object = query<IOleObject>(control_.get(), IID_IOleObject);
  SIZEL extent{};
  ASSERT_EQ(object->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
  EXPECT_EQ(extent.cx, 4577) << "173 pixels in hundredths of a millimetre";
  EXPECT_EQ(extent.cy, 979);
  DWORD status = 0;
  ASSERT_EQ(object->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
  EXPECT_EQ(status, 131473u);

  ComPtr<IOleClientSite> site = ComPtr<IOleClientSite>::adopt(new ClientSite);
  ASSERT_EQ(object->SetClientSite(site.get()), S_OK);
  ComPtr<IOleClientSite> back;
  ASSERT_EQ(object->GetClientSite(back.put()), S_OK);
  EXPECT_EQ(back.get(), site.get());

  CAUUID pages{7, reinterpret_cast<GUID*>(this)};
  ASSERT_EQ(query<ISpecifyPropertyPages>(control_.get(), IID_ISpecifyPropertyPages)->GetPages(&pages), S_OK);
  EXPECT_EQ(pages.cElems, 0u);
  EXPECT_EQ(pages.pElems, nullptr);
}

TEST_F(ControlObject, FontPutCopiesAndPutRefShares) {
  FONTDESC description{sizeof(FONTDESC), const_cast<LPOLESTR>(u"Arial"), CY{120000}, FW_BOLD, 0, FALSE, FALSE, FALSE};
  ComPtr<IFontDisp> mine;
  ASSERT_EQ(OleCreateFontIndirect(&description, IID_IFontDisp, mine.putVoid()), S_OK);
  Variant byValue = Variant::object(mine.get());
  ASSERT_EQ(putProperty(control_.get(), u"Font", byValue), S_OK);
  Variant rename(u"Courier");
  ASSERT_EQ(platform::invokeByName(mine.get(), u"Name", DISPATCH_PROPERTYPUT, rename.get(), 1, nullptr), S_OK);
  Variant held;
  ASSERT_EQ(getProperty(control_.get(), u"Font", held), S_OK);
  platform::FontState state;
  ASSERT_EQ(platform::readFont(held->pdispVal, state), S_OK);
  EXPECT_EQ(state.name, u"Arial") << "a put takes a copy";
  EXPECT_TRUE(state.bold);

  Variant byReference = Variant::object(mine.get());
  ASSERT_EQ(putProperty(control_.get(), u"Font", byReference, DISPATCH_PROPERTYPUTREF), S_OK);
  Variant shared;
  ASSERT_EQ(getProperty(control_.get(), u"Font", shared), S_OK);
  EXPECT_EQ(query<IUnknown>(shared->pdispVal, IID_IUnknown).get(), query<IUnknown>(mine.get(), IID_IUnknown).get());
}

// ---- Property notification and events ----

TEST_F(ControlObject, NotificationSinksMayRefuseAPropertyChange) {
  ComPtr<IConnectionPointContainer> container =
      query<IConnectionPointContainer>(control_.get(), IID_IConnectionPointContainer);
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, point.put()), S_OK);
  std::vector<std::string> log;
  std::vector<DWORD> cookies;
  for (int i = 0; i < 8; ++i) {  // no limit on this point
    ComPtr<IPropertyNotifySink> sink = ComPtr<IPropertyNotifySink>::adopt(new NotifySink(false, log));
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.get(), &cookie), S_OK);
    cookies.push_back(cookie);
  }
  for (DWORD cookie : cookies) ASSERT_EQ(point->Unadvise(cookie), S_OK);

  ComPtr<IPropertyNotifySink> agreeing = ComPtr<IPropertyNotifySink>::adopt(new NotifySink(false, log));
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(agreeing.get(), &cookie), S_OK);
  putCaption(control_.get(), u"Solicitud");
  EXPECT_EQ(log, (std::vector<std::string>{"request:-518", "changed:-518"}));
  ASSERT_EQ(point->Unadvise(cookie), S_OK);

  log.clear();
  ComPtr<IPropertyNotifySink> refusing = ComPtr<IPropertyNotifySink>::adopt(new NotifySink(true, log));
  ASSERT_EQ(point->Advise(refusing.get(), &cookie), S_OK);
  putCaption(control_.get(), u"Otra", S_FALSE);
  EXPECT_EQ(caption(control_.get()), u"Solicitud");
  Variant width(9);
  EXPECT_EQ(putProperty(control_.get(), u"BorderWidth", width), S_FALSE);
  EXPECT_EQ(log, (std::vector<std::string>{"request:-518", "request:5"}));
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

TEST_F(ControlObject, EventsGoToAtMostFiveSinksEachInTurn) {
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(query<IConnectionPointContainer>(control_.get(), IID_IConnectionPointContainer)
                ->FindConnectionPoint(DIID_ITarvenholmEvents, point.put()),
            S_OK);
  std::vector<std::string> log;
  std::vector<DWORD> cookies;
  for (int i = 1; i <= 5; ++i) {
    ComPtr<IDispatch> sink = ComPtr<IDispatch>::adopt(new EventSink("s" + std::to_string(i), log));
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(sink.get(), &cookie), S_OK);
    cookies.push_back(cookie);
  }
  ComPtr<IDispatch> sixth = ComPtr<IDispatch>::adopt(new EventSink("s6", log));
  DWORD cookie = 0;
  EXPECT_EQ(point->Advise(sixth.get(), &cookie), CONNECT_E_ADVISELIMIT);
  ComPtr<IUnknown> stranger = ComPtr<IUnknown>::adopt(new Stranger);
  ASSERT_EQ(point->Unadvise(cookies[0]), S_OK);
  EXPECT_EQ(point->Advise(stranger.get(), &cookie), CONNECT_E_CANNOTCONNECT);
  ASSERT_EQ(point->Advise(sixth.get(), &cookie), S_OK) << "a place became free";

  tarvenholm::TkeyGenerator* form = tarvenholm::formOf(control_.get());
  ASSERT_NE(form, nullptr);
  form->raise(tarvenholm::FormEvent::Click);
  EXPECT_EQ(log, (std::vector<std::string>{"s2:2", "s3:2", "s4:2", "s5:2", "s6:2"}));
  log.clear();
  EXPECT_EQ(form->keyPress(65), 70) << "each sink in turn sees and changes the key";
  EXPECT_EQ(log, (std::vector<std::string>{"s2:11(65)", "s3:11(66)", "s4:11(67)", "s5:11(68)", "s6:11(69)"}));

  // One sink is enough to see every event's DISPID.
  for (DWORD connected : {cookies[2], cookies[3], cookies[4], cookie}) ASSERT_EQ(point->Unadvise(connected), S_OK);
  log.clear();
  using tarvenholm::FormEvent;
  for (FormEvent event : {FormEvent::Activate, FormEvent::Click, FormEvent::Create, FormEvent::DblClick,
                          FormEvent::Destroy, FormEvent::Deactivate, FormEvent::Paint})
    form->raise(event);
  EXPECT_EQ(log, (std::vector<std::string>{"s2:1", "s2:2", "s2:3", "s2:5", "s2:6", "s2:7", "s2:16"}));

  // A container may freeze events; the form's state still changes.
  ComPtr<IOleControl> control = query<IOleControl>(control_.get(), IID_IOleControl);
  log.clear();
  ASSERT_EQ(control->FreezeEvents(TRUE), S_OK);
  form->raise(FormEvent::Activate);
  EXPECT_TRUE(log.empty());
  Variant active;
  ASSERT_EQ(getProperty(control_.get(), u"Active", active), S_OK);
  EXPECT_EQ(active->boolVal, VARIANT_TRUE);
  ASSERT_EQ(control->FreezeEvents(FALSE), S_OK);
  form->raise(FormEvent::Paint);
  EXPECT_EQ(log, std::vector<std::string>{"s2:16"});
}

// ---- Safety for scripting ----

TEST_F(ControlObject, SafetyOptionsAreAddedPerInstanceAndNeverRemoved) {
  ComPtr<IObjectSafety> safety = query<IObjectSafety>(control_.get(), IID_IObjectSafety);
  DWORD supported = 9;
  DWORD enabled = 9;
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(supported, 1u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), S_OK);
  EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(enabled, 1u);

  // Bit 2 asked for through IDispatch is refused, yet stays.
  EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 2, 2), S_OK) << "bit 1 is already set";
  ComPtr<IObjectSafety> fresh = query<IObjectSafety>(createControl().get(), IID_IObjectSafety);
  EXPECT_EQ(fresh->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(enabled, 0u) << "options belong to one instance";
  EXPECT_EQ(fresh->SetInterfaceSafetyOptions(IID_IDispatch, 2, 2), E_FAIL);
  EXPECT_EQ(fresh->SetInterfaceSafetyOptions(IID_IPersistStreamInit, 0, 1), S_OK) << "bit 2 already present";
  for (const IID& data : {IID_IPersistStreamInit, IID_IPersistStorage}) {
    EXPECT_EQ(fresh->GetInterfaceSafetyOptions(data, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 2u);
    EXPECT_EQ(enabled, 2u);
  }

  // Every other interface, the control's own included: no options, E_FAIL,
  // but the bits asked for are still added.
  EXPECT_EQ(fresh->GetInterfaceSafetyOptions(IID_ITarvenholmX, &supported, &enabled), E_FAIL);
  EXPECT_EQ(supported, 0u);
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(fresh->SetInterfaceSafetyOptions(IID_ITarvenholmX, 1, 1), E_FAIL);
  EXPECT_EQ(fresh->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(enabled, 1u);

  // Refusals that add nothing.
  ComPtr<IObjectSafety> third = query<IObjectSafety>(createControl().get(), IID_IObjectSafety);
  EXPECT_EQ(third->GetInterfaceSafetyOptions(IID_IPersist, &supported, &enabled), E_NOINTERFACE);
  EXPECT_EQ(third->SetInterfaceSafetyOptions(IID_IPersist, 1, 1), E_NOINTERFACE);
  EXPECT_EQ(third->SetInterfaceSafetyOptions(IID_IPersist, 0, 0), E_FAIL);
  EXPECT_EQ(third->SetInterfaceSafetyOptions(IID_IDispatch, 0, 0), E_FAIL);
  EXPECT_EQ(third->SetInterfaceSafetyOptions(IID_IDispatch, 1, 0), E_FAIL);
  EXPECT_EQ(third->SetInterfaceSafetyOptions(IID_IDispatch, 0, 1), E_FAIL);
  EXPECT_EQ(third->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_FAIL);
  EXPECT_EQ(third->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
  EXPECT_EQ(enabled, 0u);
}

// ---- Persistence ----

TEST_F(ControlObject, TheFormsPropertiesSurviveAStreamRoundTrip) {
  ComPtr<IPersistStreamInit> persist = query<IPersistStreamInit>(control_.get(), IID_IPersistStreamInit);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  putCaption(control_.get(), u"Solicitud de certificado");
  Variant color(0x00336699);
  ASSERT_EQ(putProperty(control_.get(), u"Color", color), S_OK);
  Variant visible(0);
  ASSERT_EQ(putProperty(control_.get(), u"Visible", visible), S_OK);
  FONTDESC description{sizeof(FONTDESC), const_cast<LPOLESTR>(u"Tahoma"), CY{100000}, FW_BOLD, 0, TRUE, FALSE, FALSE};
  ComPtr<IFontDisp> font;
  ASSERT_EQ(OleCreateFontIndirect(&description, IID_IFontDisp, font.putVoid()), S_OK);
  Variant fontValue = Variant::object(font.get());
  ASSERT_EQ(putProperty(control_.get(), u"Font", fontValue), S_OK);
  EXPECT_EQ(persist->IsDirty(), S_OK);

  // Two controls in one stream, each reading only its own part.
  ComPtr<IStream> stream;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
  ULARGE_INTEGER size{};
  ASSERT_EQ(persist->GetSizeMax(&size), S_OK);
  ASSERT_EQ(persist->Save(stream.get(), TRUE), S_OK);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  ULARGE_INTEGER position{};
  ASSERT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_CUR, &position), S_OK);
  EXPECT_EQ(position.QuadPart, size.QuadPart);
  ComPtr<IDispatch> plain = createControl();
  ASSERT_EQ(query<IPersistStreamInit>(plain.get(), IID_IPersistStreamInit)->Save(stream.get(), FALSE), S_OK);

  ASSERT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr), S_OK);
  ComPtr<IDispatch> first = createControl();
  ComPtr<IDispatch> second = createControl();
  putCaption(second.get(), u"cambiado");
  ASSERT_EQ(query<IPersistStreamInit>(first.get(), IID_IPersistStreamInit)->Load(stream.get()), S_OK);
  ComPtr<IPersistStreamInit> secondPersist = query<IPersistStreamInit>(second.get(), IID_IPersistStreamInit);
  ASSERT_EQ(secondPersist->Load(stream.get()), S_OK);
  EXPECT_EQ(secondPersist->IsDirty(), S_FALSE);

  EXPECT_EQ(caption(first.get()), u"Solicitud de certificado");
  EXPECT_EQ(caption(second.get()), u"Tarvenholm");
  Variant readColor;
  ASSERT_EQ(getProperty(first.get(), u"Color", readColor), S_OK);
  EXPECT_EQ(readColor->ulVal, 0x00336699u);
  Variant readVisible;
  ASSERT_EQ(getProperty(first.get(), u"Visible", readVisible), S_OK);
  EXPECT_EQ(readVisible->boolVal, VARIANT_FALSE);
  Variant readFont;
  ASSERT_EQ(getProperty(first.get(), u"Font", readFont), S_OK);
  platform::FontState state;
  ASSERT_EQ(platform::readFont(readFont->pdispVal, state), S_OK);
  EXPECT_EQ(state.name, u"Tahoma");
  EXPECT_EQ(state.size.int64, 100000);
  EXPECT_TRUE(state.bold);
  EXPECT_TRUE(state.italic);

  ASSERT_EQ(query<IPersistStreamInit>(first.get(), IID_IPersistStreamInit)->InitNew(), S_OK);
  EXPECT_EQ(caption(first.get()), u"Tarvenholm");
}

TEST_F(ControlObject, AStorageHoldsTheFormInItsContentsStream) {
  putCaption(control_.get(), u"En almacenamiento");
  ComPtr<IStorage> storage;
  ASSERT_EQ(platform::createMemoryStorage(storage.put()), S_OK);
  ComPtr<IPersistStorage> persist = query<IPersistStorage>(control_.get(), IID_IPersistStorage);
  ASSERT_EQ(persist->Save(storage.get(), TRUE), S_OK);
  ASSERT_EQ(persist->SaveCompleted(nullptr), S_OK);
  EXPECT_EQ(persist->IsDirty(), S_FALSE);
  ComPtr<IStream> contents;
  EXPECT_EQ(storage->OpenStream(u"Contents", nullptr, STGM_READ, 0, contents.put()), S_OK);

  ComPtr<IDispatch> other = createControl();
  ComPtr<IPersistStorage> otherPersist = query<IPersistStorage>(other.get(), IID_IPersistStorage);
  ASSERT_EQ(otherPersist->Load(storage.get()), S_OK);
  EXPECT_EQ(caption(other.get()), u"En almacenamiento");
  ComPtr<IStorage> empty;
  ASSERT_EQ(platform::createMemoryStorage(empty.put()), S_OK);
  EXPECT_EQ(otherPersist->Load(empty.get()), STG_E_FILENOTFOUND);
  EXPECT_EQ(caption(other.get()), u"En almacenamiento");
  ASSERT_EQ(otherPersist->InitNew(empty.get()), S_OK);
  EXPECT_EQ(caption(other.get()), u"Tarvenholm");
}

TEST_F(ControlObject, DataThatIsNotAPersistedFormChangesNothing) {
  ComPtr<IPersistStreamInit> persist = query<IPersistStreamInit>(control_.get(), IID_IPersistStreamInit);
  putCaption(control_.get(), u"Antes");
  ComPtr<IStream> saved;
  ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, saved.put()), S_OK);
  ASSERT_EQ(persist->Save(saved.get(), TRUE), S_OK);
  STATSTG stat{};
  ASSERT_EQ(saved->Stat(&stat, STATFLAG_NONAME), S_OK);
  std::vector<BYTE> bytes(stat.cbSize.QuadPart);
  ASSERT_EQ(saved->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr), S_OK);
  ASSERT_EQ(saved->Read(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);

  auto load = [&](const std::vector<BYTE>& data) {
    ComPtr<IStream> stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
    stream->Write(data.data(), static_cast<ULONG>(data.size()), nullptr);
    stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr);
    return persist->Load(stream.get());
  };
  putCaption(control_.get(), u"Actual");
  for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{20}, bytes.size() - 1})
    EXPECT_EQ(load(std::vector<BYTE>(bytes.begin(), bytes.begin() + cut)), STG_E_READFAULT) << cut;
  std::vector<BYTE> otherSignature = bytes;
  otherSignature[0] = 'X';
  EXPECT_EQ(load(otherSignature), E_FAIL);
  std::vector<BYTE> otherVersion = bytes;
  otherVersion[4] = 2;
  EXPECT_EQ(load(otherVersion), E_FAIL);
  std::vector<BYTE> badFlag = bytes;
  badFlag[6] = 7;  // Visible
  EXPECT_EQ(load(badFlag), E_FAIL);
  // A caption claiming four thousand million characters: only what is there is read.
  std::vector<BYTE> longCaption(bytes.begin(), bytes.begin() + 17);
  for (int i = 0; i < 4; ++i) longCaption.push_back(0xFF);
  longCaption.resize(longCaption.size() + 100, 'a');
  EXPECT_EQ(load(longCaption), STG_E_READFAULT);

  EXPECT_EQ(caption(control_.get()), u"Actual");
  EXPECT_EQ(persist->IsDirty(), S_OK);
  EXPECT_EQ(load(bytes), S_OK);
  EXPECT_EQ(caption(control_.get()), u"Antes");
}

// ---- Creation, module locks, aggregation ----

TEST_F(ControlObject, TheFactoryCountsObjectsAndLocksAndRefusesBadAggregation) {
  const LONG before = tarvenholm::moduleLockCount();
  ComPtr<IClassFactory> factory = testing_support::controlFactory();
  ComPtr<IClassFactory> again = testing_support::controlFactory();
  EXPECT_EQ(factory.get(), again.get()) << "one factory, kept";
  ComPtr<IDispatch> control;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, control.putVoid()), S_OK);
  EXPECT_EQ(tarvenholm::moduleLockCount(), before + 1);
  control.reset();
  EXPECT_EQ(tarvenholm::moduleLockCount(), before);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(tarvenholm::moduleLockCount(), before + 1);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(tarvenholm::moduleLockCount(), before);

  ComPtr<IUnknown> outer = ComPtr<IUnknown>::adopt(new Stranger);
  void* object = this;
  EXPECT_EQ(factory->CreateInstance(outer.get(), IID_IDispatch, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPersist, &object), E_NOINTERFACE);
  EXPECT_EQ(tarvenholm::moduleLockCount(), before);
}

TEST_F(ControlObject, AnAggregatedControlTakesTheOutersIdentity) {
  const LONG before = tarvenholm::moduleLockCount();
  auto* outer = new Outer;
  ASSERT_EQ(outer->created, S_OK);
  EXPECT_EQ(tarvenholm::moduleLockCount(), before + 1);
  {
    ComPtr<IDispatch> dispatch = query<IDispatch>(outer, IID_IDispatch);
    ASSERT_TRUE(dispatch);
    EXPECT_EQ(query<IUnknown>(dispatch.get(), IID_IUnknown).get(), static_cast<IUnknown*>(outer));
    EXPECT_TRUE(query<IPersist>(dispatch.get(), IID_IPersist)) << "the outer's own interface, through the control";
    const ULONG held = outer->references();
    ComPtr<IConnectionPointContainer> points =
        query<IConnectionPointContainer>(dispatch.get(), IID_IConnectionPointContainer);
    EXPECT_EQ(outer->references(), held + 1) << "references to the control count on the outer";
    Variant size;
    ASSERT_EQ(getProperty(dispatch.get(), u"kSize", size), S_OK);
    EXPECT_EQ(size->lVal, tarvenholm::keySizeSetting());
  }
  outer->Release();
  EXPECT_EQ(tarvenholm::moduleLockCount(), before);
}

}  // namespace
