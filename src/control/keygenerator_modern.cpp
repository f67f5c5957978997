// The members ITarvenholmX2 adds: the options of a modern request, held per
// control instance, and createRequest, which hands them to the engine.
#include <string>

#include "control/automation_error.h"
#include "control/keygenerator.h"
#include "support/base64.h"
#include "support/textconv.h"

namespace tarvenholm {
namespace {

HRESULT readText(BSTR* out, const std::string& value) {
  return guarded([&] {
    if (out == nullptr) return E_POINTER;
    *out = handBack(systemToBstr(value));
    return S_OK;
  });
}

HRESULT writeText(std::string& value, BSTR given) {
  return guarded([&] {
    value = wideToSystem(given);
    return S_OK;
  });
}

HRESULT readFlag(VARIANT_BOOL* out, bool value) {
  if (out == nullptr) return E_POINTER;
  *out = value ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

std::string joinedLines(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : "\n") + item;
  return text;
}

std::string base64Line(const std::vector<BYTE>& der) {
  std::uint32_t length = 0;
  base64EncodedLength(static_cast<std::uint32_t>(der.size()), kBase64NoBreaks, 64, &length);
  std::string text(length + 1, '\0');
  if (base64Encode(der.data(), static_cast<std::uint32_t>(der.size()), text.data(), kBase64NoBreaks, 64) != 1)
    throw ControlFailure("the request could not be encoded as base64");
  text.resize(text.find('\0'));
  return text;
}

}  // namespace

HRESULT TkeyGeneratorImpl::get_keyAlgorithm(BSTR* Value) { return readText(Value, modern_.key); }
HRESULT TkeyGeneratorImpl::put_keyAlgorithm(BSTR Value) { return writeText(modern_.key, Value); }
HRESULT TkeyGeneratorImpl::get_hashAlgorithm(BSTR* Value) { return readText(Value, modern_.hash); }
HRESULT TkeyGeneratorImpl::put_hashAlgorithm(BSTR Value) { return writeText(modern_.hash, Value); }
HRESULT TkeyGeneratorImpl::get_usePss(VARIANT_BOOL* Value) { return readFlag(Value, modern_.pss); }
HRESULT TkeyGeneratorImpl::put_usePss(VARIANT_BOOL Value) {
  modern_.pss = Value != VARIANT_FALSE;
  return S_OK;
}
HRESULT TkeyGeneratorImpl::get_singleRdn(VARIANT_BOOL* Value) { return readFlag(Value, modern_.singleRdn); }
HRESULT TkeyGeneratorImpl::put_singleRdn(VARIANT_BOOL Value) {
  modern_.singleRdn = Value != VARIANT_FALSE;
  return S_OK;
}
HRESULT TkeyGeneratorImpl::get_subjectAltNames(BSTR* Value) {
  return guarded([&] { return readText(Value, joinedLines(modern_.altNames)); });
}
HRESULT TkeyGeneratorImpl::put_subjectAltNames(BSTR Value) {
  return guarded([&] {
    modern_.altNames = lines(wideToSystem(Value));
    return S_OK;
  });
}
HRESULT TkeyGeneratorImpl::get_keyUsage(BSTR* Value) { return readText(Value, modern_.keyUsage); }
HRESULT TkeyGeneratorImpl::put_keyUsage(BSTR Value) { return writeText(modern_.keyUsage, Value); }
HRESULT TkeyGeneratorImpl::get_extKeyUsage(BSTR* Value) { return readText(Value, modern_.extendedKeyUsage); }
HRESULT TkeyGeneratorImpl::put_extKeyUsage(BSTR Value) { return writeText(modern_.extendedKeyUsage, Value); }
HRESULT TkeyGeneratorImpl::put_challengePassword(BSTR Value) { return writeText(modern_.challengePassword, Value); }
HRESULT TkeyGeneratorImpl::get_renewContainer(BSTR* Value) { return readText(Value, modern_.renewContainer); }
HRESULT TkeyGeneratorImpl::put_renewContainer(BSTR Value) { return writeText(modern_.renewContainer, Value); }
HRESULT TkeyGeneratorImpl::get_requestContainer(BSTR* Value) { return readText(Value, lastRequest_.container); }
HRESULT TkeyGeneratorImpl::get_requestProvider(BSTR* Value) { return readText(Value, lastRequest_.provider); }

HRESULT TkeyGeneratorImpl::createRequest(BSTR subject, BSTR* req) {
  return guarded([&] {
    if (req == nullptr) return E_POINTER;
    const ModernRequestResult made = buildModernRequest(wideToSystem(subject), modern_);
    switch (made.status) {
      case ModernRequestStatus::Refused:
        return automationError(made.problem.c_str(), E_INVALIDARG);
      case ModernRequestStatus::Failed:
        return automationError(made.problem.c_str(), E_FAIL);
      case ModernRequestStatus::Made:
        break;
    }
    *req = handBack(systemToBstr(base64Line(made.der)));
    lastRequest_ = {made.container, made.provider};
    return S_OK;
  });
}

}  // namespace tarvenholm
