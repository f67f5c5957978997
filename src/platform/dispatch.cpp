#include "platform/dispatch.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/typelib.h"

namespace platform {
namespace {

constexpr UINT noParam = std::numeric_limits<UINT>::max();

// A handler's C++ type for a parameter against the model's: VARIANT_BOOL is
// a SHORT, so a SHORT stands for either.
bool compatible(VARTYPE code, VARTYPE model) {
  if (code == model) return true;
  const VARTYPE byref = code & VT_BYREF;
  return (code & ~VT_BYREF) == VT_I2 && model == (VT_BOOL | byref);
}

std::string typeText(VARTYPE vt) {
  static constexpr struct {
    VARTYPE vt;
    const char* name;
  } names[] = {{VT_I2, "short"},        {VT_I4, "long"},        {VT_UI4, "unsigned long"}, {VT_CY, "currency"},
               {VT_BOOL, "VARIANT_BOOL"}, {VT_BSTR, "BSTR"},    {VT_DISPATCH, "IDispatch*"}, {VT_UNKNOWN, "IUnknown*"},
               {VT_ERROR, "SCODE"},     {VT_VARIANT, "VARIANT"}};
  std::string text = "?";
  for (const auto& entry : names)
    if (entry.vt == (vt & ~VT_BYREF)) text = entry.name;
  return (vt & VT_BYREF) ? text + "*" : text;
}

std::string narrow(std::u16string_view text) {
  std::string result;
  for (char16_t c : text) result += c < 0x80 ? static_cast<char>(c) : '?';
  return result;
}

VARTYPE expectedType(const ParamModel& param) {
  return static_cast<VARTYPE>(param.type | ((param.flags & PARAMFLAG_FOUT) ? VT_BYREF : 0));
}

void* dataAddress(VARIANT& value) { return &value.llVal; }

// rgvarg index of each parameter the caller passes.
HRESULT mapArguments(const MemberModel& member, WORD flags, const DISPPARAMS& params, std::vector<int>& source,
                     UINT* argErr) {
  const std::size_t count = member.callerParamCount();
  const UINT named = params.cNamedArgs;
  const UINT positional = params.cArgs - named;
  const bool isPut = (member.kind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) != 0 &&
                     (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  source.assign(count, -1);
  if (isPut) {
    if (named != 1 || params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) return DISP_E_PARAMNOTFOUND;
    if (positional + 1 != count) return DISP_E_BADPARAMCOUNT;
    source[count - 1] = 0;
    for (UINT j = 0; j < positional; ++j) source[j] = static_cast<int>(params.cArgs - 1 - j);
    return S_OK;
  }
  if (positional > count) return DISP_E_BADPARAMCOUNT;
  for (UINT j = 0; j < positional; ++j) source[j] = static_cast<int>(params.cArgs - 1 - j);
  for (UINT i = 0; i < named; ++i) {
    const DISPID position = params.rgdispidNamedArgs[i];
    if (position < 0 || static_cast<std::size_t>(position) >= count || source[position] != -1) {
      if (argErr != nullptr) *argErr = i;
      return DISP_E_PARAMNOTFOUND;
    }
    source[position] = static_cast<int>(i);
  }
  for (int given : source)
    if (given == -1) return named > 0 ? DISP_E_PARAMNOTOPTIONAL : DISP_E_BADPARAMCOUNT;
  return S_OK;
}

// The value of an [in] argument, coerced to the parameter's type.
HRESULT coerceIn(const VARIANT& argument, VARTYPE type, VARIANT& value) {
  if (type == VT_VARIANT) return VariantCopyInd(&value, &argument);
  const VARTYPE given = argument.vt & ~VT_BYREF;
  if (type == VT_UI4 && given == VT_I4) {
    value.vt = VT_UI4;
    value.ulVal = static_cast<ULONG>((argument.vt & VT_BYREF) ? *argument.plVal : argument.lVal);
    return S_OK;
  }
  return VariantChangeType(&value, &argument, 0, type);
}

// Sets up the cell of an [out] or [in, out] argument; `writeBack` receives
// the variant to update after the call when the value goes through a copy.
HRESULT prepareOut(VARIANT& argument, const ParamModel& param, ArgCell& cell, VARIANT*& writeBack) {
  if (argument.vt == (param.type | VT_BYREF)) {
    cell.ref = argument.byref;
    return cell.ref == nullptr ? DISP_E_TYPEMISMATCH : S_OK;
  }
  if (argument.vt != (VT_BYREF | VT_VARIANT) || argument.pvarVal == nullptr) return DISP_E_TYPEMISMATCH;
  if (param.flags & PARAMFLAG_FIN) {
    const HRESULT coerced = coerceIn(*argument.pvarVal, param.type, cell.value);
    if (FAILED(coerced)) return coerced;
  } else if (param.type != VT_VARIANT) {
    cell.value.vt = param.type;
  }
  cell.ref = param.type == VT_VARIANT ? static_cast<void*>(&cell.value) : dataAddress(cell.value);
  writeBack = argument.pvarVal;
  return S_OK;
}

void fillException(IErrorInfo* info, HRESULT code, EXCEPINFO* exception) {
  std::memset(exception, 0, sizeof *exception);
  info->GetSource(&exception->bstrSource);
  info->GetDescription(&exception->bstrDescription);
  info->GetHelpFile(&exception->bstrHelpFile);
  info->GetHelpContext(&exception->dwHelpContext);
  exception->scode = code;
}

// Releases everything the cells still own.
struct Cells {
  explicit Cells(std::size_t count) : cells(count) {
    for (ArgCell& cell : cells) VariantInit(&cell.value);
  }
  ~Cells() {
    for (ArgCell& cell : cells) {
      VariantClear(&cell.value);
      if (cell.held != nullptr) cell.held->Release();
    }
  }
  std::vector<ArgCell> cells;
};

}  // namespace

Dispatcher::Dispatcher(ITypeInfo* typeInfo, std::vector<Handler> handlers,
                       std::vector<std::vector<VARTYPE>> signatures)
    : typeInfo_(typeInfo), type_(typeInfo == nullptr ? nullptr : typeModel(typeInfo)), handlers_(std::move(handlers)) {
  auto fail = [this](const std::string& what) {
    if (SUCCEEDED(status_)) {
      status_ = E_UNEXPECTED;
      problem_ = what;
    }
  };
  if (type_ == nullptr || type_->kind != TKIND_DISPATCH) {
    fail("the type information is not an interface described by a library model");
    return;
  }
  const std::string where = narrow(type_->name) + ": ";
  if (handlers_.size() != type_->members.size())
    fail(where + std::to_string(type_->members.size()) + " members but " + std::to_string(handlers_.size()) +
         " handlers");
  for (std::size_t i = 0; i < type_->members.size() && i < signatures.size(); ++i) {
    const MemberModel& member = type_->members[i];
    const std::string slot = where + "slot " + std::to_string(i + 1) + " (" + narrow(member.name) + "): ";
    if (signatures[i].size() != member.params.size()) {
      fail(slot + std::to_string(member.params.size()) + " parameters but the handler takes " +
           std::to_string(signatures[i].size()));
      continue;
    }
    for (std::size_t p = 0; p < member.params.size(); ++p)
      if (!compatible(signatures[i][p], expectedType(member.params[p])))
        fail(slot + "parameter " + std::to_string(p + 1) + " is " + typeText(expectedType(member.params[p])) +
             " but the handler takes " + typeText(signatures[i][p]));
  }
}

HRESULT Dispatcher::getTypeInfoCount(UINT* pctinfo) const {
  if (pctinfo == nullptr) return E_INVALIDARG;
  *pctinfo = 1;
  return S_OK;
}

HRESULT Dispatcher::getTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) const {
  if (ppTInfo == nullptr) return E_INVALIDARG;
  *ppTInfo = nullptr;
  if (iTInfo != 0) return DISP_E_BADINDEX;
  return typeInfo_.copyTo(ppTInfo);
}

HRESULT Dispatcher::getIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID, DISPID* rgDispId) const {
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (type_ == nullptr) return E_UNEXPECTED;
  return idsOfNames(*type_, rgszNames, cNames, rgDispId);
}

HRESULT Dispatcher::invokeOn(void* object, DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                             DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                             UINT* puArgErr) const {
  if (FAILED(status_)) return E_UNEXPECTED;
  if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
  if (object == nullptr || pDispParams == nullptr || (pDispParams->cArgs > 0 && pDispParams->rgvarg == nullptr) ||
      pDispParams->cNamedArgs > pDispParams->cArgs ||
      (pDispParams->cNamedArgs > 0 && pDispParams->rgdispidNamedArgs == nullptr))
    return E_INVALIDARG;
  const MemberModel* member = findMember(*type_, dispIdMember, wFlags);
  if (member == nullptr) return DISP_E_MEMBERNOTFOUND;

  std::vector<int> source;
  const HRESULT mapped = mapArguments(*member, wFlags, *pDispParams, source, puArgErr);
  if (FAILED(mapped)) return mapped;

  Cells cells(member->params.size());
  std::vector<VARIANT*> writeBack(member->params.size(), nullptr);
  for (std::size_t p = 0; p < source.size(); ++p) {
    const ParamModel& param = member->params[p];
    VARIANT& argument = pDispParams->rgvarg[source[p]];
    ArgCell& cell = cells.cells[p];
    const HRESULT prepared = (param.flags & PARAMFLAG_FOUT) ? prepareOut(argument, param, cell, writeBack[p])
                                                            : coerceIn(argument, param.type, cell.value);
    if (FAILED(prepared)) {
      if (puArgErr != nullptr) *puArgErr = static_cast<UINT>(source[p]);
      return prepared;
    }
  }
  if (member->hasRetval()) {
    ArgCell& cell = cells.cells.back();
    if (member->params.back().type == VT_VARIANT) {
      cell.ref = &cell.value;
    } else {
      cell.value.vt = member->params.back().type;
      cell.ref = dataAddress(cell.value);
    }
  }

  // Error information set before the call must not be taken for this call's.
  SetErrorInfo(0, nullptr);
  UINT failedParam = noParam;
  const HRESULT result = handlers_[member - type_->members.data()](object, cells.cells.data(), &failedParam);
  if (failedParam != noParam) {
    if (puArgErr != nullptr) *puArgErr = static_cast<UINT>(source[failedParam]);
    return result;
  }

  if (SUCCEEDED(result)) {
    for (std::size_t p = 0; p < writeBack.size(); ++p)
      if (writeBack[p] != nullptr) {
        VariantClear(writeBack[p]);
        *writeBack[p] = cells.cells[p].value;
        VariantInit(&cells.cells[p].value);
      }
    if (member->hasRetval() && pVarResult != nullptr) {
      *pVarResult = cells.cells.back().value;
      VariantInit(&cells.cells.back().value);
    }
    return result;
  }
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) == S_OK && info) {
    if (pExcepInfo != nullptr) fillException(info.get(), result, pExcepInfo);
    return DISP_E_EXCEPTION;
  }
  if (result == DISP_E_EXCEPTION && pExcepInfo != nullptr) {
    std::memset(pExcepInfo, 0, sizeof *pExcepInfo);
    pExcepInfo->scode = result;
  }
  return result;
}

HRESULT invokeByName(IDispatch* object, const char16_t* name, WORD flags, VARIANT* args, UINT count, VARIANT* result,
                     EXCEPINFO* exception, UINT* argErr) {
  if (object == nullptr || name == nullptr || (count > 0 && args == nullptr)) return E_INVALIDARG;
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  const HRESULT found = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(found)) return found;
  std::vector<VARIANT> reversed(args, args + count);
  std::reverse(reversed.begin(), reversed.end());
  DISPID putId = DISPID_PROPERTYPUT;
  const bool isPut = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  DISPPARAMS params{reversed.data(), isPut ? &putId : nullptr, count, isPut && count > 0 ? 1u : 0u};
  return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, exception, argErr);
}

void clearExcepInfo(EXCEPINFO* exception) {
  if (exception == nullptr) return;
  SysFreeString(exception->bstrSource);
  SysFreeString(exception->bstrDescription);
  SysFreeString(exception->bstrHelpFile);
  std::memset(exception, 0, sizeof *exception);
}

}  // namespace platform
