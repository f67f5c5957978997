#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/connection.h"
#include "testlib/com_sample.h"

namespace {

using platform::ComPtr;
using testing_support::DIID_IShapeEvents;
using testing_support::IShape;
using testing_support::Shape;

// Reference counting for the sinks below.
template <class Interface>
class Counted : public Interface {
 public:
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  ULONG references() const { return references_; }

 protected:
  virtual ~Counted() = default;

 private:
  std::atomic<ULONG> references_{1};
};

// An event sink bound to the event interface of the model, as a host's would be.
class EventSink final : public Counted<IDispatch> {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID_IShapeEvents) {
      *ppvObject = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT GetTypeInfoCount(UINT* count) override { return binding().getTypeInfoCount(count); }
  HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override { return binding().getTypeInfo(index, lcid, info); }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override {
    return binding().getIDsOfNames(riid, names, count, lcid, ids);
  }
  HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* exception, UINT* argErr) override {
    return binding().invoke(this, id, riid, lcid, flags, params, result, exception, argErr);
  }

  HRESULT OnClick() {
    ++clicks;
    return S_OK;
  }
  HRESULT OnKeyPress(SHORT* Key) {
    keysSeen.push_back(*Key);
    *Key = static_cast<SHORT>(*Key * 2);
    return S_OK;
  }

  static const platform::DispatchBinding<EventSink>& binding() {
    static const platform::DispatchBinding<EventSink> binding = [] {
      ComPtr<ITypeInfo> info;
      testing_support::shapeTypeLib()->GetTypeInfoOfGuid(DIID_IShapeEvents, info.put());
      return platform::DispatchBinding<EventSink>(info.get(), &EventSink::OnClick, &EventSink::OnKeyPress);
    }();
    return binding;
  }

  int clicks = 0;
  std::vector<SHORT> keysSeen;
};

// Answers only IUnknown: not a sink of anything.
class Stranger final : public Counted<IUnknown> {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    if (riid == IID_IUnknown) {
      *ppvObject = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
};

class NotifySink final : public Counted<IPropertyNotifySink> {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppvObject) override {
    if (riid == IID_IUnknown || riid == IID_IPropertyNotifySink) {
      *ppvObject = static_cast<IPropertyNotifySink*>(this);
      AddRef();
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT OnChanged(DISPID id) override {
    changed.push_back(id);
    return S_OK;
  }
  HRESULT OnRequestEdit(DISPID id) override {
    asked.push_back(id);
    return answer;
  }
  HRESULT answer = S_OK;
  std::vector<DISPID> asked;
  std::vector<DISPID> changed;
};

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(Shape::binding().status(), S_OK);
    ComPtr<IConnectionPointContainer> container = ComPtr<IShape>(shape_.get()).as<IConnectionPointContainer>();
    ASSERT_TRUE(container);
    ASSERT_EQ(container->FindConnectionPoint(DIID_IShapeEvents, events_.put()), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, notify_.put()), S_OK);
  }
  void TearDown() override {
    events_.reset();
    notify_.reset();
    shape_.reset();
    EXPECT_EQ(Shape::live.load(), 0);
  }

  ComPtr<Shape> shape_ = Shape::create();
  ComPtr<IConnectionPoint> events_;
  ComPtr<IConnectionPoint> notify_;
};

TEST_F(ConnectionTest, EventPointTakesFiveSinksAndRefusesTheSixth) {
  std::vector<ComPtr<EventSink>> sinks;
  std::vector<DWORD> cookies;
  for (int i = 0; i < 5; ++i) {
    sinks.push_back(ComPtr<EventSink>::adopt(new EventSink));
    DWORD cookie = 0;
    ASSERT_EQ(events_->Advise(sinks.back().get(), &cookie), S_OK);
    EXPECT_NE(cookie, 0u);
    for (DWORD earlier : cookies) EXPECT_NE(cookie, earlier);
    cookies.push_back(cookie);
  }
  auto sixth = ComPtr<EventSink>::adopt(new EventSink);
  DWORD cookie = 123;
  EXPECT_EQ(events_->Advise(sixth.get(), &cookie), CONNECT_E_ADVISELIMIT);
  EXPECT_EQ(cookie, 0u);
  EXPECT_EQ(sixth->references(), 1u) << "a refused sink keeps no reference";

  // Room again after one leaves; cookies are not reused.
  ASSERT_EQ(events_->Unadvise(cookies[2]), S_OK);
  EXPECT_EQ(events_->Unadvise(cookies[2]), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(events_->Unadvise(0), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(events_->Advise(sixth.get(), &cookie), S_OK);
  for (DWORD earlier : cookies) EXPECT_NE(cookie, earlier);
  EXPECT_EQ(sinks[2]->references(), 1u) << "Unadvise released the sink";
}

TEST_F(ConnectionTest, SinksThatDoNotServeTheInterfaceAreRefused) {
  auto stranger = ComPtr<Stranger>::adopt(new Stranger);
  DWORD cookie = 5;
  EXPECT_EQ(events_->Advise(stranger.get(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(notify_->Advise(stranger.get(), &cookie), CONNECT_E_CANNOTCONNECT);
  auto eventSink = ComPtr<EventSink>::adopt(new EventSink);
  EXPECT_EQ(notify_->Advise(eventSink.get(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(events_->Advise(nullptr, &cookie), E_POINTER);
  EXPECT_EQ(events_->Advise(eventSink.get(), nullptr), E_POINTER);
  EXPECT_EQ(stranger->references(), 1u);
}

TEST_F(ConnectionTest, PropertyNotificationPointHasNoLimit) {
  std::vector<ComPtr<NotifySink>> sinks;
  for (int i = 0; i < 40; ++i) {
    sinks.push_back(ComPtr<NotifySink>::adopt(new NotifySink));
    DWORD cookie = 0;
    ASSERT_EQ(notify_->Advise(sinks.back().get(), &cookie), S_OK);
  }
}

TEST_F(ConnectionTest, EventsReachEverySinkInTurn) {
  auto first = ComPtr<EventSink>::adopt(new EventSink);
  auto second = ComPtr<EventSink>::adopt(new EventSink);
  DWORD cookie = 0;
  ASSERT_EQ(events_->Advise(first.get(), &cookie), S_OK);
  ASSERT_EQ(events_->Advise(second.get(), &cookie), S_OK);

  shape_->events.fireEvent(1, nullptr, 0);
  EXPECT_EQ(first->clicks, 1);
  EXPECT_EQ(second->clicks, 1);

  // Bump fires OnKeyPress with the key by reference: each sink sees what the
  // one before it left, and the member then adds one.
  SHORT key = 3;
  ASSERT_EQ(shape_->Bump(&key), S_OK);
  EXPECT_EQ(first->keysSeen, std::vector<SHORT>{3});
  EXPECT_EQ(second->keysSeen, std::vector<SHORT>{6});
  EXPECT_EQ(key, 13);
}

TEST_F(ConnectionTest, PropertyChangesAskFirstAndReportAfter) {
  auto sink = ComPtr<NotifySink>::adopt(new NotifySink);
  DWORD cookie = 0;
  ASSERT_EQ(notify_->Advise(sink.get(), &cookie), S_OK);
  ASSERT_EQ(shape_->put_Width(30), S_OK);
  EXPECT_EQ(shape_->width, 30);
  EXPECT_EQ(sink->asked, std::vector<DISPID>{1});
  EXPECT_EQ(sink->changed, std::vector<DISPID>{1});

  sink->answer = S_FALSE;
  EXPECT_EQ(shape_->put_Width(40), S_FALSE);
  EXPECT_EQ(shape_->width, 30);
  EXPECT_EQ(sink->changed.size(), 1u) << "no change reported for a refused edit";
}

TEST_F(ConnectionTest, EnumeratorsAreSnapshotsHoldingReferences) {
  auto first = ComPtr<EventSink>::adopt(new EventSink);
  auto second = ComPtr<EventSink>::adopt(new EventSink);
  DWORD cookies[2] = {};
  ASSERT_EQ(events_->Advise(first.get(), &cookies[0]), S_OK);
  ASSERT_EQ(events_->Advise(second.get(), &cookies[1]), S_OK);

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(events_->EnumConnections(connections.put()), S_OK);
  ASSERT_EQ(events_->Unadvise(cookies[0]), S_OK);
  CONNECTDATA data[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(data[0].dwCookie, cookies[0]);
  EXPECT_EQ(data[1].dwCookie, cookies[1]);
  EXPECT_EQ(data[0].pUnk, static_cast<IUnknown*>(first.get()));
  for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();

  ComPtr<IEnumConnections> clone;
  ASSERT_EQ(connections->Reset(), S_OK);
  ASSERT_EQ(connections->Skip(1), S_OK);
  ASSERT_EQ(connections->Clone(clone.put()), S_OK);
  ASSERT_EQ(clone->Next(1, data, nullptr), S_OK);
  EXPECT_EQ(data[0].dwCookie, cookies[1]);
  data[0].pUnk->Release();

  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(events_->GetConnectionPointContainer(container.put()), S_OK);
  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(points.put()), S_OK);
  IConnectionPoint* found[2] = {};
  ASSERT_EQ(points->Next(2, found, &fetched), S_OK);
  IID iid{};
  found[1]->GetConnectionInterface(&iid);
  EXPECT_EQ(iid, IID_IPropertyNotifySink);
  for (IConnectionPoint* point : found) point->Release();
  ComPtr<IConnectionPoint> none;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, none.put()), CONNECT_E_NOCONNECTION);
}

TEST_F(ConnectionTest, APointKeepsItsObjectAlive) {
  ComPtr<IConnectionPoint> point = events_;
  events_.reset();
  notify_.reset();
  shape_.reset();
  EXPECT_EQ(Shape::live.load(), 1);
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(point->GetConnectionPointContainer(container.put()), S_OK);
  EXPECT_TRUE(container.as<IShape>());
  container.reset();
  point.reset();
  EXPECT_EQ(Shape::live.load(), 0);
}

}  // namespace
