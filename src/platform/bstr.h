// Automation strings: UTF-16, length-prefixed, zero-terminated.
#pragma once

#include <memory>

#include "platform/wintypes.h"

using OLECHAR = char16_t;
using BSTR = OLECHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

// A copy of `length` characters of `text` (or that many zero characters when
// text is null); null when memory runs out.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
BSTR SysAllocString(const OLECHAR* text);
void SysFreeString(BSTR text);
// Characters, not counting the terminator; 0 for null.
UINT SysStringLen(BSTR text);
// Bytes, not counting the terminator; 0 for null.
UINT SysStringByteLen(BSTR text);

struct BstrFree {
  void operator()(OLECHAR* text) const { SysFreeString(text); }
};
// Owns one BSTR.
using UniqueBstr = std::unique_ptr<OLECHAR, BstrFree>;
