#include "hosting/control_client.h"

#include <utility>

#include "platform/oletext.h"

namespace tarvenholm::hosting {
namespace {

std::string utf8Of(BSTR text) {
  return text == nullptr ? std::string() : platform::wideToUtf8(std::u16string_view(text, SysStringLen(text)));
}

// Frees what an EXCEPINFO carries and keeps its description.
std::string takeDescription(EXCEPINFO& exception) {
  if (exception.pfnDeferredFillIn != nullptr) exception.pfnDeferredFillIn(&exception);
  std::string description = utf8Of(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return description;
}

}  // namespace

Variant::Variant(Variant&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }

Variant Variant::number(LONG value) {
  Variant variant;
  variant.value_.vt = VT_I4;
  variant.value_.lVal = value;
  return variant;
}

Variant Variant::text(const std::string& utf8) {
  const std::u16string wide = platform::utf8ToWide(utf8);
  Variant variant;
  variant.value_.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (variant.value_.bstrVal != nullptr) variant.value_.vt = VT_BSTR;
  return variant;
}

std::optional<std::string> Variant::asText() const {
  if (value_.vt != VT_BSTR) return std::nullopt;
  return utf8Of(value_.bstrVal);
}

std::optional<LONG> Variant::asNumber() const {
  VARIANT converted;
  VariantInit(&converted);
  if (FAILED(VariantChangeType(&converted, &value_, 0, VT_I4))) return std::nullopt;
  return converted.lVal;
}

CallOutcome ControlClient::put(const std::string& property, Variant value) {
  std::vector<Variant> arguments;
  arguments.push_back(std::move(value));
  return invoke(property, DISPATCH_PROPERTYPUT, arguments, nullptr);
}

CallOutcome ControlClient::call(const std::string& method, std::vector<Variant> arguments, Variant& result) {
  VariantClear(result.get());
  return invoke(method, DISPATCH_METHOD, arguments, result.get());
}

CallOutcome ControlClient::get(const std::string& property, Variant& result) {
  VariantClear(result.get());
  std::vector<Variant> none;
  return invoke(property, DISPATCH_PROPERTYGET, none, result.get());
}

CallOutcome ControlClient::invoke(const std::string& member, WORD flags, std::vector<Variant>& arguments,
                                  VARIANT* result) {
  for (Variant& argument : arguments)
    if (argument.get()->vt == VT_EMPTY) return {E_OUTOFMEMORY, "out of memory"};

  std::u16string name = platform::utf8ToWide(member);
  LPOLESTR names[] = {name.data()};
  DISPID id = DISPID_UNKNOWN;
  CallOutcome outcome;
  outcome.result = control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (outcome.failed()) return outcome;

  // Invoke takes the arguments last first.
  std::vector<VARIANT> reversed;
  for (auto argument = arguments.rbegin(); argument != arguments.rend(); ++argument)
    reversed.push_back(*argument->get());
  DISPID propertyPut = DISPID_PROPERTYPUT;
  DISPPARAMS parameters{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags == DISPATCH_PROPERTYPUT) {
    parameters.rgdispidNamedArgs = &propertyPut;
    parameters.cNamedArgs = 1;
  }
  EXCEPINFO exception{};
  UINT badArgument = 0;
  outcome.result =
      control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &parameters, result, &exception, &badArgument);
  if (outcome.result == DISP_E_EXCEPTION) {
    outcome.description = takeDescription(exception);
    if (exception.scode != 0) outcome.result = exception.scode;
  }
  return outcome;
}

}  // namespace tarvenholm::hosting
