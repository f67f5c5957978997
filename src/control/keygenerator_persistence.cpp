// Persistence of the form's properties through IPersistStreamInit and
// IPersistStorage (a storage holds them in its stream "Contents"), and the
// control's answers about being safe for scripting.
#include "control/automation_error.h"
#include "control/form_stream.h"
#include "control/keygenerator.h"

namespace tarvenholm {
namespace {

constexpr char16_t kContentsStream[] = u"Contents";

}  // namespace

HRESULT TkeyGeneratorImpl::GetClassID(CLSID* pClassID) {
  if (pClassID == nullptr) return E_POINTER;
  *pClassID = CLSID_keyGenerator;
  return S_OK;
}

HRESULT TkeyGeneratorImpl::IsDirty() { return dirty_ ? S_OK : S_FALSE; }

HRESULT TkeyGeneratorImpl::loadImage(IStream* stream) {
  return guarded([&] {
    FormImage image;
    HRESULT result = readFormImage(stream, image);
    if (SUCCEEDED(result)) result = form_.restore(image);
    if (SUCCEEDED(result)) dirty_ = false;
    return result;
  });
}

HRESULT TkeyGeneratorImpl::saveImage(IStream* stream, BOOL clearDirty) {
  return guarded([&] {
    if (stream == nullptr) return E_POINTER;
    FormImage image;
    const HRESULT captured = form_.capture(image);
    if (FAILED(captured)) return captured;
    const std::vector<BYTE> bytes = encodeFormImage(image);
    ULONG written = 0;
    const HRESULT result = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    if (FAILED(result)) return result;
    if (written != bytes.size()) return STG_E_MEDIUMFULL;
    if (clearDirty) dirty_ = false;
    return S_OK;
  });
}

HRESULT TkeyGeneratorImpl::Load(IStream* pStm) { return loadImage(pStm); }

HRESULT TkeyGeneratorImpl::Save(IStream* pStm, BOOL fClearDirty) { return saveImage(pStm, fClearDirty); }

HRESULT TkeyGeneratorImpl::GetSizeMax(ULARGE_INTEGER* pCbSize) {
  return guarded([&] {
    if (pCbSize == nullptr) return E_POINTER;
    FormImage image;
    const HRESULT captured = form_.capture(image);
    if (FAILED(captured)) return captured;
    pCbSize->QuadPart = encodeFormImage(image).size();
    return S_OK;
  });
}

HRESULT TkeyGeneratorImpl::InitNew() {
  const HRESULT result = form_.reset();
  if (SUCCEEDED(result)) dirty_ = false;
  return result;
}

HRESULT TkeyGeneratorImpl::InitNew(IStorage* pStg) {
  if (pStg == nullptr) return E_POINTER;
  return InitNew();
}

HRESULT TkeyGeneratorImpl::Load(IStorage* pStg) {
  if (pStg == nullptr) return E_POINTER;
  platform::ComPtr<IStream> contents;
  const HRESULT opened = pStg->OpenStream(kContentsStream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, contents.put());
  if (FAILED(opened)) return opened;
  return loadImage(contents.get());
}

HRESULT TkeyGeneratorImpl::Save(IStorage* pStgSave, BOOL fSameAsLoad) {
  if (pStgSave == nullptr) return E_POINTER;
  platform::ComPtr<IStream> contents;
  const HRESULT created = pStgSave->CreateStream(kContentsStream, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                                 0, 0, contents.put());
  if (FAILED(created)) return created;
  return saveImage(contents.get(), fSameAsLoad);
}

// The control keeps no storage between calls, so there is nothing to hand
// off or to take up again.
HRESULT TkeyGeneratorImpl::SaveCompleted(IStorage*) { return S_OK; }
HRESULT TkeyGeneratorImpl::HandsOffStorage() { return S_OK; }

// ---- IObjectSafety ----
//
// Driving the control from a script is safe (IDispatch, bit 1), and so is
// initialising it from data (the persistence interfaces, bit 2). The
// options set so far belong to this instance: a call adds the bits present
// in both its mask and its enabled set and never removes any, even when it
// then answers E_FAIL because the interface asked about does not hold the
// bit it is safe for.

namespace {

bool safeForCalls(REFIID iid) { return iid == IID_IDispatch; }
bool safeForData(REFIID iid) { return iid == IID_IPersistStreamInit || iid == IID_IPersistStorage; }

}  // namespace

HRESULT TkeyGeneratorImpl::GetInterfaceSafetyOptions(REFIID riid, DWORD* pdwSupportedOptions,
                                                     DWORD* pdwEnabledOptions) {
  if (pdwSupportedOptions == nullptr || pdwEnabledOptions == nullptr) return E_FAIL;
  platform::ComPtr<IUnknown> served;
  if (FAILED(controllingUnknown()->QueryInterface(riid, served.putVoid()))) return E_NOINTERFACE;
  DWORD supported = 0;
  if (safeForCalls(riid)) supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER;
  if (safeForData(riid)) supported = INTERFACESAFE_FOR_UNTRUSTED_DATA;
  *pdwSupportedOptions = supported;
  *pdwEnabledOptions = safetyOptions_ & supported;
  return supported != 0 ? S_OK : E_FAIL;
}

HRESULT TkeyGeneratorImpl::SetInterfaceSafetyOptions(REFIID riid, DWORD dwOptionSetMask, DWORD dwEnabledOptions) {
  if (dwOptionSetMask == 0 && dwEnabledOptions == 0) return E_FAIL;
  platform::ComPtr<IUnknown> served;
  if (FAILED(controllingUnknown()->QueryInterface(riid, served.putVoid()))) return E_NOINTERFACE;
  safetyOptions_ |= dwOptionSetMask & dwEnabledOptions;
  if (safeForCalls(riid) && (safetyOptions_ & INTERFACESAFE_FOR_UNTRUSTED_CALLER) != 0) return S_OK;
  if (safeForData(riid) && (safetyOptions_ & INTERFACESAFE_FOR_UNTRUSTED_DATA) != 0) return S_OK;
  return E_FAIL;
}

}  // namespace tarvenholm
