// Base64 text (RFC 4648 alphabet, "=" padding) for the signed request that
// leaves the control and the certificate collection that comes back.
//
// The encoder can break its output into lines (CR LF or LF); the decoder
// skips every byte outside the alphabet and the header and footer lines of
// an armoured block, is strict about padding and stops reading once the
// padding is complete. Callers size and own every buffer: nothing here
// allocates, writes a terminating zero or keeps state. Every function
// returns 1 for success and 0 for failure.
#pragma once

#include <cstdint>

namespace tarvenholm {

// Line-break modes of the encoder. Any other value writes no break characters.
inline constexpr std::uint8_t kBase64NoBreaks = 0;
inline constexpr std::uint8_t kBase64CrLf = 1;
inline constexpr std::uint8_t kBase64Lf = 2;

// The number of characters base64Encode writes for the same arguments. Fails
// (length 0) when lineLength is not a multiple of 4, when a break mode comes
// with lineLength 0, or when the text would not fit in 32 bits.
int base64EncodedLength(std::uint32_t count, std::uint8_t lineBreak, std::uint32_t lineLength,
                        std::uint32_t* length);

// Writes the text of `count` bytes into `text`, which holds
// base64EncodedLength characters. Every line but the last holds lineLength
// characters, and with a break mode every line ends with a break. Fails,
// writing nothing, on the same arguments as base64EncodedLength.
int base64Encode(const std::uint8_t* data, std::uint32_t count, char* text, std::uint8_t lineBreak,
                 std::uint32_t lineLength);

// Checks `length` bytes of text and gives the number of bytes base64Decode
// writes for it; 0 when the text is rejected (missing or wrong padding, an
// incomplete last group).
int base64DecodedLength(const char* text, std::uint32_t length, std::uint32_t* count);

// Decodes an accepted text into `out`, which holds base64DecodedLength bytes.
// Never writes more than that: a rejected text writes nothing.
int base64Decode(const char* text, std::uint32_t length, std::uint8_t* out);

}  // namespace tarvenholm
