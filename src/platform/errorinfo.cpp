#include <atomic>
#include <new>
#include <string>

#include "platform/comptr.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/oleauto.h"

namespace {

using platform::ComPtr;

// An error object: filled through ICreateErrorInfo, read through IErrorInfo.
class ErrorObject final : public IErrorInfo, public ICreateErrorInfo {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo) {
      *ppvObject = static_cast<IErrorInfo*>(this);
    } else if (riid == IID_ICreateErrorInfo) {
      *ppvObject = static_cast<ICreateErrorInfo*>(this);
    } else {
      *ppvObject = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetGUID(GUID* pGUID) override {
    if (pGUID == nullptr) return E_INVALIDARG;
    *pGUID = interfaceId_;
    return S_OK;
  }
  HRESULT GetSource(BSTR* pBstrSource) override { return copyOut(source_, pBstrSource); }
  HRESULT GetDescription(BSTR* pBstrDescription) override { return copyOut(description_, pBstrDescription); }
  HRESULT GetHelpFile(BSTR* pBstrHelpFile) override { return copyOut(helpFile_, pBstrHelpFile); }
  HRESULT GetHelpContext(DWORD* pdwHelpContext) override {
    if (pdwHelpContext == nullptr) return E_INVALIDARG;
    *pdwHelpContext = helpContext_;
    return S_OK;
  }

  HRESULT SetGUID(REFGUID rguid) override {
    interfaceId_ = rguid;
    return S_OK;
  }
  HRESULT SetSource(LPOLESTR szSource) override { return copyIn(szSource, source_); }
  HRESULT SetDescription(LPOLESTR szDescription) override { return copyIn(szDescription, description_); }
  HRESULT SetHelpFile(LPOLESTR szHelpFile) override { return copyIn(szHelpFile, helpFile_); }
  HRESULT SetHelpContext(DWORD dwHelpContext) override {
    helpContext_ = dwHelpContext;
    return S_OK;
  }

 private:
  static HRESULT copyIn(LPCOLESTR text, std::u16string& field) {
    field = text == nullptr ? std::u16string() : std::u16string(text);
    return S_OK;
  }
  static HRESULT copyOut(const std::u16string& field, BSTR* out) {
    if (out == nullptr) return E_INVALIDARG;
    *out = SysAllocStringLen(field.data(), static_cast<UINT>(field.size()));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }

  std::atomic<ULONG> references_{1};
  GUID interfaceId_ = GUID_NULL;
  std::u16string source_;
  std::u16string description_;
  std::u16string helpFile_;
  DWORD helpContext_ = 0;
};

thread_local ComPtr<IErrorInfo> currentError;

}  // namespace

HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  *pperrinfo = nullptr;
  if (FAULT("CreateErrorInfo", ERROR_OUTOFMEMORY)) return E_OUTOFMEMORY;
  auto* object = new (std::nothrow) ErrorObject;
  if (object == nullptr) return E_OUTOFMEMORY;
  *pperrinfo = object;
  return S_OK;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* perrinfo) {
  currentError = ComPtr<IErrorInfo>(perrinfo);
  return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** pperrinfo) {
  if (pperrinfo == nullptr) return E_INVALIDARG;
  *pperrinfo = currentError.detach();
  return *pperrinfo == nullptr ? S_FALSE : S_OK;
}
