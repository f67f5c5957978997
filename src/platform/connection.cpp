#include "platform/connection.h"
#include "platform/refcounted.h"

#include <algorithm>
#include <new>

namespace platform {
namespace {

// An enumerator over a snapshot shared with its clones.
template <class Interface, class Element, class Stored>
class SnapshotEnumerator final : public RefCounted<Interface> {
 public:
  using Copy = Element (*)(const Stored&);

  SnapshotEnumerator(std::shared_ptr<const std::vector<Stored>> items, Copy copy, std::size_t position = 0)
      : items_(std::move(items)), copy_(copy), position_(position) {}


  HRESULT Next(ULONG count, Element* out, ULONG* fetched) override {
    if (out == nullptr || (count > 1 && fetched == nullptr)) return E_POINTER;
    ULONG given = 0;
    for (; given < count && position_ < items_->size(); ++given) out[given] = copy_((*items_)[position_++]);
    if (fetched != nullptr) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    const std::size_t left = items_->size() - position_;
    position_ += std::min<std::size_t>(count, left);
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT Reset() override {
    position_ = 0;
    return S_OK;
  }
  HRESULT Clone(Interface** ppEnum) override {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = new (std::nothrow) SnapshotEnumerator(items_, copy_, position_);
    return *ppEnum == nullptr ? E_OUTOFMEMORY : S_OK;
  }

 private:
  std::shared_ptr<const std::vector<Stored>> items_;
  Copy copy_;
  std::size_t position_;
};

struct StoredConnection {
  ComPtr<IUnknown> sink;
  DWORD cookie;
};

CONNECTDATA copyConnection(const StoredConnection& stored) {
  stored.sink->AddRef();
  return CONNECTDATA{stored.sink.get(), stored.cookie};
}

IConnectionPoint* copyPoint(const ComPtr<IConnectionPoint>& stored) {
  stored->AddRef();
  return stored.get();
}

using ConnectionEnumerator = SnapshotEnumerator<IEnumConnections, CONNECTDATA, StoredConnection>;
using PointEnumerator = SnapshotEnumerator<IEnumConnectionPoints, IConnectionPoint*, ComPtr<IConnectionPoint>>;

}  // namespace

ConnectionPoint::ConnectionPoint(IConnectionPointContainer* container, REFIID iid, ULONG limit)
    : container_(container), iid_(iid), limit_(limit) {}

HRESULT ConnectionPoint::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
    *ppvObject = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

HRESULT ConnectionPoint::GetConnectionInterface(IID* pIID) {
  if (pIID == nullptr) return E_POINTER;
  *pIID = iid_;
  return S_OK;
}

HRESULT ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
  if (ppCPC == nullptr) return E_POINTER;
  *ppCPC = container_;
  container_->AddRef();
  return S_OK;
}

HRESULT ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
  if (pdwCookie != nullptr) *pdwCookie = 0;
  if (pUnkSink == nullptr || pdwCookie == nullptr) return E_POINTER;
  ComPtr<IUnknown> sink;
  if (FAILED(pUnkSink->QueryInterface(iid_, sink.putVoid())) || !sink) return CONNECT_E_CANNOTCONNECT;
  if (connections_.size() >= limit_) return CONNECT_E_ADVISELIMIT;
  const DWORD cookie = nextCookie_++;
  if (nextCookie_ == 0) nextCookie_ = 1;
  connections_.push_back(Connection{cookie, std::move(sink)});
  *pdwCookie = cookie;
  return S_OK;
}

HRESULT ConnectionPoint::Unadvise(DWORD dwCookie) {
  auto found = std::find_if(connections_.begin(), connections_.end(),
                            [dwCookie](const Connection& connection) { return connection.cookie == dwCookie; });
  if (dwCookie == 0 || found == connections_.end()) return CONNECT_E_NOCONNECTION;
  // The sink is released after it has left the list, so that a sink that
  // reacts to its release sees a consistent point.
  ComPtr<IUnknown> sink = std::move(found->sink);
  connections_.erase(found);
  return S_OK;
}

HRESULT ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  auto items = std::make_shared<std::vector<StoredConnection>>();
  for (const Connection& connection : connections_) items->push_back(StoredConnection{connection.sink, connection.cookie});
  *ppEnum = new (std::nothrow) ConnectionEnumerator(std::move(items), copyConnection);
  return *ppEnum == nullptr ? E_OUTOFMEMORY : S_OK;
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::sinks() const {
  std::vector<ComPtr<IUnknown>> result;
  for (const Connection& connection : connections_) result.push_back(connection.sink);
  return result;
}

void ConnectionPoint::fireEvent(DISPID id, VARIANT* args, UINT count) const {
  std::vector<VARIANT> reversed(args, args + count);
  std::reverse(reversed.begin(), reversed.end());
  for (const ComPtr<IUnknown>& sink : sinks()) {
    DISPPARAMS params{reversed.data(), nullptr, count, 0};
    static_cast<IDispatch*>(sink.get())
        ->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
  }
}

HRESULT ConnectionPoint::requestEdit(DISPID id) const {
  for (const ComPtr<IUnknown>& sink : sinks()) {
    const HRESULT answer = static_cast<IPropertyNotifySink*>(sink.get())->OnRequestEdit(id);
    if (answer != S_OK) return answer;
  }
  return S_OK;
}

void ConnectionPoint::notifyChanged(DISPID id) const {
  for (const ComPtr<IUnknown>& sink : sinks()) static_cast<IPropertyNotifySink*>(sink.get())->OnChanged(id);
}

ConnectionPoint& ConnectionPointContainer::add(REFIID iid, ULONG limit) {
  points_.push_back(std::make_unique<ConnectionPoint>(this, iid, limit));
  return *points_.back();
}

ConnectionPoint* ConnectionPointContainer::find(REFIID iid) const {
  for (const auto& point : points_)
    if (point->iid() == iid) return point.get();
  return nullptr;
}

HRESULT ConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum) {
  if (ppEnum == nullptr) return E_POINTER;
  auto items = std::make_shared<std::vector<ComPtr<IConnectionPoint>>>();
  for (const auto& point : points_) items->push_back(ComPtr<IConnectionPoint>(point.get()));
  *ppEnum = new (std::nothrow) PointEnumerator(std::move(items), copyPoint);
  return *ppEnum == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT ConnectionPointContainer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) {
  if (ppCP == nullptr) return E_POINTER;
  *ppCP = find(riid);
  if (*ppCP == nullptr) return CONNECT_E_NOCONNECTION;
  (*ppCP)->AddRef();
  return S_OK;
}

}  // namespace platform
