#include "support/base64.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

#if defined(__SSE2__) && defined(__GNUC__)
#include <tmmintrin.h>
#endif

namespace tarvenholm {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kPad = '=';
constexpr std::uint8_t kDash = '-';
constexpr std::uint8_t kNotDigit = 64;

// Digit value of every byte; "=" counts as 0 and every byte outside the
// alphabet holds kNotDigit.
constexpr std::array<std::uint8_t, 256> kDigitValues = [] {
  std::array<std::uint8_t, 256> table{};
  table.fill(kNotDigit);
  for (std::uint8_t digit = 0; digit < 64; ++digit) table[static_cast<unsigned char>(kAlphabet[digit])] = digit;
  table[kPad] = 0;
  return table;
}();

// ---------------------------------------------------------------------------
// Encoding

// The two characters of every 12-bit value, so that a group of three bytes
// takes two lookups instead of four.
constexpr std::array<std::array<char, 2>, 4096> kDigitPairs = [] {
  std::array<std::array<char, 2>, 4096> table{};
  for (std::size_t bits = 0; bits < table.size(); ++bits) table[bits] = {kAlphabet[bits >> 6], kAlphabet[bits & 63]};
  return table;
}();

// Bytes b0 b1 b2 to the digits b0 >> 2, (b0 & 3) << 4 | b1 >> 4,
// (b1 & 15) << 2 | b2 >> 6 and b2 & 63.
inline void encodeGroup(const std::uint8_t* bytes, char* out) {
  const std::uint32_t bits = std::uint32_t{bytes[0]} << 16 | std::uint32_t{bytes[1]} << 8 | bytes[2];
  std::memcpy(out, kDigitPairs[bits >> 12].data(), 2);
  std::memcpy(out + 2, kDigitPairs[bits & 0xFFF].data(), 2);
}

char* encodeGroups(const std::uint8_t* data, std::size_t groups, char* out) {
  for (; groups != 0; --groups, data += 3, out += 4) encodeGroup(data, out);
  return out;
}

std::string_view lineBreakText(std::uint8_t lineBreak) {
  switch (lineBreak) {
    case kBase64CrLf:
      return "\r\n";
    case kBase64Lf:
      return "\n";
    default:
      return {};
  }
}

// The encoded length for valid arguments, none for invalid ones.
std::optional<std::uint32_t> encodedLength(std::uint32_t count, std::uint8_t lineBreak, std::uint32_t lineLength) {
  if (lineLength % 4 != 0 || (lineBreak != kBase64NoBreaks && lineLength == 0)) return std::nullopt;
  const std::uint64_t characters = 4 * ((std::uint64_t{count} + 2) / 3);
  const std::uint64_t lines = lineLength != 0 ? (characters + lineLength - 1) / lineLength : 0;
  const std::uint64_t length = characters + lineBreakText(lineBreak).size() * lines;
  if (length > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(length);
}

// ---------------------------------------------------------------------------
// Scanning and decoding

enum class ScanState : std::uint8_t {
  Data,         // reading base64 digits
  OpenDashes,   // inside the run of "-" that opens an armour line
  Label,        // inside the armour label
  CloseDashes,  // inside the run of "-" that closes an armour line
  OnePad,       // a "=" came before the last place of its group; a second must follow
  End,          // the padding is complete; reading stops
  Error,        // the second "=" was missing; reading stops
};

// `x` is "-", "=" or an alphabet character; `dataChars` counts the data
// characters before it.
ScanState nextState(ScanState state, std::uint8_t x, std::uint32_t dataChars) {
  switch (state) {
    case ScanState::Data:
      if (x == kDash) return ScanState::OpenDashes;
      if (x == kPad) return (dataChars + 1) % 4 == 0 ? ScanState::End : ScanState::OnePad;
      return ScanState::Data;
    case ScanState::OpenDashes:
      return x == kDash ? ScanState::OpenDashes : ScanState::Label;
    case ScanState::Label:
      return x == kDash ? ScanState::CloseDashes : ScanState::Label;
    case ScanState::CloseDashes:
      return x == kDash ? ScanState::CloseDashes : ScanState::Data;
    case ScanState::OnePad:
      return x == kPad ? ScanState::End : ScanState::Error;
    case ScanState::End:
    case ScanState::Error:
      break;
  }
  return state;
}

bool isDataState(ScanState state) {
  return state == ScanState::Data || state == ScanState::OnePad || state == ScanState::End;
}

bool isFinalState(ScanState state) { return state == ScanState::End || state == ScanState::Error; }

struct ScanResult {
  ScanState state = ScanState::Data;
  std::uint32_t dataChars = 0;
  std::uint32_t pads = 0;

  bool accepted() const { return pads <= 2 && dataChars % 4 == 0 && state != ScanState::Error; }
  std::uint32_t decodedLength() const { return dataChars / 4 * 3 - pads; }
};

// Runs the scan state machine over the text and hands every data character
// to the sink. In the Data state the sink may first take a run of bytes
// itself (takeRun), as long as the run holds no "-" and no "=": such bytes
// leave the state unchanged, so only the count of data characters moves.
template <typename Sink>
ScanResult scanText(const std::uint8_t* text, std::size_t length, Sink& sink) {
  ScanResult scan;
  std::size_t at = 0;
  while (at < length) {
    if (scan.state == ScanState::Data) {
      at += sink.takeRun(text + at, length - at, scan.dataChars);
      if (at == length) break;
    }
    const std::uint8_t x = text[at++];
    if (kDigitValues[x] == kNotDigit && x != kDash) continue;
    scan.state = nextState(scan.state, x, scan.dataChars);
    if (isDataState(scan.state)) {
      ++scan.dataChars;
      if (x == kPad) ++scan.pads;
      sink.take(x);
    }
    if (isFinalState(scan.state)) break;
  }
  return scan;
}

// What the Data state does with each byte: skip it, count it as a digit, or
// stop the fast run ("-" and "=" change the state).
enum ByteClass : std::uint8_t { kSkipped = 0, kDigit = 1, kStateChange = 2 };

constexpr std::array<std::uint8_t, 256> kByteClasses = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte)
    table[byte] = kDigitValues[byte] != kNotDigit ? kDigit : kSkipped;
  table[kPad] = kStateChange;
  table[kDash] = kStateChange;
  return table;
}();

// ---------------------------------------------------------------------------
// Runs of plain digits, sixteen at a time where the processor can (SSSE3,
// chosen at run time); the scalar loops of the sinks finish every run.

#if defined(__SSE2__) && defined(__GNUC__)
#define TARVENHOLM_BASE64_SSSE3 1

// 0xFF for every byte that is an alphabet character ("=" is not), else 0.
// A byte is a digit unless invalidByLow[low nibble] and rowOfHigh[high
// nibble] share a bit: one bit per row of the ASCII table ("+/", digits,
// upper-case, lower-case, every other row), marking the columns that are
// not digits in that row.
__attribute__((target("ssse3"))) inline __m128i digitMask(__m128i chars) {
  const __m128i invalidByLow = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13,
                                             0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m128i rowOfHigh = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                          0x10, 0x10, 0x10, 0x10);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i high = _mm_and_si128(_mm_srli_epi32(chars, 4), nibble);
  const __m128i invalid =
      _mm_and_si128(_mm_shuffle_epi8(invalidByLow, _mm_and_si128(chars, nibble)), _mm_shuffle_epi8(rowOfHigh, high));
  return _mm_cmpeq_epi8(invalid, _mm_setzero_si128());
}

__attribute__((target("ssse3"))) inline __m128i stateChangeMask(__m128i chars) {
  return _mm_or_si128(_mm_cmpeq_epi8(chars, _mm_set1_epi8(static_cast<char>(kDash))),
                      _mm_cmpeq_epi8(chars, _mm_set1_epi8(static_cast<char>(kPad))));
}

// Skips whole blocks of sixteen bytes without "-" or "=" and adds their
// alphabet characters to `digits`; returns the bytes skipped.
__attribute__((target("ssse3"))) std::size_t countDigitBlocksSsse3(const std::uint8_t* text, std::size_t length,
                                                                   std::uint32_t& digits) {
  const auto load = [text](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at)); };
  __m128i sums = _mm_setzero_si128();
  std::size_t at = 0;
  // Four blocks per round; a digit's mask is -1, so subtracting counts it.
  for (; length - at >= 64; at += 64) {
    const __m128i b0 = load(at), b1 = load(at + 16), b2 = load(at + 32), b3 = load(at + 48);
    const __m128i stops = _mm_or_si128(_mm_or_si128(stateChangeMask(b0), stateChangeMask(b1)),
                                       _mm_or_si128(stateChangeMask(b2), stateChangeMask(b3)));
    if (_mm_movemask_epi8(stops) != 0) break;
    const __m128i counts = _mm_sub_epi8(_mm_sub_epi8(_mm_setzero_si128(), _mm_add_epi8(digitMask(b0), digitMask(b1))),
                                        _mm_add_epi8(digitMask(b2), digitMask(b3)));
    sums = _mm_add_epi64(sums, _mm_sad_epu8(counts, _mm_setzero_si128()));
  }
  for (; length - at >= 16; at += 16) {
    const __m128i block = load(at);
    if (_mm_movemask_epi8(stateChangeMask(block)) != 0) break;
    sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_sub_epi8(_mm_setzero_si128(), digitMask(block)), _mm_setzero_si128()));
  }
  digits += static_cast<std::uint32_t>(_mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
  return at;
}

// Decodes whole blocks of sixteen alphabet characters into twelve bytes
// while sixteen bytes of room remain (the last four of each store are
// scratch); returns the characters consumed.
__attribute__((target("ssse3"))) std::size_t decodeDigitBlocksSsse3(const std::uint8_t* text, std::size_t length,
                                                                    std::uint8_t* out, std::size_t room) {
  // What to add to a character to get its digit value, by high nibble; "/"
  // shares its row with "+" and is moved to index 1.
  const __m128i offsetByHigh = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i nibble = _mm_set1_epi8(0x0F);
  const __m128i slash = _mm_set1_epi8('/');
  // Pairs of digits to 12 bits, pairs of those to 24, then each group's
  // three bytes in output order.
  const __m128i joinDigits = _mm_set1_epi32(0x01400140);
  const __m128i joinPairs = _mm_set1_epi32(0x00011000);
  const __m128i orderBytes = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  std::size_t at = 0;
  for (; length - at >= 16 && room >= 16; at += 16, out += 12, room -= 12) {
    const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
    if (_mm_movemask_epi8(digitMask(chars)) != 0xFFFF) break;
    const __m128i high = _mm_and_si128(_mm_srli_epi32(chars, 4), nibble);
    const __m128i offsets = _mm_shuffle_epi8(offsetByHigh, _mm_add_epi8(high, _mm_cmpeq_epi8(chars, slash)));
    const __m128i digits = _mm_add_epi8(chars, offsets);
    const __m128i groups = _mm_madd_epi16(_mm_maddubs_epi16(digits, joinDigits), joinPairs);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_shuffle_epi8(groups, orderBytes));
  }
  return at;
}

bool hasSsse3() {
  static const bool supported = __builtin_cpu_supports("ssse3");
  return supported;
}
#endif

std::size_t countDigitBlocks([[maybe_unused]] const std::uint8_t* text, [[maybe_unused]] std::size_t length,
                             [[maybe_unused]] std::uint32_t& digits) {
#ifdef TARVENHOLM_BASE64_SSSE3
  if (hasSsse3()) return countDigitBlocksSsse3(text, length, digits);
#endif
  return 0;
}

std::size_t decodeDigitBlocks([[maybe_unused]] const std::uint8_t* text, [[maybe_unused]] std::size_t length,
                              [[maybe_unused]] std::uint8_t* out, [[maybe_unused]] std::size_t room) {
#ifdef TARVENHOLM_BASE64_SSSE3
  if (hasSsse3()) return decodeDigitBlocksSsse3(text, length, out, room);
#endif
  return 0;
}

// First pass: only counts.
struct DigitCounter {
  std::size_t takeRun(const std::uint8_t* text, std::size_t length, std::uint32_t& dataChars) {
    std::uint32_t digits = 0;
    std::size_t at = countDigitBlocks(text, length, digits);
    for (; at < length; ++at) {
      const std::uint8_t byteClass = kByteClasses[text[at]];
      if (byteClass == kStateChange) break;
      digits += byteClass;
    }
    dataChars += digits;
    return at;
  }
  void take(std::uint8_t) {}
};

// d0 to d3 are the digit values of the four characters ("=" is 0); the
// group yields 3 bytes less one per "=", and writes only those.
std::size_t decodeGroup(const std::uint8_t* chars, std::uint8_t* out) {
  const std::uint8_t d0 = kDigitValues[chars[0]], d1 = kDigitValues[chars[1]];
  const std::uint8_t d2 = kDigitValues[chars[2]], d3 = kDigitValues[chars[3]];
  const std::uint8_t bytes[3] = {static_cast<std::uint8_t>(d0 << 2 | d1 >> 4),
                                 static_cast<std::uint8_t>((d1 & 15) << 4 | d2 >> 2),
                                 static_cast<std::uint8_t>((d2 & 3) << 6 | d3)};
  const std::size_t yield = 3 - static_cast<std::size_t>(std::count(chars, chars + 4, kPad));
  std::memcpy(out, bytes, yield);
  return yield;
}

// The fast form of decodeGroup for four alphabet characters: each table
// holds a character's bits already in place in the three output bytes
// (first byte lowest), and every byte outside the alphabet, "=" included,
// sets bits above them.
constexpr std::uint32_t kInvalidPlace = 0xFF000000;

constexpr std::array<std::uint32_t, 256> placeTable(int position) {
  std::array<std::uint32_t, 256> table{};
  for (std::size_t byte = 0; byte < table.size(); ++byte) {
    const std::uint32_t digit = kDigitValues[byte];
    if (digit == kNotDigit || byte == kPad) {
      table[byte] = kInvalidPlace;
      continue;
    }
    switch (position) {
      case 0:
        table[byte] = digit << 2;
        break;
      case 1:
        table[byte] = digit >> 4 | (digit & 15) << 12;
        break;
      case 2:
        table[byte] = (digit >> 2) << 8 | (digit & 3) << 22;
        break;
      default:
        table[byte] = digit << 16;
        break;
    }
  }
  return table;
}

constexpr auto kPlace0 = placeTable(0);
constexpr auto kPlace1 = placeTable(1);
constexpr auto kPlace2 = placeTable(2);
constexpr auto kPlace3 = placeTable(3);

inline std::uint32_t placeGroup(const std::uint8_t* chars) {
  return kPlace0[chars[0]] | kPlace1[chars[1]] | kPlace2[chars[2]] | kPlace3[chars[3]];
}

// Writes the three bytes of a placed group, and a fourth scratch byte that
// the next group overwrites; the caller makes sure it is inside the output.
inline void storePlacedGroup(std::uint32_t placed, std::uint8_t* out) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &placed, 4);
  } else {
    out[0] = static_cast<std::uint8_t>(placed);
    out[1] = static_cast<std::uint8_t>(placed >> 8);
    out[2] = static_cast<std::uint8_t>(placed >> 16);
  }
}

// Second pass: collects the data characters into groups of four and writes
// their bytes. Whole groups of alphabet characters that start on a group
// boundary are decoded straight from the text.
class GroupWriter {
 public:
  GroupWriter(std::uint8_t* out, std::uint32_t length) : out_(out), end_(out + length) {}

  std::size_t takeRun(const std::uint8_t* text, std::size_t length, std::uint32_t& dataChars) {
    if (filled_ != 0) return 0;
    std::size_t at = decodeDigitBlocks(text, length, out_, static_cast<std::size_t>(end_ - out_));
    out_ += at / 4 * 3;
    // The rest of the run, a group at a time while the scratch byte fits.
    while (length - at >= 4 && end_ - out_ >= 4) {
      const std::uint32_t placed = placeGroup(text + at);
      if (placed & kInvalidPlace) break;
      storePlacedGroup(placed, out_);
      out_ += 3;
      at += 4;
    }
    dataChars += static_cast<std::uint32_t>(at);
    return at;
  }

  void take(std::uint8_t x) {
    group_[filled_++] = x;
    if (filled_ == 4) {
      out_ += decodeGroup(group_, out_);
      filled_ = 0;
    }
  }

 private:
  std::uint8_t* out_;
  std::uint8_t* const end_;
  std::uint8_t group_[4] = {};
  int filled_ = 0;
};

const std::uint8_t* asBytes(const char* text) { return reinterpret_cast<const std::uint8_t*>(text); }

}  // namespace

int base64EncodedLength(std::uint32_t count, std::uint8_t lineBreak, std::uint32_t lineLength,
                        std::uint32_t* length) {
  const std::optional<std::uint32_t> encoded = encodedLength(count, lineBreak, lineLength);
  if (length != nullptr) *length = encoded.value_or(0);
  return encoded.has_value() ? 1 : 0;
}

int base64Encode(const std::uint8_t* data, std::uint32_t count, char* text, std::uint8_t lineBreak,
                 std::uint32_t lineLength) {
  if (!encodedLength(count, lineBreak, lineLength)) return 0;
  const std::string_view breakText = lineBreakText(lineBreak);
  const bool breaksLines = lineBreak != kBase64NoBreaks;
  const std::uint32_t fullGroups = count / 3;
  const std::uint32_t groupsPerLine = breaksLines ? lineLength / 4 : fullGroups;
  char* out = text;
  for (std::uint32_t done = 0; done < fullGroups;) {
    const std::uint32_t groups = std::min(groupsPerLine, fullGroups - done);
    out = encodeGroups(data + std::size_t{done} * 3, groups, out);
    done += groups;
    if (breaksLines && groups == groupsPerLine) out = std::copy(breakText.begin(), breakText.end(), out);
  }
  const std::uint32_t remaining = count % 3;
  if (remaining != 0) {
    std::uint8_t last[3] = {};
    std::memcpy(last, data + std::size_t{fullGroups} * 3, remaining);
    encodeGroup(last, out);
    std::fill(out + 1 + remaining, out + 4, static_cast<char>(kPad));
    out += 4;
  }
  if (breaksLines && (fullGroups % groupsPerLine != 0 || remaining != 0))
    std::copy(breakText.begin(), breakText.end(), out);
  return 1;
}

int base64DecodedLength(const char* text, std::uint32_t length, std::uint32_t* count) {
  if (count != nullptr) *count = 0;
  if (text == nullptr && length != 0) return 0;
  DigitCounter counter;
  const ScanResult scan = scanText(asBytes(text), length, counter);
  if (!scan.accepted()) return 0;
  if (count != nullptr) *count = scan.decodedLength();
  return 1;
}

int base64Decode(const char* text, std::uint32_t length, std::uint8_t* out) {
  if (text == nullptr && length != 0) return 0;
  // The whole text is checked before the first byte is written, so a
  // rejected text writes nothing and an accepted one exactly its length.
  DigitCounter counter;
  const ScanResult scan = scanText(asBytes(text), length, counter);
  if (!scan.accepted()) return 0;
  GroupWriter writer(out, scan.decodedLength());
  scanText(asBytes(text), length, writer);
  return 1;
}

}  // namespace tarvenholm
