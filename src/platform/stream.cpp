#include <algorithm>
#include <exception>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/comptr.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/objidl.h"
#include "platform/refcounted.h"

namespace {

using Bytes = std::vector<BYTE>;
using platform::RefCounted;

// A stream over a buffer that clones (and a storage) may share; each
// stream object has its own position.
class MemoryStream final : public RefCounted<IStream, ISequentialStream> {
 public:
  MemoryStream(std::shared_ptr<Bytes> bytes, std::u16string name, ULONGLONG position = 0)
      : bytes_(std::move(bytes)), name_(std::move(name)), position_(position) {}


  HRESULT Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    if (pcbRead != nullptr) *pcbRead = 0;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    const ULONGLONG available = position_ < bytes_->size() ? bytes_->size() - position_ : 0;
    const ULONG count = static_cast<ULONG>(std::min<ULONGLONG>(cb, available));
    if (count > 0) std::memcpy(pv, bytes_->data() + position_, count);
    position_ += count;
    if (pcbRead != nullptr) *pcbRead = count;
    return S_OK;
  }

  HRESULT Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    if (pcbWritten != nullptr) *pcbWritten = 0;
    if (pv == nullptr) return STG_E_INVALIDPOINTER;
    if (FAULT("IStream::Write", ERROR_NOT_ENOUGH_MEMORY)) return STG_E_MEDIUMFULL;
    try {
      if (bytes_->size() < position_ + cb) bytes_->resize(position_ + cb);
    } catch (const std::exception&) {
      return STG_E_MEDIUMFULL;
    }
    if (cb > 0) std::memcpy(bytes_->data() + position_, pv, cb);
    position_ += cb;
    if (pcbWritten != nullptr) *pcbWritten = cb;
    return S_OK;
  }

  HRESULT Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
    LONGLONG base = 0;
    switch (dwOrigin) {
      case STREAM_SEEK_SET: base = 0; break;
      case STREAM_SEEK_CUR: base = static_cast<LONGLONG>(position_); break;
      case STREAM_SEEK_END: base = static_cast<LONGLONG>(bytes_->size()); break;
      default: return STG_E_INVALIDFUNCTION;
    }
    const LONGLONG target = base + dlibMove.QuadPart;
    if (target < 0) return STG_E_INVALIDFUNCTION;
    position_ = static_cast<ULONGLONG>(target);
    if (plibNewPosition != nullptr) plibNewPosition->QuadPart = position_;
    return S_OK;
  }

  HRESULT SetSize(ULARGE_INTEGER libNewSize) override {
    try {
      bytes_->resize(libNewSize.QuadPart);
    } catch (const std::exception&) {
      return STG_E_MEDIUMFULL;
    }
    return S_OK;
  }

  HRESULT CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) override {
    if (pstm == nullptr) return STG_E_INVALIDPOINTER;
    const ULONGLONG available = position_ < bytes_->size() ? bytes_->size() - position_ : 0;
    const ULONG count = static_cast<ULONG>(std::min<ULONGLONG>({cb.QuadPart, available, 0xFFFFFFFFu}));
    ULONG written = 0;
    const HRESULT result = pstm->Write(bytes_->data() + position_, count, &written);
    position_ += count;
    if (pcbRead != nullptr) pcbRead->QuadPart = count;
    if (pcbWritten != nullptr) pcbWritten->QuadPart = written;
    return result;
  }

  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

  HRESULT Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
    if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
    std::memset(pstatstg, 0, sizeof *pstatstg);
    pstatstg->type = STGTY_STREAM;
    pstatstg->cbSize.QuadPart = bytes_->size();
    pstatstg->grfMode = STGM_READWRITE;
    if ((grfStatFlag & STATFLAG_NONAME) == 0 && !name_.empty()) {
      pstatstg->pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc((name_.size() + 1) * sizeof(OLECHAR)));
      if (pstatstg->pwcsName == nullptr) return STG_E_INSUFFICIENTMEMORY;
      std::memcpy(pstatstg->pwcsName, name_.c_str(), (name_.size() + 1) * sizeof(OLECHAR));
    }
    return S_OK;
  }

  HRESULT Clone(IStream** ppstm) override {
    if (ppstm == nullptr) return STG_E_INVALIDPOINTER;
    *ppstm = new (std::nothrow) MemoryStream(bytes_, name_, position_);
    return *ppstm == nullptr ? E_OUTOFMEMORY : S_OK;
  }

 private:
  std::shared_ptr<Bytes> bytes_;
  std::u16string name_;
  ULONGLONG position_;
};

// Element names compare ignoring case, as on the original platform.
std::u16string folded(LPCOLESTR name) {
  std::u16string result(name);
  for (char16_t& c : result)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return result;
}

constexpr std::size_t maximumNameLength = 31;

bool validName(LPCOLESTR name) {
  if (name == nullptr) return false;
  const std::size_t length = std::char_traits<char16_t>::length(name);
  return length > 0 && length <= maximumNameLength;
}

class MemoryStorage final : public RefCounted<IStorage> {
 public:

  HRESULT CreateStream(LPCOLESTR pwcsName, DWORD grfMode, DWORD, DWORD, IStream** ppstm) override {
    if (ppstm == nullptr) return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    if (!validName(pwcsName)) return STG_E_INVALIDNAME;
    auto found = streams_.find(folded(pwcsName));
    if (found != streams_.end() && (grfMode & STGM_CREATE) == 0) return STG_E_FILEALREADYEXISTS;
    Element element{pwcsName, std::make_shared<Bytes>()};
    streams_[folded(pwcsName)] = element;
    return open(element, ppstm);
  }

  HRESULT OpenStream(LPCOLESTR pwcsName, void*, DWORD, DWORD, IStream** ppstm) override {
    if (ppstm == nullptr) return STG_E_INVALIDPOINTER;
    *ppstm = nullptr;
    if (!validName(pwcsName)) return STG_E_INVALIDNAME;
    auto found = streams_.find(folded(pwcsName));
    if (found == streams_.end()) return STG_E_FILENOTFOUND;
    return open(found->second, ppstm);
  }

  HRESULT CreateStorage(LPCOLESTR, DWORD, DWORD, DWORD, IStorage** ppstg) override {
    if (ppstg != nullptr) *ppstg = nullptr;
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT OpenStorage(LPCOLESTR, IStorage*, DWORD, SNB, DWORD, IStorage** ppstg) override {
    if (ppstg != nullptr) *ppstg = nullptr;
    return STG_E_INVALIDFUNCTION;
  }

  // Copies every stream, as the destination's own.
  HRESULT CopyTo(DWORD, const IID*, SNB, IStorage* pstgDest) override {
    if (pstgDest == nullptr) return STG_E_INVALIDPOINTER;
    for (const auto& entry : streams_) {
      platform::ComPtr<IStream> target;
      HRESULT result = pstgDest->CreateStream(entry.second.name.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                              0, 0, target.put());
      const Bytes& bytes = *entry.second.bytes;
      if (SUCCEEDED(result))
        result = target->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
      if (FAILED(result)) return result;
    }
    return pstgDest->SetClass(clsid_);
  }

  HRESULT MoveElementTo(LPCOLESTR, IStorage*, LPCOLESTR, DWORD) override { return STG_E_INVALIDFUNCTION; }
  HRESULT Commit(DWORD) override { return S_OK; }
  HRESULT Revert() override { return S_OK; }
  HRESULT EnumElements(DWORD, void*, DWORD, IEnumSTATSTG** ppenum) override {
    if (ppenum != nullptr) *ppenum = nullptr;
    return STG_E_INVALIDFUNCTION;
  }

  HRESULT DestroyElement(LPCOLESTR pwcsName) override {
    if (!validName(pwcsName)) return STG_E_INVALIDNAME;
    return streams_.erase(folded(pwcsName)) == 1 ? S_OK : STG_E_FILENOTFOUND;
  }

  HRESULT RenameElement(LPCOLESTR pwcsOldName, LPCOLESTR pwcsNewName) override {
    if (!validName(pwcsOldName) || !validName(pwcsNewName)) return STG_E_INVALIDNAME;
    auto found = streams_.find(folded(pwcsOldName));
    if (found == streams_.end()) return STG_E_FILENOTFOUND;
    if (streams_.count(folded(pwcsNewName)) != 0) return STG_E_FILEALREADYEXISTS;
    Element element{pwcsNewName, found->second.bytes};
    streams_.erase(found);
    streams_[folded(pwcsNewName)] = element;
    return S_OK;
  }

  HRESULT SetElementTimes(LPCOLESTR, const FILETIME*, const FILETIME*, const FILETIME*) override { return S_OK; }
  HRESULT SetClass(REFCLSID clsid) override {
    clsid_ = clsid;
    return S_OK;
  }
  HRESULT SetStateBits(DWORD grfStateBits, DWORD grfMask) override {
    stateBits_ = (stateBits_ & ~grfMask) | (grfStateBits & grfMask);
    return S_OK;
  }
  HRESULT Stat(STATSTG* pstatstg, DWORD) override {
    if (pstatstg == nullptr) return STG_E_INVALIDPOINTER;
    std::memset(pstatstg, 0, sizeof *pstatstg);
    pstatstg->type = STGTY_STORAGE;
    pstatstg->grfMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
    pstatstg->clsid = clsid_;
    pstatstg->grfStateBits = stateBits_;
    return S_OK;
  }

 private:
  struct Element {
    std::u16string name;
    std::shared_ptr<Bytes> bytes;
  };

  static HRESULT open(const Element& element, IStream** stream) {
    *stream = new (std::nothrow) MemoryStream(element.bytes, element.name);
    return *stream == nullptr ? STG_E_INSUFFICIENTMEMORY : S_OK;
  }

  std::map<std::u16string, Element> streams_;
  CLSID clsid_ = CLSID_NULL;
  DWORD stateBits_ = 0;
};

}  // namespace

HRESULT CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL, IStream** ppstm) {
  if (ppstm == nullptr) return E_INVALIDARG;
  *ppstm = nullptr;
  if (hGlobal != nullptr) return E_INVALIDARG;
  if (FAULT("CreateStreamOnHGlobal", ERROR_OUTOFMEMORY)) return E_OUTOFMEMORY;
  *ppstm = new (std::nothrow) MemoryStream(std::make_shared<Bytes>(), {});
  return *ppstm == nullptr ? E_OUTOFMEMORY : S_OK;
}

namespace platform {

HRESULT createMemoryStorage(IStorage** storage) {
  if (storage == nullptr) return E_INVALIDARG;
  *storage = new (std::nothrow) MemoryStorage;
  return *storage == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace platform
