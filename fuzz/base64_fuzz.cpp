// The base64 codec on arbitrary bytes.
//
// Decoding: the input is the text. The output buffer is a heap block of
// exactly the size base64DecodedLength gave, so AddressSanitizer stops any
// write past it; the verdict and the bytes must match a plain byte-at-a-time
// model of the scanner (the codec decodes whole runs with vector code, the
// model one byte at a time).
//
// Encoding: the first two bytes choose the break mode and the line length,
// the rest is the data. The text buffer is exactly base64EncodedLength long,
// every line but the last holds lineLength characters, and the text decodes
// back to the data.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "support/base64.h"

namespace {

using fuzzing::check;
using tarvenholm::base64Decode;
using tarvenholm::base64DecodedLength;
using tarvenholm::base64Encode;
using tarvenholm::base64EncodedLength;

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int digitOf(std::uint8_t byte) {
  const std::size_t at = kAlphabet.find(static_cast<char>(byte));
  return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// The scanner as the codec documents it, one byte at a time: armour lines
// between runs of "-" are skipped, "=" completes the last group, every other
// byte outside the alphabet is ignored. No value when the text is refused.
std::optional<std::vector<std::uint8_t>> modelDecode(const std::uint8_t* text, std::size_t length) {
  enum State { Data, OpenDashes, Label, CloseDashes, OnePad, End, Error } state = Data;
  std::vector<std::uint8_t> dataChars;
  std::size_t pads = 0;
  for (std::size_t at = 0; at < length && state != End && state != Error; ++at) {
    const std::uint8_t x = text[at];
    if (x != '-' && x != '=' && digitOf(x) < 0) continue;
    switch (state) {
      case Data:
        state = x == '-' ? OpenDashes : x == '=' ? ((dataChars.size() + 1) % 4 == 0 ? End : OnePad) : Data;
        break;
      case OpenDashes:
        state = x == '-' ? OpenDashes : Label;
        break;
      case Label:
        state = x == '-' ? CloseDashes : Label;
        break;
      case CloseDashes:
        state = x == '-' ? CloseDashes : Data;
        break;
      case OnePad:
        state = x == '=' ? End : Error;
        break;
      default:
        break;
    }
    if (state == Data || state == OnePad || state == End) {
      dataChars.push_back(x);
      if (x == '=') ++pads;
    }
  }
  if (pads > 2 || dataChars.size() % 4 != 0 || state == Error) return std::nullopt;

  std::vector<std::uint8_t> bytes;
  for (std::size_t group = 0; group < dataChars.size(); group += 4) {
    int digits[4];
    int yield = 3;
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t c = dataChars[group + i];
      digits[i] = c == '=' ? 0 : digitOf(c);
      if (c == '=') --yield;
    }
    const std::uint8_t decoded[3] = {static_cast<std::uint8_t>(digits[0] << 2 | digits[1] >> 4),
                                     static_cast<std::uint8_t>((digits[1] & 15) << 4 | digits[2] >> 2),
                                     static_cast<std::uint8_t>((digits[2] & 3) << 6 | digits[3])};
    bytes.insert(bytes.end(), decoded, decoded + yield);
  }
  return bytes;
}

void fuzzDecode(const std::uint8_t* data, std::size_t size) {
  // libFuzzer's own copy of the input is a heap block of exactly `size`
  // bytes, so reading past the text is caught as well.
  const char* text = reinterpret_cast<const char*>(data);
  const auto length = static_cast<std::uint32_t>(size);
  std::uint32_t decodedLength = 12345;
  const int accepted = base64DecodedLength(text, length, &decodedLength);
  check(accepted == 0 || accepted == 1, "base64DecodedLength returns 0 or 1");
  if (!accepted) check(decodedLength == 0, "a refused text has decoded length 0");

  // Decode even a refused text: the buffer is what a caller sized, and
  // base64Decode must then write nothing into it.
  const std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[decodedLength]);
  const int decoded = base64Decode(text, length, out.get());
  check(decoded == accepted, "base64Decode and base64DecodedLength agree on the verdict");

  const std::optional<std::vector<std::uint8_t>> expected = modelDecode(data, size);
  check(expected.has_value() == (accepted == 1), "verdict matches the scanner's rules");
  if (!expected) return;
  check(expected->size() == decodedLength, "decoded length matches the scanner's rules");
  check(std::equal(expected->begin(), expected->end(), out.get()), "decoded bytes match the scanner's rules");
}

void fuzzEncode(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return;
  const std::uint8_t lineBreak = data[0] % 4;  // 3: an unknown mode, which writes no breaks
  const std::uint32_t lineLength = data[1];
  const std::uint8_t* bytes = data + 2;
  const auto count = static_cast<std::uint32_t>(size - 2);

  std::uint32_t length = 12345;
  const int sized = base64EncodedLength(count, lineBreak, lineLength, &length);
  const bool validArguments = lineLength % 4 == 0 && (lineBreak == 0 || lineLength != 0);
  check(sized == (validArguments ? 1 : 0), "encoded length refuses exactly the invalid arguments");
  const std::unique_ptr<char[]> text(new char[length]);
  const int encoded = base64Encode(bytes, count, text.get(), lineBreak, lineLength);
  check(encoded == sized, "base64Encode and base64EncodedLength agree on the arguments");
  if (!sized) {
    check(length == 0, "refused arguments have encoded length 0");
    return;
  }

  const std::string_view written(text.get(), length);
  const std::size_t firstPad = written.find('=');
  check(firstPad == std::string_view::npos || written.find_first_not_of("=\r\n", firstPad) == std::string_view::npos,
        "padding only at the end");
  if (lineBreak == tarvenholm::kBase64CrLf || lineBreak == tarvenholm::kBase64Lf) {
    const std::string_view lineEnd = lineBreak == tarvenholm::kBase64CrLf ? "\r\n" : "\n";
    std::size_t lineStart = 0;
    while (lineStart < written.size()) {
      const std::size_t end = written.find(lineEnd, lineStart);
      check(end != std::string_view::npos, "every line ends with a break");
      const std::size_t next = end + lineEnd.size();
      check(end - lineStart == lineLength || next == written.size(), "only the last line is short");
      check(end - lineStart <= lineLength && end > lineStart, "lines hold 1 to lineLength characters");
      lineStart = next;
    }
  } else {
    check(written.size() == (count + 2) / 3 * 4, "one line of 4 characters per 3 bytes");
  }

  std::uint32_t decodedLength = 0;
  check(base64DecodedLength(text.get(), length, &decodedLength) == 1, "our own text is accepted");
  check(decodedLength == count, "our own text decodes to as many bytes");
  const std::unique_ptr<std::uint8_t[]> back(new std::uint8_t[decodedLength]);
  check(base64Decode(text.get(), length, back.get()) == 1, "our own text decodes");
  check(std::equal(bytes, bytes + count, back.get()), "our own text decodes to the data");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzDecode(data, size);
  fuzzEncode(data, size);
  return 0;
}
