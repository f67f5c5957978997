// UTF-16 text of the automation interfaces to and from the UTF-8 that file
// names and the registry's 8-bit calls take.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Ill-formed input in either direction (an unpaired surrogate, a byte that
// cannot start or continue a UTF-8 sequence, an overlong or out-of-range
// form) becomes U+FFFD, one for each maximal ill-formed part.
std::string wideToUtf8(std::u16string_view text);
std::u16string utf8ToWide(std::string_view text);

}  // namespace platform
