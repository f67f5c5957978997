#include "support/textconv.h"

#include <limits>

#include "platform/oletext.h"

namespace tarvenholm {

std::string wideToSystem(const char16_t* text, std::size_t length) {
  return platform::wideToUtf8(std::u16string_view(text, length));
}

std::string wideToSystem(const char16_t* text) {
  if (text == nullptr) return {};
  return platform::wideToUtf8(text);
}

std::u16string systemToWide(std::string_view text) { return platform::utf8ToWide(text); }

BSTR systemToBstr(std::string_view text) {
  const std::u16string wide = platform::utf8ToWide(text);
  if (wide.size() > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

}  // namespace tarvenholm
