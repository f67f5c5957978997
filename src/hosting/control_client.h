// Late-bound calls on the control: members found by name with
// GetIDsOfNames and called with Invoke, as a script on a page calls them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/comptr.h"
#include "platform/objbase.h"
#include "platform/oleauto.h"

namespace tarvenholm::hosting {

// Owns one VARIANT.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept;

  static Variant number(LONG value);
  // A BSTR holding the UTF-16 form of UTF-8 text.
  static Variant text(const std::string& utf8);

  VARIANT* get() { return &value_; }
  // The value as UTF-8 text, when it is a string.
  std::optional<std::string> asText() const;
  // The value as a 32-bit number, when it is one or converts to one.
  std::optional<LONG> asNumber() const;

 private:
  VARIANT value_;
};

// How a call ended: the member's own result (S_OK, S_FALSE...), or the
// failure of the call with the description the control gave.
struct CallOutcome {
  HRESULT result = S_OK;
  std::string description;
  bool failed() const { return FAILED(result); }
};

// The component-object apartment of the host's thread for the life of the object.
class Apartment {
 public:
  Apartment() : initialised_(SUCCEEDED(CoInitialize(nullptr))) {}
  ~Apartment() {
    if (initialised_) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

 private:
  bool initialised_;
};

class ControlClient {
 public:
  explicit ControlClient(platform::ComPtr<IDispatch> control) : control_(std::move(control)) {}

  CallOutcome put(const std::string& property, Variant value);
  // `arguments` in the member's order; its [out, retval] value in `result`.
  CallOutcome call(const std::string& method, std::vector<Variant> arguments, Variant& result);
  CallOutcome get(const std::string& property, Variant& result);

 private:
  CallOutcome invoke(const std::string& member, WORD flags, std::vector<Variant>& arguments, VARIANT* result);

  platform::ComPtr<IDispatch> control_;
};

}  // namespace tarvenholm::hosting
