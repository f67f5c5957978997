// Connection points for objects that raise events or property notifications.
//
// An object that offers connection points holds one ConnectionPointContainer
// as a member and answers QueryInterface(IID_IConnectionPointContainer) with
// it. The container and its points are part of the object: their AddRef and
// Release go to the object's controlling unknown (the outer object when it
// is aggregated), so a host holding a point keeps the object alive. The
// container answers QueryInterface through the object; a point is an object
// of its own (IUnknown, IConnectionPoint).
//
//   ConnectionPointContainer points_{controllingUnknown};
//   ConnectionPoint& events_ = points_.add(DIID_ShapeEvents, 5);
//   ConnectionPoint& notify_ = points_.add(IID_IPropertyNotifySink);
//   events_.fireEvent(DISPID_CLICK, nullptr, 0);
//   if (notify_.requestEdit(DISPID_CAPTION) == S_OK) { change; notify_.notifyChanged(DISPID_CAPTION); }
#pragma once

#include <memory>
#include <vector>

#include "platform/comptr.h"
#include "platform/ocidl.h"

namespace platform {

class ConnectionPoint final : public IConnectionPoint {
 public:
  static constexpr ULONG unlimited = ~ULONG{0};

  // Sinks must answer QueryInterface for `iid`; at most `limit` at a time.
  ConnectionPoint(IConnectionPointContainer* container, REFIID iid, ULONG limit = unlimited);
  ConnectionPoint(const ConnectionPoint&) = delete;
  ConnectionPoint& operator=(const ConnectionPoint&) = delete;

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override { return container_->AddRef(); }
  ULONG Release() override { return container_->Release(); }

  HRESULT GetConnectionInterface(IID* pIID) override;
  HRESULT GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
  // E_POINTER for a missing sink or cookie place; CONNECT_E_CANNOTCONNECT
  // when the sink does not answer for the interface; CONNECT_E_ADVISELIMIT
  // when the point is full. Cookies start at 1 and are not reused.
  HRESULT Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
  // CONNECT_E_NOCONNECTION for a cookie that is not connected.
  HRESULT Unadvise(DWORD dwCookie) override;
  // A snapshot of the connections in the order they were made.
  HRESULT EnumConnections(IEnumConnections** ppEnum) override;

  REFIID iid() const { return iid_; }
  std::size_t connectionCount() const { return connections_.size(); }
  // The sinks (each the pointer obtained for iid()) at this moment, so that
  // a sink may disconnect while it is being called.
  std::vector<ComPtr<IUnknown>> sinks() const;

  // Calls IDispatch::Invoke(id, DISPATCH_METHOD) on every sink in turn, with
  // `args` given first parameter first (by-reference arguments are seen, and
  // may be changed, by each sink in turn). Sinks' results are ignored.
  void fireEvent(DISPID id, VARIANT* args, UINT count) const;
  // IPropertyNotifySink: asks every sink; the first answer other than S_OK
  // (S_FALSE: refused) is returned, else S_OK.
  HRESULT requestEdit(DISPID id) const;
  void notifyChanged(DISPID id) const;

 private:
  struct Connection {
    DWORD cookie;
    ComPtr<IUnknown> sink;
  };

  IConnectionPointContainer* container_;
  IID iid_;
  ULONG limit_;
  DWORD nextCookie_ = 1;
  std::vector<Connection> connections_;
};

class ConnectionPointContainer final : public IConnectionPointContainer {
 public:
  // `owner` is the object's controlling unknown.
  explicit ConnectionPointContainer(IUnknown* owner) : owner_(owner) {}
  ConnectionPointContainer(const ConnectionPointContainer&) = delete;
  ConnectionPointContainer& operator=(const ConnectionPointContainer&) = delete;

  // Adds a point; it lives as long as the container.
  ConnectionPoint& add(REFIID iid, ULONG limit = ConnectionPoint::unlimited);
  ConnectionPoint* find(REFIID iid) const;

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override { return owner_->QueryInterface(riid, ppvObject); }
  ULONG AddRef() override { return owner_->AddRef(); }
  ULONG Release() override { return owner_->Release(); }

  HRESULT EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
  // CONNECT_E_NOCONNECTION when no point serves `riid`.
  HRESULT FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

 private:
  IUnknown* owner_;
  std::vector<std::unique_ptr<ConnectionPoint>> points_;
};

}  // namespace platform
