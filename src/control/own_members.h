// The control's own members of ITarvenholmX. They work on module-wide state
// only (the settings shared by every instance, the engine operations), so
// every instance forwards to these functions. Texts from the host are
// converted to the system code page; texts handed back are new BSTRs the
// caller owns.
#pragma once

#include "platform/bstr.h"
#include "platform/hresult.h"

namespace tarvenholm {

// getCSPList: the provider list text.
HRESULT providerList(BSTR* list);
// kSize get and put: the key size setting, any value accepted when put.
HRESULT readKeySize(LONG* bits);
HRESULT writeKeySize(LONG bits);
// provName put: a null string leaves the provider name setting as it is.
HRESULT writeProviderName(BSTR name);
// msgLng put: 1 Spanish, every other value English.
HRESULT writeMessageLanguage(LONG value);
// genReq: S_FALSE after the box for an empty or null names string, with
// `request` untouched; else S_OK with what request generation left in it.
HRESULT generateRequest(BSTR names, BSTR* request);
// setCert: S_FALSE after the box for an empty or null text, with `code`
// untouched; else S_OK with installation's result code in it.
HRESULT installCertificates(BSTR text, LONG* code);

}  // namespace tarvenholm
