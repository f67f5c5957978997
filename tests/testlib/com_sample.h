// A small automation library for the runtime's tests: a dual interface
// IShape, its event interface, an enumeration and a class, described by a
// library model, and a C++ object that implements it through a binding.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "platform/comptr.h"
#include "platform/connection.h"
#include "platform/dispatch.h"
#include "platform/typelib.h"

namespace testing_support {

constexpr GUID LIBID_ShapeLib{0x5B1A7C10, 0x1111, 0x4A2B, {0x9C, 0x01, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60}};
constexpr IID IID_IShape{0x5B1A7C11, 0x1111, 0x4A2B, {0x9C, 0x01, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60}};
constexpr IID DIID_IShapeEvents{0x5B1A7C12, 0x1111, 0x4A2B, {0x9C, 0x01, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60}};
constexpr CLSID CLSID_Shape{0x5B1A7C13, 0x1111, 0x4A2B, {0x9C, 0x01, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60}};

enum ShapeKind : LONG { skSquare = 0, skCircle = 1 };

// The function table of IShape, in the model's slot order.
struct IShape : IDispatch {
  virtual HRESULT get_Width(LONG* Value) = 0;                              // 1, propget
  virtual HRESULT put_Width(LONG Value) = 0;                               // 1, propput
  virtual HRESULT put_Label(BSTR Value) = 0;                               // 2, put only
  virtual HRESULT Describe(BSTR prefix, LONG count, BSTR* text) = 0;       // 3
  virtual HRESULT Bump(SHORT* Key) = 0;                                    // 4, [in, out]
  virtual HRESULT Fail(BSTR message) = 0;                                  // 5
  virtual HRESULT get_Visible(VARIANT_BOOL* Value) = 0;                    // 6, hidden
  virtual HRESULT put_Visible(VARIANT_BOOL Value) = 0;                     // 6
  virtual HRESULT get_Color(OLE_COLOR* Value) = 0;                         // -501
  virtual HRESULT put_Color(OLE_COLOR Value) = 0;                          // -501
  virtual HRESULT get_Kind(ShapeKind* Value) = 0;                          // 7
  virtual HRESULT put_Kind(ShapeKind Value) = 0;                           // 7
  virtual HRESULT get_Peer(IDispatch** Value) = 0;                         // 8
  virtual HRESULT putref_Peer(IDispatch* Value) = 0;                       // 8
  virtual HRESULT Reset() = 0;                                             // 9, S_FALSE when nothing to reset
};

// The library: IShape (dual), IShapeEvents (OnClick 1, OnKeyPress 11 with
// [in, out] short* Key), ShapeKind, and the class Shape.
std::shared_ptr<const platform::LibraryModel> shapeLibraryModel();
platform::ComPtr<ITypeLib> shapeTypeLib();

// A Shape object: IShape through a binding, ISupportErrorInfo, connection
// points for IShapeEvents (at most 5 sinks) and IPropertyNotifySink.
class Shape final : public IShape, public ISupportErrorInfo {
 public:
  static platform::ComPtr<Shape> create();

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override;

  HRESULT GetTypeInfoCount(UINT* pctinfo) override { return binding().getTypeInfoCount(pctinfo); }
  HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override {
    return binding().getTypeInfo(iTInfo, lcid, ppTInfo);
  }
  HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) override {
    return binding().getIDsOfNames(riid, rgszNames, cNames, lcid, rgDispId);
  }
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override {
    return binding().invoke(this, dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo, puArgErr);
  }

  HRESULT get_Width(LONG* Value) override;
  HRESULT put_Width(LONG Value) override;
  HRESULT put_Label(BSTR Value) override;
  HRESULT Describe(BSTR prefix, LONG count, BSTR* text) override;
  HRESULT Bump(SHORT* Key) override;
  HRESULT Fail(BSTR message) override;
  HRESULT get_Visible(VARIANT_BOOL* Value) override;
  HRESULT put_Visible(VARIANT_BOOL Value) override;
  HRESULT get_Color(OLE_COLOR* Value) override;
  HRESULT put_Color(OLE_COLOR Value) override;
  HRESULT get_Kind(ShapeKind* Value) override;
  HRESULT put_Kind(ShapeKind Value) override;
  HRESULT get_Peer(IDispatch** Value) override;
  HRESULT putref_Peer(IDispatch* Value) override;
  HRESULT Reset() override;

  HRESULT InterfaceSupportsErrorInfo(REFIID riid) override { return riid == IID_IShape ? S_OK : S_FALSE; }

  static const platform::DispatchBinding<IShape>& binding();

  // State the tests look at.
  LONG width = 10;
  std::u16string label;
  VARIANT_BOOL visible = VARIANT_TRUE;
  OLE_COLOR color = 0x8000000F;
  ShapeKind kind = skSquare;
  platform::ComPtr<IDispatch> peer;
  platform::ConnectionPointContainer points{static_cast<IShape*>(this)};
  platform::ConnectionPoint& events = points.add(DIID_IShapeEvents, 5);
  platform::ConnectionPoint& notify = points.add(IID_IPropertyNotifySink);

  static std::atomic<int> live;

 private:
  Shape() { ++live; }
  ~Shape() { --live; }
  std::atomic<ULONG> references_{1};
};

}  // namespace testing_support
PLATFORM_INTERFACE_ID(testing_support::IShape, testing_support::IID_IShape)
