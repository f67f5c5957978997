#include "platform/oletext.h"

#include <algorithm>
#include <type_traits>

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Where the run of ASCII units that starts at `at` ends. Such runs, most of
// any text here (certificate collections in base64 among them), are copied
// in one step instead of going through the coders unit by unit.
template <typename Unit>
std::size_t endOfAscii(std::basic_string_view<Unit> text, std::size_t at) {
  while (at < text.size() && static_cast<std::make_unsigned_t<Unit>>(text[at]) < 0x80) ++at;
  return at;
}

void appendUtf8(std::string& out, char32_t point) {
  if (point < 0x80) {
    out += static_cast<char>(point);
  } else if (point < 0x800) {
    out += static_cast<char>(0xC0 | (point >> 6));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else if (point < 0x10000) {
    out += static_cast<char>(0xE0 | (point >> 12));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (point >> 18));
    out += static_cast<char>(0x80 | ((point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (point & 0x3F));
  }
}

// Appends the UTF-16 units of `text` to `out`. Each lead byte admits its
// own range for the first continuation byte, which rules out overlong forms,
// surrogates and points above U+10FFFF; a sequence broken off after any
// number of valid bytes is one replacement, and the byte that broke it is
// read again as the start of the next sequence.
void decodeUtf8(std::string_view text, std::u16string& out) {
  auto emit = [&out](char16_t unit) { out += unit; };
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  std::size_t at = 0;
  while (at < size) {
    const std::size_t asciiEnd = endOfAscii(text, at);
    out.append(text.begin() + at, text.begin() + asciiEnd);
    at = asciiEnd;
    if (at == size) break;
    const unsigned char lead = bytes[at++];
    int continuations = 0;
    unsigned char low = 0x80, high = 0xBF;
    char32_t point = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
      continuations = 1;
      point = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      continuations = 2;
      point = lead & 0x0F;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      continuations = 3;
      point = lead & 0x07;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      emit(static_cast<char16_t>(kReplacement));
      continue;
    }
    bool complete = true;
    for (int i = 0; i < continuations; ++i) {
      if (at >= size || bytes[at] < low || bytes[at] > high) {
        complete = false;
        break;
      }
      point = (point << 6) | (bytes[at++] & 0x3F);
      low = 0x80;
      high = 0xBF;
    }
    if (!complete) {
      emit(static_cast<char16_t>(kReplacement));
    } else if (point >= 0x10000) {
      point -= 0x10000;
      emit(static_cast<char16_t>(0xD800 | (point >> 10)));
      emit(static_cast<char16_t>(0xDC00 | (point & 0x3FF)));
    } else {
      emit(static_cast<char16_t>(point));
    }
  }
}

}  // namespace

std::string wideToUtf8(std::u16string_view text) {
  const std::size_t length = text.size();
  std::string out;
  out.reserve(length);
  std::size_t at = 0;
  while (at < length) {
    const std::size_t asciiEnd = endOfAscii(text, at);
    const std::size_t written = out.size();
    out.resize(written + (asciiEnd - at));
    std::transform(text.begin() + at, text.begin() + asciiEnd, out.begin() + static_cast<std::ptrdiff_t>(written),
                   [](char16_t unit) { return static_cast<char>(unit); });
    at = asciiEnd;
    if (at == length) break;
    const char16_t unit = text[at++];
    if (isHighSurrogate(unit) && at < length && isLowSurrogate(text[at])) {
      const char16_t low = text[at++];
      appendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (low - 0xDC00));
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

std::u16string utf8ToWide(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  decodeUtf8(text, out);
  return out;
}

}  // namespace platform
