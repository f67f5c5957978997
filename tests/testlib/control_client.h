// What the control's tests share: a control made the way a host gets one
// (the class factory of the module), and calls by name through IDispatch
// the way a script host makes them.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/identifiers.h"
#include "control/module_state.h"
#include "platform/comptr.h"
#include "platform/dispatch.h"
#include "platform/oleauto.h"

namespace testing_support {

// Owns one VARIANT.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  explicit Variant(LONG number) : Variant() {
    value_.vt = VT_I4;
    value_.lVal = number;
  }
  explicit Variant(const char16_t* text) : Variant() {
    value_.vt = VT_BSTR;
    value_.bstrVal = text == nullptr ? nullptr : SysAllocString(text);
  }
  static Variant nullText() { return Variant(static_cast<const char16_t*>(nullptr)); }
  static Variant object(IUnknown* object) {
    Variant variant;
    variant.value_.vt = VT_DISPATCH;
    object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&variant.value_.pdispVal));
    return variant;
  }
  ~Variant() { VariantClear(&value_); }
  Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  VARIANT* get() { return &value_; }
  VARIANT* operator->() { return &value_; }
  // The text of a VT_BSTR (a null BSTR reads as empty).
  std::u16string text() const {
    EXPECT_EQ(value_.vt, VT_BSTR);
    return value_.vt == VT_BSTR && value_.bstrVal != nullptr ? std::u16string(value_.bstrVal, SysStringLen(value_.bstrVal))
                                                             : std::u16string();
  }

 private:
  VARIANT value_;
};

inline platform::ComPtr<IClassFactory> controlFactory() {
  platform::ComPtr<IClassFactory> factory;
  EXPECT_EQ(tarvenholm::keyGeneratorClassObject(IID_IClassFactory, factory.putVoid()), S_OK);
  return factory;
}

// A new control from the class factory, seen through IDispatch.
inline platform::ComPtr<IDispatch> createControl() {
  platform::ComPtr<IDispatch> control;
  EXPECT_EQ(controlFactory()->CreateInstance(nullptr, IID_IDispatch, control.putVoid()), S_OK);
  return control;
}

// A method call by name with its arguments first to last.
inline HRESULT callMethod(IDispatch* control, const char16_t* name, std::vector<VARIANT*> arguments, Variant* result,
                          EXCEPINFO* exception = nullptr) {
  std::vector<VARIANT> values;
  for (VARIANT* argument : arguments) values.push_back(*argument);
  return platform::invokeByName(control, name, DISPATCH_METHOD, values.data(), static_cast<UINT>(values.size()),
                                result == nullptr ? nullptr : result->get(), exception);
}

inline HRESULT putProperty(IDispatch* control, const char16_t* name, Variant& value,
                           WORD flags = DISPATCH_PROPERTYPUT) {
  return platform::invokeByName(control, name, flags, value.get(), 1, nullptr);
}

inline HRESULT getProperty(IDispatch* control, const char16_t* name, Variant& value) {
  return platform::invokeByName(control, name, DISPATCH_PROPERTYGET, nullptr, 0, value.get());
}

}  // namespace testing_support
