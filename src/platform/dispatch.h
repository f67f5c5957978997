// Dispatch driven by the type library model.
//
// An object implements IDispatch by holding a DispatchBinding: the type
// information of its interface (from its library, platform/typelib.h) and
// one handler per member of that interface, given in the model's slot order.
// A handler is a pointer to the C++ member function that implements the
// member, e.g.
//
//   static const platform::DispatchBinding<IShape> binding(
//       shapeTypeInfo, &IShape::get_Width, &IShape::put_Width, &IShape::Scale);
//
// For a dual interface those are the pure virtual functions of the C++
// interface class, declared in the same order as the model's members, so the
// function table that clients bound to it see and the dispatch table are the
// same list. The binding keeps no names or DISPIDs of its own: everything a
// script caller sees (names, DISPIDs, kinds, parameter names, flags, types)
// comes from the model; the binding only maps slot i to handler i.
//
// At construction the binding checks that there is exactly one handler per
// member and that each handler's C++ parameter list matches the member's
// parameters (an [out] or [out, retval] parameter is a pointer); status()
// and problem() tell what is wrong. Parameter types map as follows:
//   VT_I2 / VT_BOOL  SHORT (VARIANT_BOOL)    VT_I4      LONG, or an enum
//   VT_UI4           ULONG (OLE_COLOR)       VT_CY      CY
//   VT_BSTR          BSTR                    VT_VARIANT VARIANT
//   VT_DISPATCH      IDispatch* or a pointer to an interface derived from it
//                    (found by QueryInterface, PLATFORM_INTERFACE_ID)
//   VT_UNKNOWN       IUnknown* or any other interface pointer
//
// Invoke follows the original platform's rules:
// - the member is found by DISPID and the invoke flags (a put-only property
//   read, or an unknown DISPID, gives DISP_E_MEMBERNOTFOUND);
// - arguments come last-first in rgvarg; named arguments (the first
//   cNamedArgs of rgvarg) carry parameter positions as DISPIDs; a put passes
//   its value named DISPID_PROPERTYPUT;
// - [in] arguments are coerced with VariantChangeType (a VT_I4 is taken bit
//   for bit as a VT_UI4, as OLE_COLOR values travel both ways); a failure
//   gives its code with the argument's index in puArgErr;
// - [in, out] and [out] arguments must be by reference, either to the exact
//   type (passed straight through) or to a VARIANT (coerced, written back);
// - the [out, retval] value goes to pVarResult (freed when that is null);
// - the member's own result is returned, success codes (S_FALSE) included.
//   When it fails with error information set on the thread during the call
//   (SetErrorInfo), that information fills EXCEPINFO, its scode is the
//   member's result, and Invoke returns DISP_E_EXCEPTION.
#pragma once

#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/comptr.h"
#include "platform/oleauto.h"

namespace platform {

struct TypeModel;

// One argument on its way to a handler.
struct ArgCell {
  VARIANT value;        // an [in] value, or the storage of an [out] value
  void* ref = nullptr;  // what a pointer or interface parameter receives
  IUnknown* held = nullptr;  // an interface obtained for the call, released after it
};

class Dispatcher {
 public:
  using Handler = std::function<HRESULT(void* object, ArgCell* cells, UINT* failedParam)>;

  Dispatcher(ITypeInfo* typeInfo, std::vector<Handler> handlers, std::vector<std::vector<VARTYPE>> signatures);

  // S_OK when every member has a matching handler, else E_UNEXPECTED with
  // the first mismatch described in problem(). Invoke fails with
  // E_UNEXPECTED on a binding that is not sound.
  HRESULT status() const { return status_; }
  const std::string& problem() const { return problem_; }
  ITypeInfo* typeInfo() const { return typeInfo_.get(); }

  // The IDispatch members, for an object to forward to.
  HRESULT getTypeInfoCount(UINT* pctinfo) const;
  HRESULT getTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) const;
  HRESULT getIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid, DISPID* rgDispId) const;
  HRESULT invokeOn(void* object, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) const;

 private:
  ComPtr<ITypeInfo> typeInfo_;
  const TypeModel* type_ = nullptr;
  std::vector<Handler> handlers_;
  HRESULT status_ = S_OK;
  std::string problem_;
};

namespace detail {

template <class T>
constexpr bool isInterfacePointer = std::is_pointer_v<T> && std::is_base_of_v<IUnknown, std::remove_pointer_t<T>>;

template <class T>
constexpr bool isValueType = std::is_same_v<T, SHORT> || std::is_same_v<T, LONG> || std::is_same_v<T, ULONG> ||
                                    std::is_same_v<T, BSTR> || std::is_same_v<T, CY> || std::is_same_v<T, VARIANT> ||
                                    std::is_enum_v<T> || isInterfacePointer<T>;

template <class T>
constexpr VARTYPE valueType() {
  if constexpr (std::is_same_v<T, SHORT>) return VT_I2;
  else if constexpr (std::is_same_v<T, LONG> || std::is_enum_v<T>) return VT_I4;
  else if constexpr (std::is_same_v<T, ULONG>) return VT_UI4;
  else if constexpr (std::is_same_v<T, BSTR>) return VT_BSTR;
  else if constexpr (std::is_same_v<T, CY>) return VT_CY;
  else if constexpr (std::is_same_v<T, VARIANT>) return VT_VARIANT;
  else if constexpr (std::is_base_of_v<IDispatch, std::remove_pointer_t<T>>) return VT_DISPATCH;
  else return VT_UNKNOWN;
}

// The VARTYPE a C++ parameter stands for; a pointer to a value type is by reference.
template <class A>
constexpr VARTYPE paramType() {
  if constexpr (isValueType<A>) {
    static_assert(!std::is_enum_v<A> || sizeof(A) == sizeof(LONG), "enumerations travel as 32-bit integers");
    return valueType<A>();
  } else {
    static_assert(std::is_pointer_v<A> && isValueType<std::remove_pointer_t<A>>,
                  "unsupported parameter type for a dispatch binding");
    return valueType<std::remove_pointer_t<A>>() | VT_BYREF;
  }
}

// Obtains an interface argument of type A for the call.
template <class A>
HRESULT prepare(ArgCell& cell) {
  if constexpr (isInterfacePointer<A>) {
    using Interface = std::remove_pointer_t<A>;
    IUnknown* given = cell.value.punkVal;
    if constexpr (std::is_same_v<Interface, IUnknown> || std::is_same_v<Interface, IDispatch>) {
      cell.ref = given == nullptr ? nullptr : static_cast<void*>(static_cast<A>(given));
    } else if (given != nullptr) {
      Interface* wanted = nullptr;
      if (FAILED(given->QueryInterface(iidOf<Interface>(), reinterpret_cast<void**>(&wanted))))
        return DISP_E_TYPEMISMATCH;
      cell.ref = wanted;
      cell.held = wanted;
    }
  }
  return S_OK;
}

template <class A>
A argument(ArgCell& cell) {
  if constexpr (isInterfacePointer<A>) return static_cast<A>(cell.ref);
  else if constexpr (std::is_same_v<A, SHORT>) return cell.value.iVal;
  else if constexpr (std::is_same_v<A, LONG>) return cell.value.lVal;
  else if constexpr (std::is_enum_v<A>) return static_cast<A>(cell.value.lVal);
  else if constexpr (std::is_same_v<A, ULONG>) return cell.value.ulVal;
  else if constexpr (std::is_same_v<A, BSTR>) return cell.value.bstrVal;
  else if constexpr (std::is_same_v<A, CY>) return cell.value.cyVal;
  else if constexpr (std::is_same_v<A, VARIANT>) return cell.value;
  else return static_cast<A>(cell.ref);
}

template <class Object, class Class, class... A, std::size_t... I>
HRESULT call(Object* object, HRESULT (Class::*member)(A...), ArgCell* cells, UINT* failedParam,
             std::index_sequence<I...>) {
  HRESULT prepared = S_OK;
  static_cast<void>(failedParam);  // unused for members without parameters
  ((SUCCEEDED(prepared) && FAILED(prepared = prepare<A>(cells[I])) ? (*failedParam = static_cast<UINT>(I), 0) : 0), ...);
  if (FAILED(prepared)) return prepared;
  return (object->*member)(argument<A>(cells[I])...);
}

template <class Object, class Class, class... A>
Dispatcher::Handler handler(HRESULT (Class::*member)(A...)) {
  static_assert(std::is_base_of_v<Class, Object>, "a handler must be a member of the bound object");
  return [member](void* object, ArgCell* cells, UINT* failedParam) {
    return call(static_cast<Object*>(object), member, cells, failedParam, std::index_sequence_for<A...>{});
  };
}

template <class Class, class... A>
std::vector<VARTYPE> signature(HRESULT (Class::*)(A...)) {
  return {paramType<A>()...};
}

}  // namespace detail

// Binds the members of an interface model to the member functions of Object.
template <class Object>
class DispatchBinding : public Dispatcher {
 public:
  template <class... Members>
  explicit DispatchBinding(ITypeInfo* typeInfo, Members... members)
      : Dispatcher(typeInfo, {detail::handler<Object>(members)...}, {detail::signature(members)...}) {}

  HRESULT invoke(Object* object, DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) const {
    return invokeOn(static_cast<void*>(object), dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult, pExcepInfo,
                    puArgErr);
  }
};

// What a script host does to call a member by name: GetIDsOfNames, then
// Invoke with `args` given first parameter first, and DISPID_PROPERTYPUT
// naming the value of a put. The arguments stay owned by the caller.
HRESULT invokeByName(IDispatch* object, const char16_t* name, WORD flags, VARIANT* args, UINT count,
                     VARIANT* result, EXCEPINFO* exception = nullptr, UINT* argErr = nullptr);

// Frees the strings of an EXCEPINFO and zeroes it.
void clearExcepInfo(EXCEPINFO* exception);

}  // namespace platform
