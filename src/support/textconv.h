// Conversions between the wide strings of the automation boundary (UTF-16,
// as in BSTR) and the 8-bit system code page, which is UTF-8 here.
// Ill-formed input in either direction (an unpaired surrogate, a byte that
// cannot start or continue a UTF-8 sequence, an overlong or out-of-range
// form) becomes U+FFFD, one for each maximal ill-formed part.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/bstr.h"

namespace tarvenholm {

std::string wideToSystem(const char16_t* text, std::size_t length);
// Up to the first zero character, so also a BSTR's text; null gives "".
std::string wideToSystem(const char16_t* text);

std::u16string systemToWide(std::string_view text);

// A new BSTR (SysAllocStringLen); null when memory runs out.
BSTR systemToBstr(std::string_view text);

}  // namespace tarvenholm
