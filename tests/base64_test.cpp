#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/base64.h"

namespace {

using tarvenholm::base64Decode;
using tarvenholm::base64DecodedLength;
using tarvenholm::base64Encode;
using tarvenholm::base64EncodedLength;
using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The text base64Encode writes, checked against base64EncodedLength and
// against guard bytes after the end.
std::string encode(const Bytes& data, std::uint8_t lineBreak = 0, std::uint32_t lineLength = 0) {
  std::uint32_t length = 0;
  EXPECT_EQ(base64EncodedLength(static_cast<std::uint32_t>(data.size()), lineBreak, lineLength, &length), 1);
  std::string text(length + 8, '#');
  EXPECT_EQ(base64Encode(data.data(), static_cast<std::uint32_t>(data.size()), text.data(), lineBreak, lineLength), 1);
  EXPECT_EQ(text.substr(length), "########");
  text.resize(length);
  return text;
}

struct Decoded {
  bool accepted;
  Bytes bytes;
};

// Decodes into a buffer of exactly base64DecodedLength bytes followed by
// guard bytes, and checks that both functions agree and nothing overruns.
Decoded decode(const std::string& text) {
  std::uint32_t count = 12345;
  const int verdict = base64DecodedLength(text.data(), static_cast<std::uint32_t>(text.size()), &count);
  if (verdict == 0) {
    EXPECT_EQ(count, 0u);
  }
  constexpr std::size_t kGuard = 32;
  Bytes out(count + kGuard, 0xA5);
  const int decoded = base64Decode(text.data(), static_cast<std::uint32_t>(text.size()), out.data());
  EXPECT_EQ(decoded, verdict) << text;
  for (std::size_t i = count; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << "overrun at " << i << " of " << text;
  out.resize(count);
  return {verdict == 1, out};
}

TEST(Base64Encode, MatchesTheRfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& [plain, text] : vectors) {
    EXPECT_EQ(encode(bytesOf(plain)), text);
    const Decoded decoded = decode(text);
    EXPECT_TRUE(decoded.accepted) << text;
    EXPECT_EQ(decoded.bytes, bytesOf(plain)) << text;
  }
}

TEST(Base64Encode, AgreesWithOpenSslOnRandomData) {
  std::mt19937 random(7);
  for (std::size_t size = 0; size < 300; ++size) {
    Bytes data(size);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    std::string expected(4 * ((size + 2) / 3) + 1, '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()), data.data(),
                                        static_cast<int>(size));
    expected.resize(static_cast<std::size_t>(written));
    EXPECT_EQ(encode(data), expected) << size;
  }
}

TEST(Base64Encode, LengthsFollowTheLineLayout) {
  std::uint32_t length = 99;
  EXPECT_EQ(base64EncodedLength(0, 0, 0, &length), 1);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(base64EncodedLength(0, 1, 64, &length), 1);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(base64EncodedLength(20, 0, 64, &length), 1);
  EXPECT_EQ(length, 28u);
  EXPECT_EQ(base64EncodedLength(48, 1, 64, &length), 1);
  EXPECT_EQ(length, 66u);
  EXPECT_EQ(base64EncodedLength(49, 1, 64, &length), 1);
  EXPECT_EQ(length, 72u);
  EXPECT_EQ(base64EncodedLength(49, 2, 64, &length), 1);
  EXPECT_EQ(length, 70u);
  EXPECT_EQ(base64EncodedLength(49, 7, 64, &length), 1);  // an unknown mode writes no breaks
  EXPECT_EQ(length, 68u);
}

TEST(Base64Encode, RefusesBadLineLengthsAndTextsBeyond32Bits) {
  for (const std::uint8_t mode : {0, 1, 2, 3}) {
    std::uint32_t length = 99;
    EXPECT_EQ(base64EncodedLength(10, mode, 62, &length), 0) << int{mode};
    EXPECT_EQ(length, 0u);
  }
  std::uint32_t length = 99;
  EXPECT_EQ(base64EncodedLength(10, 0, 0, &length), 1);
  for (const std::uint8_t mode : {1, 2, 3}) {
    length = 99;
    EXPECT_EQ(base64EncodedLength(10, mode, 0, &length), 0) << int{mode};
    EXPECT_EQ(length, 0u);
  }
  // 4 * ceil(count / 3) characters no longer fit the 32-bit length.
  EXPECT_EQ(base64EncodedLength(3221225469u, 0, 0, &length), 1);
  EXPECT_EQ(length, 4294967292u);
  EXPECT_EQ(base64EncodedLength(3221225472u, 0, 0, &length), 0);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(base64EncodedLength(3221225469u, 1, 64, &length), 0);

  const Bytes data(10, 0x41);
  std::string text(32, '#');
  EXPECT_EQ(base64Encode(data.data(), 10, text.data(), 0, 62), 0);
  EXPECT_EQ(base64Encode(data.data(), 10, text.data(), 2, 0), 0);
  EXPECT_EQ(base64Encode(data.data(), 3221225472u, text.data(), 0, 0), 0);
  EXPECT_EQ(text, std::string(32, '#'));
}

TEST(Base64Encode, BreaksLinesAndEndsEveryLineWithABreak) {
  Bytes data(49);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 37);
  const std::string oneLine = encode(data);
  ASSERT_EQ(oneLine.size(), 68u);
  EXPECT_EQ(encode(data, 1, 64), oneLine.substr(0, 64) + "\r\n" + oneLine.substr(64) + "\r\n");
  EXPECT_EQ(encode(data, 2, 64), oneLine.substr(0, 64) + "\n" + oneLine.substr(64) + "\n");
  EXPECT_EQ(encode(data, 0, 64), oneLine);
  EXPECT_EQ(encode(data, 9, 16), oneLine);
  // Full last line: one break after it, none more.
  const Bytes fortyEight(data.begin(), data.begin() + 48);
  EXPECT_EQ(encode(fortyEight, 1, 32), oneLine.substr(0, 32) + "\r\n" + oneLine.substr(32, 32) + "\r\n");
  // A last line made only of the padded group.
  const Bytes fiftyThree(53, 0xFF);
  const std::string padded = encode(fiftyThree, 2, 68);
  EXPECT_EQ(padded.substr(68), "\n//8=\n");
  EXPECT_EQ(encode({}, 1, 64), "");
}

TEST(Base64Decode, SkipsBytesOutsideTheAlphabet) {
  const Bytes foobar = bytesOf("foobar");
  using namespace std::string_literals;
  for (const std::string& text : {"Zm9v\r\nYmFy"s, " Z m 9 v Y m F y "s, "Zm9vYmFy\r\n"s, "\tZm\x80\xFF\x00 9vYmFy"s}) {
    const Decoded decoded = decode(text);
    EXPECT_TRUE(decoded.accepted) << text;
    EXPECT_EQ(decoded.bytes, foobar) << text;
  }
}

TEST(Base64Decode, ReadsOneArmouredBlock) {
  const Decoded decoded = decode(
      "-----BEGIN CERTIFICATE-----\r\nZm9v\r\nYmE=\r\n-----END CERTIFICATE-----\r\n");
  EXPECT_TRUE(decoded.accepted);
  EXPECT_EQ(decoded.bytes, bytesOf("fooba"));
  // Without padding the footer is read too, but its label is not data.
  const Decoded unpadded = decode("-----BEGIN X-----\nZm9vYmFy\n-----END X-----\n");
  EXPECT_TRUE(unpadded.accepted);
  EXPECT_EQ(unpadded.bytes, bytesOf("foobar"));
}

TEST(Base64Decode, IsStrictAboutPadding) {
  for (const std::string text : {"Zg=", "Zg", "Zg=A", "Zg=-", "Zm9v=", "====", "=", "Z===", "Zm9vY"})
    EXPECT_FALSE(decode(text).accepted) << text;
  const Decoded split = decode("Zg=\r\n=");
  EXPECT_TRUE(split.accepted);
  EXPECT_EQ(split.bytes, bytesOf("f"));
  const Decoded empty = decode("");
  EXPECT_TRUE(empty.accepted);
  EXPECT_TRUE(empty.bytes.empty());
  EXPECT_TRUE(decode("\r\n \t").accepted);
}

TEST(Base64Decode, StopsReadingAtTheEndOfThePadding) {
  for (const std::string text : {"Zg==Zm9v", "Zg==\r\n-----END X-----", "Zg==%%%=", "Zm8=Zg"}) {
    const Decoded decoded = decode(text);
    EXPECT_TRUE(decoded.accepted) << text;
    EXPECT_EQ(decoded.bytes.size(), text[2] == '=' ? 1u : 2u) << text;
  }
}

TEST(Base64Decode, DashesOpenArmourLinesAnywhere) {
  // "-" inside the digits: "Zm9v" then the label "YmFy" up to the next "-".
  const Decoded label = decode("Zm9v-YmFy-Zm9v");
  EXPECT_TRUE(label.accepted);
  EXPECT_EQ(label.bytes, bytesOf("foofoo"));
  EXPECT_FALSE(decode("Zm9v-YmFy-Zm9").accepted);
  // A label holding "-" closes early; the rest of the label is data.
  const Decoded early = decode("-----A-Zm9v-----");
  EXPECT_TRUE(early.accepted);
  EXPECT_EQ(early.bytes, bytesOf("foo"));
}

TEST(Base64Decode, OfTwoBlocksOnlyAPaddedFirstIsDecodedAlone) {
  const Decoded padded = decode("-----BEGIN A-----\nZg==\n-----END A-----\n-----BEGIN B-----\nZm9v\n-----END B-----\n");
  EXPECT_TRUE(padded.accepted);
  EXPECT_EQ(padded.bytes, bytesOf("f"));
  // Unpadded, "END X" and "BEGIN XYZ" run together: the BEGIN label is read
  // as data, the second block's digits as a label, the END label as data.
  const Decoded joined =
      decode("-----BEGIN X-----\nZm9v\n-----END X-----\n-----BEGIN XYZ-----\nZm9v\n-----END X-----\n");
  EXPECT_TRUE(joined.accepted);
  EXPECT_EQ(joined.bytes, decode("Zm9vBEGINXYZENDX").bytes);
  EXPECT_FALSE(decode("-----BEGIN CERTIFICATE-----\nZm9v\n-----END CERTIFICATE-----\n"
                      "-----BEGIN CERTIFICATE-----\nZm9v\n-----END CERTIFICATE-----\n")
                   .accepted);
}

// Random data in every line layout decodes back to itself, with extra
// bytes outside the alphabet scattered through the text; this runs the
// block paths on aligned and unaligned runs alike.
TEST(Base64Decode, RoundTripsRandomDataThroughEveryLayout) {
  std::mt19937 random(11);
  const char noise[] = {' ', '\t', '\r', '\n', '\0', '\x80', '\xC3', '*', '#', '.'};
  for (int round = 0; round < 400; ++round) {
    Bytes data(random() % 700);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    const std::uint8_t mode = static_cast<std::uint8_t>(random() % 3);
    const std::uint32_t lineLength = 4 * (1 + random() % 30);
    std::string text = encode(data, mode, lineLength);
    if (round % 2 == 1) {
      for (int inserted = static_cast<int>(random() % 20); inserted > 0; --inserted)
        text.insert(text.begin() + static_cast<std::ptrdiff_t>(random() % (text.size() + 1)),
                    noise[random() % sizeof noise]);
    }
    const Decoded decoded = decode(text);
    ASSERT_TRUE(decoded.accepted) << text;
    ASSERT_EQ(decoded.bytes, data) << text;
  }
}

// The scan rules written out byte by byte, as a reference for the fast paths.
struct ReferenceScan {
  bool accepted = false;
  Bytes bytes;
};

ReferenceScan referenceScan(const std::string& text) {
  static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  enum { Data, OpenDashes, Label, CloseDashes, OnePad, End, Error } state = Data;
  std::string data;
  int pads = 0;
  for (const char x : text) {
    const bool digit = alphabet.find(x) != std::string::npos;
    if (!digit && x != '=' && x != '-') continue;
    switch (state) {
      case Data: state = x == '-' ? OpenDashes : x == '=' ? ((data.size() + 1) % 4 == 0 ? End : OnePad) : Data; break;
      case OpenDashes: state = x == '-' ? OpenDashes : Label; break;
      case Label: state = x == '-' ? CloseDashes : Label; break;
      case CloseDashes: state = x == '-' ? CloseDashes : Data; break;
      case OnePad: state = x == '=' ? End : Error; break;
      default: break;
    }
    if (state == Data || state == OnePad || state == End) {
      data += x;
      pads += x == '=';
    }
    if (state == End || state == Error) break;
  }
  ReferenceScan result;
  result.accepted = pads <= 2 && data.size() % 4 == 0 && state != Error;
  if (!result.accepted) return result;
  for (std::size_t group = 0; group < data.size(); group += 4) {
    std::uint32_t bits = 0;
    int groupPads = 0;
    for (std::size_t i = 0; i < 4; ++i) {
      const char c = data[group + i];
      groupPads += c == '=';
      bits = bits << 6 | (c == '=' ? 0 : static_cast<std::uint32_t>(alphabet.find(c)));
    }
    for (int i = 0; i < 3 - groupPads; ++i) result.bytes.push_back(static_cast<std::uint8_t>(bits >> (16 - 8 * i)));
  }
  return result;
}

// Texts mutated at random (armour, pads, dashes, noise, cut short) decode
// exactly as the byte-by-byte rules say, and never past the length given.
TEST(Base64Decode, MutatedTextsFollowTheRulesAndNeverOverrun) {
  std::mt19937 random(23);
  const std::string pieces[] = {"=", "==", "-", "-----", "-----BEGIN CERTIFICATE-----\r\n",
                                "\r\n-----END CERTIFICATE-----\r\n", "\r\n", " ", "A", "\xFF", "+/"};
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes data(random() % 200);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    std::string text = encode(data, static_cast<std::uint8_t>(random() % 3), 64);
    for (int edits = static_cast<int>(random() % 4); edits > 0; --edits) {
      const std::size_t at = text.empty() ? 0 : random() % text.size();
      switch (random() % 4) {
        case 0: text.insert(at, pieces[random() % std::size(pieces)]); break;
        case 1: if (!text.empty()) text.erase(at, 1 + random() % 3); break;
        case 2: if (!text.empty()) text[at] = static_cast<char>(random()); break;
        default: text.resize(at); break;
      }
    }
    const ReferenceScan expected = referenceScan(text);
    const Decoded decoded = decode(text);
    ASSERT_EQ(decoded.accepted, expected.accepted) << text;
    ASSERT_EQ(decoded.bytes, expected.bytes) << text;
    accepted += decoded.accepted;
  }
  // Both verdicts occur often enough for the comparison to mean something.
  EXPECT_GT(accepted, 300);
  EXPECT_LT(accepted, 2700);
}

TEST(Base64Decode, RejectedTextWritesNothing) {
  Bytes out(16, 0xA5);
  EXPECT_EQ(base64Decode("Zm9vYmFyZm9vYmFyZm9vYmFyZg=A", 28, out.data()), 0);
  EXPECT_EQ(out, Bytes(16, 0xA5));
  std::uint32_t count = 7;
  EXPECT_EQ(base64DecodedLength(nullptr, 4, &count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(base64DecodedLength(nullptr, 0, &count), 1);
}

}  // namespace
