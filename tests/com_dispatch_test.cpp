#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/dispatch.h"
#include "platform/typelib.h"
#include "testlib/com_sample.h"

namespace {

using platform::ComPtr;
using testing_support::IID_IShape;
using testing_support::IShape;
using testing_support::Shape;

// An owned VARIANT for the tests.
struct Var : VARIANT {
  Var() { VariantInit(this); }
  explicit Var(LONG value) : Var() {
    vt = VT_I4;
    lVal = value;
  }
  explicit Var(const char16_t* text) : Var() {
    vt = VT_BSTR;
    bstrVal = SysAllocString(text);
  }
  ~Var() { VariantClear(this); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
};

std::u16string text(BSTR value) { return std::u16string(value, SysStringLen(value)); }

class DispatchTest : public ::testing::Test {
 protected:
  void TearDown() override {
    shape_.reset();
    EXPECT_EQ(Shape::live.load(), 0) << "an object leaked a reference";
  }
  IDispatch* dispatch() { return static_cast<IShape*>(shape_.get()); }
  HRESULT invoke(DISPID id, WORD flags, std::vector<VARIANT> args, std::vector<DISPID> named, VARIANT* result,
                 EXCEPINFO* exception = nullptr, UINT* argErr = nullptr) {
    DISPPARAMS params{args.data(), named.data(), static_cast<UINT>(args.size()), static_cast<UINT>(named.size())};
    return dispatch()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, exception, argErr);
  }

  ComPtr<Shape> shape_ = Shape::create();
};

TEST_F(DispatchTest, BindingMatchesTheModel) {
  EXPECT_EQ(Shape::binding().status(), S_OK) << Shape::binding().problem();
}

TEST_F(DispatchTest, NamesResolveIgnoringCaseWithParameterPositions) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"DESCRIBE"), const_cast<LPOLESTR>(u"Count"),
                      const_cast<LPOLESTR>(u"prefix")};
  DISPID ids[3] = {};
  ASSERT_EQ(dispatch()->GetIDsOfNames(IID_NULL, names, 3, LOCALE_USER_DEFAULT, ids), S_OK);
  EXPECT_EQ(ids[0], 3);
  EXPECT_EQ(ids[1], 1);
  EXPECT_EQ(ids[2], 0);

  LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Describe"), const_cast<LPOLESTR>(u"nosuch")};
  EXPECT_EQ(dispatch()->GetIDsOfNames(IID_NULL, unknown, 2, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 3);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);

  LPOLESTR missing[] = {const_cast<LPOLESTR>(u"Height")};
  EXPECT_EQ(dispatch()->GetIDsOfNames(IID_NULL, missing, 1, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(dispatch()->GetIDsOfNames(IID_IShape, missing, 1, LOCALE_USER_DEFAULT, ids), DISP_E_UNKNOWNINTERFACE);
}

TEST_F(DispatchTest, PropertyGetAndPutWithCoercion) {
  Var result;
  ASSERT_EQ(invoke(1, DISPATCH_PROPERTYGET, {}, {}, &result), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 10);

  Var value(u" 2048 ");
  ASSERT_EQ(invoke(1, DISPATCH_PROPERTYPUT, {value}, {DISPID_PROPERTYPUT}, nullptr), S_OK);
  EXPECT_EQ(shape_->width, 2048);

  // Script hosts read properties with METHOD | PROPERTYGET.
  Var again;
  ASSERT_EQ(invoke(1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, {}, &again), S_OK);
  EXPECT_EQ(again.lVal, 2048);

  // A put must name its value DISPID_PROPERTYPUT.
  Var other(7);
  EXPECT_EQ(invoke(1, DISPATCH_PROPERTYPUT, {other}, {}, nullptr), DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(shape_->width, 2048);
}

TEST_F(DispatchTest, PutOnlyPropertyCannotBeRead) {
  Var label(u"hello");
  ASSERT_EQ(invoke(2, DISPATCH_PROPERTYPUT, {label}, {DISPID_PROPERTYPUT}, nullptr), S_OK);
  EXPECT_EQ(shape_->label, u"hello");
  Var result;
  EXPECT_EQ(invoke(2, DISPATCH_PROPERTYGET, {}, {}, &result), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(result.vt, VT_EMPTY);
  EXPECT_EQ(invoke(2, DISPATCH_METHOD, {}, {}, &result), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(invoke(999, DISPATCH_METHOD, {}, {}, &result), DISP_E_MEMBERNOTFOUND);
}

TEST_F(DispatchTest, MethodWithPositionalAndNamedArguments) {
  Var prefix(u"box");
  Var count(3);
  Var result;
  // Positional arguments arrive last first.
  ASSERT_EQ(invoke(3, DISPATCH_METHOD, {count, prefix}, {}, &result), S_OK);
  ASSERT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(text(result.bstrVal), u"box:3");

  // Named: count (position 1) then prefix (position 0), in any order.
  Var named;
  ASSERT_EQ(invoke(3, DISPATCH_METHOD, {count, prefix}, {0, 1}, &named), DISP_E_TYPEMISMATCH);
  Var good;
  ASSERT_EQ(invoke(3, DISPATCH_METHOD, {count, prefix}, {1, 0}, &good), S_OK);
  EXPECT_EQ(text(good.bstrVal), u"box:3");

  // One positional (prefix) and one named (count).
  Var mixed;
  ASSERT_EQ(invoke(3, DISPATCH_METHOD, {count, prefix}, {1}, &mixed), S_OK);
  EXPECT_EQ(text(mixed.bstrVal), u"box:3");

  // A named argument for a parameter already given positionally.
  UINT argErr = 99;
  EXPECT_EQ(invoke(3, DISPATCH_METHOD, {prefix, count}, {0}, &mixed, nullptr, &argErr), DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(argErr, 0u);

  // The retval is freed when the caller wants no result (checked by ASan).
  EXPECT_EQ(invoke(3, DISPATCH_METHOD, {count, prefix}, {}, nullptr), S_OK);
}

TEST_F(DispatchTest, ArgumentCountsAreChecked) {
  Var prefix(u"box");
  Var count(3);
  Var result;
  EXPECT_EQ(invoke(3, DISPATCH_METHOD, {prefix}, {}, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(invoke(3, DISPATCH_METHOD, {count, count, prefix}, {}, &result), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(invoke(3, DISPATCH_METHOD, {prefix}, {0}, &result), DISP_E_PARAMNOTOPTIONAL);
  EXPECT_EQ(invoke(3, DISPATCH_METHOD, {prefix, count}, {5, 0}, &result), DISP_E_PARAMNOTFOUND);
  EXPECT_EQ(result.vt, VT_EMPTY);
}

TEST_F(DispatchTest, TypeMismatchReportsTheArgumentIndex) {
  Var prefix(u"box");
  Var notANumber(u"three");
  Var result;
  UINT argErr = 99;
  // rgvarg[0] is the last parameter (count).
  EXPECT_EQ(invoke(3, DISPATCH_METHOD, {notANumber, prefix}, {}, &result, nullptr, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);

  VARIANT nullValue;
  VariantInit(&nullValue);
  nullValue.vt = VT_NULL;
  Var count(1);
  argErr = 99;
  EXPECT_EQ(invoke(3, DISPATCH_METHOD, {count, nullValue}, {}, &result, nullptr, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 1u);

  Var huge(u"99999999999");
  argErr = 99;
  EXPECT_EQ(invoke(1, DISPATCH_PROPERTYPUT, {huge}, {DISPID_PROPERTYPUT}, nullptr, nullptr, &argErr), DISP_E_OVERFLOW);
  EXPECT_EQ(argErr, 0u);
  EXPECT_EQ(shape_->width, 10);
}

TEST_F(DispatchTest, InOutArgumentsByReference) {
  SHORT key = 41;
  VARIANT byRef;
  VariantInit(&byRef);
  byRef.vt = VT_BYREF | VT_I2;
  byRef.piVal = &key;
  ASSERT_EQ(invoke(4, DISPATCH_METHOD, {byRef}, {}, nullptr), S_OK);
  EXPECT_EQ(key, 42);

  // Through a by-reference VARIANT holding another type: coerced and written back.
  Var inner(u"7");
  VARIANT byVariant;
  VariantInit(&byVariant);
  byVariant.vt = VT_BYREF | VT_VARIANT;
  byVariant.pvarVal = &inner;
  ASSERT_EQ(invoke(4, DISPATCH_METHOD, {byVariant}, {}, nullptr), S_OK);
  EXPECT_EQ(inner.vt, VT_I2);
  EXPECT_EQ(inner.iVal, 8);

  // A value where a reference is needed, or a reference of the wrong type.
  Var plain(5);
  UINT argErr = 99;
  EXPECT_EQ(invoke(4, DISPATCH_METHOD, {plain}, {}, nullptr, nullptr, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  LONG wide = 5;
  VARIANT wrongRef;
  VariantInit(&wrongRef);
  wrongRef.vt = VT_BYREF | VT_I4;
  wrongRef.plVal = &wide;
  EXPECT_EQ(invoke(4, DISPATCH_METHOD, {wrongRef}, {}, nullptr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(wide, 5);
}

TEST_F(DispatchTest, FailureWithErrorInfoBecomesAnException) {
  Var message(u"no access to the shape");
  EXCEPINFO exception{};
  ASSERT_EQ(invoke(5, DISPATCH_METHOD, {message}, {}, nullptr, &exception), DISP_E_EXCEPTION);
  EXPECT_EQ(exception.scode, E_ACCESSDENIED);
  EXPECT_EQ(text(exception.bstrSource), u"Shapes.Shape");
  EXPECT_EQ(text(exception.bstrDescription), u"no access to the shape");
  platform::clearExcepInfo(&exception);
  // The error object was handed over, not left on the thread.
  ComPtr<IErrorInfo> left;
  EXPECT_EQ(GetErrorInfo(0, left.put()), S_FALSE);

  // A failure without error information passes through as it is, and stale
  // error information from before the call is not taken for it.
  ComPtr<ICreateErrorInfo> stale;
  ASSERT_EQ(CreateErrorInfo(stale.put()), S_OK);
  SetErrorInfo(0, stale.as<IErrorInfo>().get());
  Var empty(u"");
  EXCEPINFO untouched{};
  EXPECT_EQ(invoke(5, DISPATCH_METHOD, {empty}, {}, nullptr, &untouched), E_INVALIDARG);
  EXPECT_EQ(untouched.scode, 0);
}

TEST_F(DispatchTest, SuccessCodesPassThrough) {
  EXPECT_EQ(invoke(9, DISPATCH_METHOD, {}, {}, nullptr), S_FALSE);
  shape_->width = 3;
  EXPECT_EQ(invoke(9, DISPATCH_METHOD, {}, {}, nullptr), S_OK);
  EXPECT_EQ(shape_->width, 10);
}

TEST_F(DispatchTest, ColorsTravelAsSignedOrUnsigned) {
  Var result;
  ASSERT_EQ(invoke(DISPID_BACKCOLOR, DISPATCH_PROPERTYGET, {}, {}, &result), S_OK);
  EXPECT_EQ(result.vt, VT_UI4);
  EXPECT_EQ(result.ulVal, 0x8000000Fu);
  Var negative(static_cast<LONG>(0x80000005));
  ASSERT_EQ(invoke(DISPID_BACKCOLOR, DISPATCH_PROPERTYPUT, {negative}, {DISPID_PROPERTYPUT}, nullptr), S_OK);
  EXPECT_EQ(shape_->color, 0x80000005u);
}

TEST_F(DispatchTest, BooleansEnumerationsAndObjects) {
  Var no(u"false");
  ASSERT_EQ(invoke(6, DISPATCH_PROPERTYPUT, {no}, {DISPID_PROPERTYPUT}, nullptr), S_OK);
  EXPECT_EQ(shape_->visible, VARIANT_FALSE);
  Var visible;
  ASSERT_EQ(invoke(6, DISPATCH_PROPERTYGET, {}, {}, &visible), S_OK);
  EXPECT_EQ(visible.vt, VT_BOOL);

  Var circle(1);
  ASSERT_EQ(invoke(7, DISPATCH_PROPERTYPUT, {circle}, {DISPID_PROPERTYPUT}, nullptr), S_OK);
  EXPECT_EQ(shape_->kind, testing_support::skCircle);

  ComPtr<Shape> other = Shape::create();
  Var peer;
  peer.vt = VT_DISPATCH;
  peer.pdispVal = static_cast<IShape*>(other.get());
  peer.pdispVal->AddRef();
  // Peer has a put by reference only.
  EXPECT_EQ(invoke(8, DISPATCH_PROPERTYPUT, {peer}, {DISPID_PROPERTYPUT}, nullptr), DISP_E_MEMBERNOTFOUND);
  ASSERT_EQ(invoke(8, DISPATCH_PROPERTYPUTREF, {peer}, {DISPID_PROPERTYPUT}, nullptr), S_OK);
  Var back;
  ASSERT_EQ(invoke(8, DISPATCH_PROPERTYGET, {}, {}, &back), S_OK);
  ASSERT_EQ(back.vt, VT_DISPATCH);
  EXPECT_EQ(back.pdispVal, static_cast<IDispatch*>(static_cast<IShape*>(other.get())));
  shape_->peer.reset();
}

TEST_F(DispatchTest, InvokeByNameDoesWhatAScriptHostDoes) {
  Var value(77);
  ASSERT_EQ(platform::invokeByName(dispatch(), u"width", DISPATCH_PROPERTYPUT, &value, 1, nullptr), S_OK);
  EXPECT_EQ(shape_->width, 77);
  Var args[2] = {Var(u"w"), Var(2)};
  Var result;
  ASSERT_EQ(platform::invokeByName(dispatch(), u"Describe", DISPATCH_METHOD, args, 2, &result), S_OK);
  EXPECT_EQ(text(result.bstrVal), u"w:2");
  EXPECT_EQ(platform::invokeByName(dispatch(), u"Nothing", DISPATCH_METHOD, nullptr, 0, &result), DISP_E_UNKNOWNNAME);
}

// A sloppy binding is caught when it is made, not when a script calls it.
struct Sloppy {
  HRESULT getWidth(LONG*) { return S_OK; }
  HRESULT putWidth(BSTR) { return S_OK; }
};

TEST(DispatchBinding, ReportsMissingAndMismatchedHandlers) {
  ComPtr<ITypeInfo> info;
  ASSERT_EQ(testing_support::shapeTypeLib()->GetTypeInfoOfGuid(testing_support::IID_IShape, info.put()), S_OK);
  platform::DispatchBinding<Sloppy> binding(info.get(), &Sloppy::getWidth, &Sloppy::putWidth);
  EXPECT_EQ(binding.status(), E_UNEXPECTED);
  EXPECT_NE(binding.problem().find("handlers"), std::string::npos) << binding.problem();

  ComPtr<ITypeInfo> events;
  ASSERT_EQ(testing_support::shapeTypeLib()->GetTypeInfoOfGuid(testing_support::DIID_IShapeEvents, events.put()), S_OK);
  struct Sink {
    HRESULT OnClick() { return S_OK; }
    HRESULT OnKeyPress(LONG*) { return S_OK; }
  };
  platform::DispatchBinding<Sink> wrongType(events.get(), &Sink::OnClick, &Sink::OnKeyPress);
  EXPECT_EQ(wrongType.status(), E_UNEXPECTED);
  EXPECT_NE(wrongType.problem().find("OnKeyPress"), std::string::npos) << wrongType.problem();
  Sink sink;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(wrongType.invoke(&sink, 1, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), E_UNEXPECTED);
}

TEST(ErrorInfo, BelongsToTheThreadThatSetIt) {
  ComPtr<ICreateErrorInfo> create;
  ASSERT_EQ(CreateErrorInfo(create.put()), S_OK);
  create->SetDescription(const_cast<LPOLESTR>(u"first thread"));
  ASSERT_EQ(SetErrorInfo(0, create.as<IErrorInfo>().get()), S_OK);

  HRESULT seenByOther = S_OK;
  std::thread([&] {
    ComPtr<IErrorInfo> none;
    seenByOther = GetErrorInfo(0, none.put());
  }).join();
  EXPECT_EQ(seenByOther, S_FALSE);

  ComPtr<IErrorInfo> mine;
  ASSERT_EQ(GetErrorInfo(0, mine.put()), S_OK);
  BSTR description = nullptr;
  ASSERT_EQ(mine->GetDescription(&description), S_OK);
  EXPECT_EQ(text(description), u"first thread");
  SysFreeString(description);
  ComPtr<IErrorInfo> again;
  EXPECT_EQ(GetErrorInfo(0, again.put()), S_FALSE);
  EXPECT_FALSE(again);
}

}  // namespace
