// UTF-16 text of the automation interfaces to and from the UTF-8 that file
// names and the registry's 8-bit calls take.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Unpaired surrogates become U+FFFD.
std::string wideToUtf8(std::u16string_view text);
// Invalid sequences become U+FFFD.
std::u16string utf8ToWide(std::string_view text);

}  // namespace platform
