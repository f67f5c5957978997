// The control's automation interface as a C++ function table, and the
// dispatch identifiers its type library gives to members and events.
//
// ITarvenholmX is dual: these pure virtual functions are its slots after the
// seven of IUnknown and IDispatch, in the type library's member order, so a
// client bound to the function table and a script caller reach the same
// code. The identifiers below are the ones the type library model
// (typelibrary.h) is built from; the object uses them to name a property to
// its notification sinks and an event to its event sinks.
#pragma once

#include "control/identifiers.h"
#include "platform/oaidl.h"
#include "platform/ocidl.h"

namespace tarvenholm {

enum TxActiveFormBorderStyle : LONG { afbNone = 0, afbSingle = 1, afbSunken = 2, afbRaised = 3 };
enum TxPrintScale : LONG { poNone = 0, poProportional = 1, poPrintToFit = 2 };
enum TxMouseButton : LONG { mbLeft = 0, mbRight = 1, mbMiddle = 2 };

namespace dispid {
// Standard properties of the form.
constexpr DISPID Visible = 1;
constexpr DISPID AutoScroll = 2;
constexpr DISPID AutoSize = 3;
constexpr DISPID AxBorderStyle = 4;
constexpr DISPID BorderWidth = 5;
constexpr DISPID Caption = DISPID_CAPTION;
constexpr DISPID Color = DISPID_BACKCOLOR;
constexpr DISPID Font = DISPID_FONT;
constexpr DISPID KeyPreview = 6;
constexpr DISPID PixelsPerInch = 7;
constexpr DISPID PrintScale = 8;
constexpr DISPID Scaled = 9;
constexpr DISPID Active = 10;
constexpr DISPID DropTarget = 11;
constexpr DISPID HelpFile = 12;
constexpr DISPID DoubleBuffered = 13;
constexpr DISPID VisibleDockClientCount = 14;
constexpr DISPID Enabled = DISPID_ENABLED;
constexpr DISPID Cursor = 15;
// The control's own members.
constexpr DISPID getCSPList = 16;
constexpr DISPID kSize = 17;
constexpr DISPID provName = 18;
constexpr DISPID genReq = 19;
constexpr DISPID msgLng = 20;
constexpr DISPID setCert = 21;
// Events of ITarvenholmEvents.
constexpr DISPID OnActivate = 1;
constexpr DISPID OnClick = 2;
constexpr DISPID OnCreate = 3;
constexpr DISPID OnDblClick = 5;
constexpr DISPID OnDestroy = 6;
constexpr DISPID OnDeactivate = 7;
constexpr DISPID OnKeyPress = 11;
constexpr DISPID OnPaint = 16;
}  // namespace dispid

struct ITarvenholmX : IDispatch {
  virtual HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AutoScroll(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AutoScroll(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AutoSize(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AutoSize(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AxBorderStyle(TxActiveFormBorderStyle* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_AxBorderStyle(TxActiveFormBorderStyle Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_BorderWidth(LONG* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_BorderWidth(LONG Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Caption(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Caption(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Color(OLE_COLOR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Color(OLE_COLOR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Font(IFontDisp** Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Font(IFontDisp* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE putref_Font(IFontDisp* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_KeyPreview(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_KeyPreview(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PixelsPerInch(LONG* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_PixelsPerInch(LONG Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PrintScale(TxPrintScale* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_PrintScale(TxPrintScale Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Scaled(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Scaled(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Active(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DropTarget(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DropTarget(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_HelpFile(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_HelpFile(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_DoubleBuffered(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_DoubleBuffered(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_VisibleDockClientCount(LONG* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Cursor(SHORT* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Cursor(SHORT Value) = 0;

  virtual HRESULT STDMETHODCALLTYPE getCSPList(BSTR* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_kSize(LONG* Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_kSize(LONG Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE genReq(BSTR names, BSTR* req) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_provName(BSTR Value) = 0;
  virtual HRESULT STDMETHODCALLTYPE setCert(BSTR Param1, LONG* Param2) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_msgLng(LONG Value) = 0;
};

}  // namespace tarvenholm

PLATFORM_INTERFACE_ID(tarvenholm::ITarvenholmX, tarvenholm::IID_ITarvenholmX)
