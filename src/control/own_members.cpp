#include "control/own_members.h"

#include <string>

#include "control/automation_error.h"
#include "engine/providers.h"
#include "engine/request.h"
#include "engine/settings.h"
#include "install/install.h"
#include "support/errors.h"
#include "support/textconv.h"

namespace tarvenholm {
namespace {

void showCodeBox(int code) { showErrorBox(errorText(messageBuffer(), kMessageBufferSize, code)); }

}  // namespace

HRESULT providerList(BSTR* list) {
  return guarded([&] {
    if (list == nullptr) return E_POINTER;
    *list = handBack(systemToBstr(providerListText()));
    return S_OK;
  });
}

HRESULT readKeySize(LONG* bits) {
  if (bits == nullptr) return E_POINTER;
  *bits = keySizeSetting();
  return S_OK;
}

HRESULT writeKeySize(LONG bits) {
  setKeySizeSetting(bits);
  return S_OK;
}

HRESULT writeProviderName(BSTR name) {
  return guarded([&] {
    if (name != nullptr) setProviderNameSetting(wideToSystem(name));
    return S_OK;
  });
}

HRESULT writeMessageLanguage(LONG value) {
  setMessageLanguageFromProperty(value);
  return S_OK;
}

HRESULT generateRequest(BSTR names, BSTR* request) {
  return guarded([&] {
    // By length: a string whose first character is zero is not absent.
    const std::string text = wideToSystem(names, SysStringLen(names));
    if (text.empty()) {
      showCodeBox(kEmptyNames);
      return S_FALSE;
    }
    if (request == nullptr) return E_POINTER;
    buildRequest(text.c_str(), request);
    return S_OK;
  });
}

HRESULT installCertificates(BSTR text, LONG* code) {
  return guarded([&] {
    const std::string collection = wideToSystem(text, SysStringLen(text));
    if (collection.empty()) {
      showCodeBox(kEmptyCertificate);
      return S_FALSE;
    }
    if (code == nullptr) return E_POINTER;
    *code = installCert(collection.c_str());
    return S_OK;
  });
}

}  // namespace tarvenholm
