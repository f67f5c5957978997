#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "platform/oleauto.h"

namespace {

constexpr LONGLONG cyScale = 10000;
// The largest currency value, in whole units.
constexpr LONGLONG cyMaxUnits = std::numeric_limits<LONGLONG>::max() / cyScale;

bool isPlainType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_UI4: case VT_CY:
    case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN:
      return true;
    default:
      return false;
  }
}

bool isValidType(VARTYPE vt) {
  if ((vt & VT_BYREF) == 0) return isPlainType(vt);
  const VARTYPE base = vt & ~VT_BYREF;
  return base == VT_VARIANT || (isPlainType(base) && base != VT_EMPTY && base != VT_NULL);
}

bool isObjectType(VARTYPE vt) { return vt == VT_DISPATCH || vt == VT_UNKNOWN; }

// A by-reference variant seen as the value it points at, without ownership.
// Returns null for a by-reference variant holding a by-reference variant.
const VARIANT* dereference(const VARIANT* source, VARIANT& view) {
  if ((source->vt & VT_BYREF) == 0) return source;
  const VARTYPE base = source->vt & ~VT_BYREF;
  if (base == VT_VARIANT) {
    if (source->pvarVal == nullptr || (source->pvarVal->vt & VT_BYREF) != 0) return nullptr;
    return source->pvarVal;
  }
  if (source->byref == nullptr) return nullptr;
  VariantInit(&view);
  view.vt = base;
  switch (base) {
    case VT_I2: view.iVal = *source->piVal; break;
    case VT_BOOL: view.boolVal = *source->pboolVal; break;
    case VT_I4: view.lVal = *source->plVal; break;
    case VT_UI4: view.ulVal = *source->pulVal; break;
    case VT_ERROR: view.scode = *source->pscode; break;
    case VT_CY: view.cyVal = *source->pcyVal; break;
    case VT_BSTR: view.bstrVal = *source->pbstrVal; break;
    case VT_DISPATCH: view.pdispVal = *source->ppdispVal; break;
    case VT_UNKNOWN: view.punkVal = *source->ppunkVal; break;
    default: return nullptr;
  }
  return &view;
}

bool equalsIgnoringCase(const OLECHAR* text, std::size_t length, const char* word) {
  const std::size_t wordLength = std::strlen(word);
  if (length != wordLength) return false;
  for (std::size_t i = 0; i < length; ++i) {
    OLECHAR c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<OLECHAR>(c - 'A' + 'a');
    if (c != static_cast<OLECHAR>(word[i])) return false;
  }
  return true;
}

bool isSpace(OLECHAR c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Decimal text ("  -12.5 ") as a value times 10 000, fraction digits beyond
// the fourth rounded half to even. DISP_E_TYPEMISMATCH for anything else,
// DISP_E_OVERFLOW beyond the currency range.
HRESULT parseDecimal(BSTR text, LONGLONG& scaled) {
  std::size_t length = SysStringLen(text);
  std::size_t at = 0;
  while (at < length && isSpace(text[at])) ++at;
  while (length > at && isSpace(text[length - 1])) --length;
  bool negative = false;
  if (at < length && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
  LONGLONG units = 0;
  std::size_t digits = 0;
  for (; at < length && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
    if (units > (cyMaxUnits - (text[at] - '0')) / 10) return DISP_E_OVERFLOW;
    units = units * 10 + (text[at] - '0');
  }
  LONGLONG fraction = 0;
  int fractionDigits = 0;
  bool roundUp = false;
  bool tieSeen = false;
  bool beyondTie = false;
  if (at < length && text[at] == '.') {
    for (++at; at < length && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
      const int digit = text[at] - '0';
      if (fractionDigits < 4) {
        fraction = fraction * 10 + digit;
        ++fractionDigits;
      } else if (fractionDigits == 4) {
        roundUp = digit > 5;
        tieSeen = digit == 5;
        ++fractionDigits;
      } else if (digit != 0) {
        beyondTie = true;
      }
    }
  }
  if (digits == 0 || at != length) return DISP_E_TYPEMISMATCH;
  for (int i = fractionDigits; i < 4; ++i) fraction *= 10;
  scaled = units * cyScale + fraction;
  if (roundUp || (tieSeen && (beyondTie || (scaled % 2) != 0))) ++scaled;
  if (negative) scaled = -scaled;
  return S_OK;
}

// Whole units of a scaled value, rounded half to even.
LONGLONG roundScaled(LONGLONG scaled) {
  LONGLONG units = scaled / cyScale;
  const LONGLONG rest = scaled % cyScale;
  const LONGLONG half = cyScale / 2;
  if (rest > half || (rest == half && (units % 2) != 0)) ++units;
  if (rest < -half || (rest == -half && (units % 2) != 0)) --units;
  return units;
}

std::u16string decimalText(LONGLONG scaled, bool withFraction) {
  const bool negative = scaled < 0;
  ULONGLONG magnitude = negative ? 0 - static_cast<ULONGLONG>(scaled) : static_cast<ULONGLONG>(scaled);
  ULONGLONG units = withFraction ? magnitude / cyScale : magnitude;
  ULONGLONG fraction = withFraction ? magnitude % cyScale : 0;
  std::u16string text;
  do {
    text.insert(text.begin(), static_cast<char16_t>('0' + units % 10));
    units /= 10;
  } while (units != 0);
  if (fraction != 0) {
    std::u16string digits;
    for (int i = 0; i < 4; ++i, fraction *= 10) digits += static_cast<char16_t>('0' + (fraction * 10 / cyScale) % 10);
    while (!digits.empty() && digits.back() == u'0') digits.pop_back();
    text += u'.';
    text += digits;
  }
  if (negative) text.insert(text.begin(), u'-');
  return text;
}

// A numeric source (EMPTY, I2, I4, UI4, BOOL, CY) as a value times 10 000.
std::optional<LONGLONG> scaledValue(const VARIANT& value) {
  switch (value.vt) {
    case VT_EMPTY: return 0;
    case VT_I2: return LONGLONG{value.iVal} * cyScale;
    case VT_BOOL: return LONGLONG{value.boolVal} * cyScale;
    case VT_I4: return LONGLONG{value.lVal} * cyScale;
    case VT_UI4: return LONGLONG{value.ulVal} * cyScale;
    case VT_CY: return value.cyVal.int64;
    default: return std::nullopt;
  }
}

HRESULT numberToTarget(LONGLONG scaled, VARTYPE vt, VARIANT& result) {
  if (vt == VT_CY) {
    result.cyVal.int64 = scaled;
    return S_OK;
  }
  if (vt == VT_BOOL) {
    result.boolVal = scaled != 0 ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
  }
  const LONGLONG units = roundScaled(scaled);
  switch (vt) {
    case VT_I2:
      if (units < std::numeric_limits<SHORT>::min() || units > std::numeric_limits<SHORT>::max()) return DISP_E_OVERFLOW;
      result.iVal = static_cast<SHORT>(units);
      return S_OK;
    case VT_I4:
      if (units < std::numeric_limits<LONG>::min() || units > std::numeric_limits<LONG>::max()) return DISP_E_OVERFLOW;
      result.lVal = static_cast<LONG>(units);
      return S_OK;
    case VT_UI4:
      if (units < 0 || units > std::numeric_limits<ULONG>::max()) return DISP_E_OVERFLOW;
      result.ulVal = static_cast<ULONG>(units);
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

HRESULT toText(const VARIANT& value, USHORT flags, VARIANT& result) {
  std::u16string text;
  if (value.vt == VT_BSTR) {
    result.bstrVal = value.bstrVal == nullptr ? nullptr : SysAllocStringLen(value.bstrVal, SysStringLen(value.bstrVal));
    return value.bstrVal != nullptr && result.bstrVal == nullptr ? E_OUTOFMEMORY : S_OK;
  }
  if (value.vt == VT_BOOL && (flags & VARIANT_ALPHABOOL) != 0) {
    text = value.boolVal != VARIANT_FALSE ? u"True" : u"False";
  } else if (value.vt != VT_EMPTY) {
    const std::optional<LONGLONG> scaled = scaledValue(value);
    if (!scaled) return DISP_E_TYPEMISMATCH;
    text = decimalText(value.vt == VT_CY ? *scaled : *scaled / cyScale, value.vt == VT_CY);
  }
  result.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return result.bstrVal == nullptr ? E_OUTOFMEMORY : S_OK;
}

HRESULT textToTarget(BSTR text, VARTYPE vt, VARIANT& result) {
  if (vt == VT_BOOL) {
    const UINT length = SysStringLen(text);
    if (equalsIgnoringCase(text, length, "true") || equalsIgnoringCase(text, length, "false")) {
      result.boolVal = equalsIgnoringCase(text, length, "true") ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    }
  }
  LONGLONG scaled = 0;
  const HRESULT parsed = parseDecimal(text, scaled);
  if (FAILED(parsed)) return parsed;
  return numberToTarget(scaled, vt, result);
}

HRESULT toObject(const VARIANT& value, VARTYPE vt, VARIANT& result) {
  if (!isObjectType(value.vt)) return DISP_E_TYPEMISMATCH;
  if (value.punkVal == nullptr) {
    result.punkVal = nullptr;
    return S_OK;
  }
  if (vt == VT_DISPATCH && value.vt == VT_UNKNOWN) {
    return SUCCEEDED(value.punkVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&result.pdispVal)))
               ? S_OK
               : DISP_E_TYPEMISMATCH;
  }
  result.punkVal = value.punkVal;
  result.punkVal->AddRef();
  return S_OK;
}

HRESULT convert(const VARIANT& value, USHORT flags, VARTYPE vt, VARIANT& result) {
  if (vt == VT_EMPTY) return S_OK;
  if (vt == VT_NULL || vt == VT_ERROR) {
    if (value.vt != vt) return DISP_E_TYPEMISMATCH;
    result.scode = value.scode;
    return S_OK;
  }
  if (isObjectType(vt)) return toObject(value, vt, result);
  if (vt == VT_BSTR) return toText(value, flags, result);
  if (value.vt == VT_BSTR) return textToTarget(value.bstrVal, vt, result);
  const std::optional<LONGLONG> scaled = scaledValue(value);
  if (!scaled) return DISP_E_TYPEMISMATCH;
  return numberToTarget(*scaled, vt, result);
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return;
  std::memset(pvarg, 0, sizeof *pvarg);
  pvarg->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!isValidType(pvarg->vt)) return DISP_E_BADVARTYPE;
  if (pvarg->vt == VT_BSTR) {
    SysFreeString(pvarg->bstrVal);
  } else if (isObjectType(pvarg->vt) && pvarg->punkVal != nullptr) {
    pvarg->punkVal->Release();
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!isValidType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  if (pvargDest == pvargSrc) return S_OK;
  const HRESULT cleared = VariantClear(pvargDest);
  if (FAILED(cleared)) return cleared;
  VARIANT copy = *pvargSrc;
  if (copy.vt == VT_BSTR && copy.bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
    if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
  } else if (isObjectType(copy.vt) && copy.punkVal != nullptr) {
    copy.punkVal->AddRef();
  }
  *pvargDest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
  if (pvarDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (!isValidType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  VARIANT view;
  const VARIANT* value = dereference(pvargSrc, view);
  if (value == nullptr) return E_INVALIDARG;
  VARIANT copy;
  VariantInit(&copy);
  const HRESULT copied = VariantCopy(&copy, value);
  if (FAILED(copied)) return copied;
  VariantClear(pvarDest);
  *pvarDest = copy;
  return S_OK;
}

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (!isValidType(pvarSrc->vt) || !isPlainType(vt)) return DISP_E_BADVARTYPE;
  VARIANT view;
  const VARIANT* value = dereference(pvarSrc, view);
  if (value == nullptr) return DISP_E_TYPEMISMATCH;
  VARIANT result;
  VariantInit(&result);
  result.vt = vt;
  const HRESULT converted = convert(*value, wFlags, vt, result);
  if (FAILED(converted)) return converted;
  // The source is read completely before the destination, which may be the
  // same variant, is cleared.
  VariantClear(pvargDest);
  *pvargDest = result;
  return S_OK;
}
