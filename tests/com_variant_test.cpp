#include <gtest/gtest.h>

#include <string>

#include "platform/comptr.h"
#include "platform/oleauto.h"
#include "testlib/com_sample.h"

namespace {

struct Var : VARIANT {
  Var() { VariantInit(this); }
  ~Var() { VariantClear(this); }
  Var(const Var&) = delete;
  Var& operator=(const Var&) = delete;
};

Var& text(Var& v, const char16_t* value) {
  VariantClear(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(value);
  return v;
}

std::u16string textOf(const VARIANT& v) { return std::u16string(v.bstrVal, SysStringLen(v.bstrVal)); }

TEST(VariantChangeType, TextToNumbers) {
  struct Case {
    const char16_t* text;
    VARTYPE vt;
    HRESULT result;
    LONGLONG value;
  } cases[] = {
      {u"42", VT_I4, S_OK, 42},
      {u"  -17 ", VT_I4, S_OK, -17},
      {u"+5", VT_I2, S_OK, 5},
      {u"2.5", VT_I4, S_OK, 2},   // half to even
      {u"3.5", VT_I4, S_OK, 4},
      {u"-2.5", VT_I4, S_OK, -2},
      {u"2147483647", VT_I4, S_OK, 2147483647},
      {u"2147483648", VT_I4, DISP_E_OVERFLOW, 0},
      {u"32768", VT_I2, DISP_E_OVERFLOW, 0},
      {u"4294967295", VT_UI4, S_OK, 4294967295LL},
      {u"-1", VT_UI4, DISP_E_OVERFLOW, 0},
      {u"", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {u"12abc", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {u"-", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {u"1 2", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {u"99999999999999999999999", VT_I4, DISP_E_OVERFLOW, 0},
      {u"8.25", VT_CY, S_OK, 82500},
  };
  for (const Case& c : cases) {
    Var source;
    text(source, c.text);
    Var result;
    result.vt = VT_I4;
    result.lVal = 777;
    const HRESULT hr = VariantChangeType(&result, &source, 0, c.vt);
    EXPECT_EQ(hr, c.result) << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
    if (FAILED(hr)) {
      EXPECT_EQ(result.vt, VT_I4) << "a failed coercion leaves the destination as it was";
      EXPECT_EQ(result.lVal, 777);
      continue;
    }
    ASSERT_EQ(result.vt, c.vt);
    const LONGLONG got = c.vt == VT_I2 ? result.iVal : c.vt == VT_I4 ? result.lVal : c.vt == VT_UI4 ? result.ulVal
                                                                                                      : result.cyVal.int64;
    EXPECT_EQ(got, c.value);
  }
}

TEST(VariantChangeType, NumbersBooleansAndText) {
  Var value;
  value.vt = VT_I4;
  value.lVal = -1234;
  Var result;
  ASSERT_EQ(VariantChangeType(&result, &value, 0, VT_BSTR), S_OK);
  EXPECT_EQ(textOf(result), u"-1234");

  value.vt = VT_BOOL;
  value.boolVal = VARIANT_TRUE;
  ASSERT_EQ(VariantChangeType(&result, &value, 0, VT_BSTR), S_OK);
  EXPECT_EQ(textOf(result), u"-1");
  ASSERT_EQ(VariantChangeType(&result, &value, VARIANT_ALPHABOOL, VT_BSTR), S_OK);
  EXPECT_EQ(textOf(result), u"True");
  ASSERT_EQ(VariantChangeType(&result, &value, 0, VT_I4), S_OK);
  EXPECT_EQ(result.lVal, -1);

  value.vt = VT_I2;
  value.iVal = 3;
  ASSERT_EQ(VariantChangeType(&result, &value, 0, VT_BOOL), S_OK);
  EXPECT_EQ(result.boolVal, VARIANT_TRUE);

  Var word;
  ASSERT_EQ(VariantChangeType(&result, &text(word, u"FALSE"), 0, VT_BOOL), S_OK);
  EXPECT_EQ(result.boolVal, VARIANT_FALSE);
  ASSERT_EQ(VariantChangeType(&result, &text(word, u"0"), 0, VT_BOOL), S_OK);
  EXPECT_EQ(result.boolVal, VARIANT_FALSE);
  EXPECT_EQ(VariantChangeType(&result, &text(word, u"yes"), 0, VT_BOOL), DISP_E_TYPEMISMATCH);

  value.vt = VT_UI4;
  value.ulVal = 70000;
  EXPECT_EQ(VariantChangeType(&result, &value, 0, VT_I2), DISP_E_OVERFLOW);

  value.vt = VT_CY;
  value.cyVal.int64 = -82500;
  ASSERT_EQ(VariantChangeType(&result, &value, 0, VT_BSTR), S_OK);
  EXPECT_EQ(textOf(result), u"-8.25");
}

TEST(VariantChangeType, EmptyNullAndErrors) {
  Var empty;
  Var result;
  ASSERT_EQ(VariantChangeType(&result, &empty, 0, VT_I4), S_OK);
  EXPECT_EQ(result.vt, VT_I4);
  EXPECT_EQ(result.lVal, 0);
  ASSERT_EQ(VariantChangeType(&result, &empty, 0, VT_BSTR), S_OK);
  EXPECT_EQ(result.vt, VT_BSTR);
  EXPECT_EQ(SysStringLen(result.bstrVal), 0u);
  EXPECT_EQ(VariantChangeType(&result, &empty, 0, VT_DISPATCH), DISP_E_TYPEMISMATCH);

  Var null;
  null.vt = VT_NULL;
  EXPECT_EQ(VariantChangeType(&result, &null, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&result, &null, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
  Var error;
  error.vt = VT_ERROR;
  error.scode = DISP_E_PARAMNOTFOUND;
  EXPECT_EQ(VariantChangeType(&result, &error, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(VariantChangeType(&result, &empty, 0, VT_I4 | VT_BYREF), DISP_E_BADVARTYPE);
  Var odd;
  odd.vt = 77;
  EXPECT_EQ(VariantChangeType(&result, &odd, 0, VT_I4), DISP_E_BADVARTYPE);
  EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
  odd.vt = VT_EMPTY;
}

TEST(VariantChangeType, InPlaceAndByReference) {
  Var value;
  text(value, u"123");
  ASSERT_EQ(VariantChangeType(&value, &value, 0, VT_I4), S_OK);  // frees the text (ASan checks)
  EXPECT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, 123);
  ASSERT_EQ(VariantChangeType(&value, &value, 0, VT_BSTR), S_OK);
  EXPECT_EQ(textOf(value), u"123");

  SHORT number = -9;
  Var byRef;
  byRef.vt = VT_BYREF | VT_I2;
  byRef.piVal = &number;
  Var result;
  ASSERT_EQ(VariantChangeType(&result, &byRef, 0, VT_BSTR), S_OK);
  EXPECT_EQ(textOf(result), u"-9");

  Var inner;
  text(inner, u"5");
  Var byVariant;
  byVariant.vt = VT_BYREF | VT_VARIANT;
  byVariant.pvarVal = &inner;
  ASSERT_EQ(VariantChangeType(&result, &byVariant, 0, VT_I4), S_OK);
  EXPECT_EQ(result.lVal, 5);
  EXPECT_EQ(inner.vt, VT_BSTR) << "the referenced value is not touched";
}

TEST(VariantCopy, DuplicatesStringsAndCountsReferences) {
  Var source;
  source.vt = VT_BSTR;
  const char16_t embedded[] = {u'a', 0, u'b'};
  source.bstrVal = SysAllocStringLen(embedded, 3);
  Var copy;
  ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
  EXPECT_NE(copy.bstrVal, source.bstrVal);
  EXPECT_EQ(SysStringLen(copy.bstrVal), 3u);
  EXPECT_EQ(copy.bstrVal[2], u'b');

  auto shape = testing_support::Shape::create();
  {
    Var object;
    object.vt = VT_DISPATCH;
    object.pdispVal = static_cast<testing_support::IShape*>(shape.get());
    object.pdispVal->AddRef();
    Var second;
    ASSERT_EQ(VariantCopy(&second, &object), S_OK);
    EXPECT_EQ(shape->AddRef(), 4u);
    shape->Release();

    Var unknown;
    ASSERT_EQ(VariantChangeType(&unknown, &object, 0, VT_UNKNOWN), S_OK);
    Var dispatchAgain;
    ASSERT_EQ(VariantChangeType(&dispatchAgain, &unknown, 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(dispatchAgain.pdispVal, object.pdispVal);
  }
  EXPECT_EQ(shape->AddRef(), 2u) << "every copy released its reference";
  shape->Release();

  LONG number = 4;
  Var byRef;
  byRef.vt = VT_BYREF | VT_I4;
  byRef.plVal = &number;
  Var shallow;
  ASSERT_EQ(VariantCopy(&shallow, &byRef), S_OK);
  EXPECT_EQ(shallow.plVal, &number);
  Var deep;
  ASSERT_EQ(VariantCopyInd(&deep, &byRef), S_OK);
  EXPECT_EQ(deep.vt, VT_I4);
  EXPECT_EQ(deep.lVal, 4);
}

}  // namespace
