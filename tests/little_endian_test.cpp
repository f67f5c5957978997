#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "control/form_stream.h"
#include "platform/certprops.h"
#include "platform/comptr.h"
#include "platform/little_endian.h"
#include "platform/typelib.h"
#include "testlib/com_sample.h"

namespace {

using Bytes = std::vector<BYTE>;
using platform::MemoryReader;

TEST(LittleEndian, FieldsAreWrittenLowByteFirstAndReadBack) {
  platform::LittleEndianWriter out;
  out.number<BYTE>(0xAB);
  out.number<SHORT>(-2);
  out.number<DWORD>(0x01020304);
  out.number<LONGLONG>(0x0102030405060708);
  out.text(u"\u00e9\u20ac");
  out.raw("xy", 2);
  const Bytes bytes = out.take();
  EXPECT_EQ(bytes, (Bytes{0xAB, 0xFE, 0xFF, 0x04, 0x03, 0x02, 0x01, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03,
                          0x02, 0x01, 0x02, 0x00, 0x00, 0x00, 0xE9, 0x00, 0xAC, 0x20, 'x',  'y'}));

  MemoryReader in(bytes);
  EXPECT_EQ(in.number<BYTE>(), 0xAB);
  EXPECT_EQ(in.number<SHORT>(), -2);
  EXPECT_EQ(in.number<DWORD>(), 0x01020304u);
  EXPECT_EQ(in.number<LONGLONG>(), 0x0102030405060708);
  EXPECT_EQ(in.text(), u"\u00e9\u20ac");
  const BYTE* rest = in.bytes(2);
  ASSERT_NE(rest, nullptr);
  EXPECT_EQ(rest[1], 'y');
  EXPECT_TRUE(in.atEnd());
}

TEST(LittleEndian, AFailedReadSticks) {
  struct Case {
    const char* what;
    Bytes bytes;
    std::function<void(MemoryReader&)> read;
  };
  const Case cases[] = {
      {"number past the end", {1, 2, 3}, [](MemoryReader& in) { EXPECT_EQ(in.number<DWORD>(), 0u); }},
      {"text longer than the data", {0xFF, 0xFF, 0xFF, 0xFF, 'a', 0}, [](MemoryReader& in) { EXPECT_EQ(in.text(), u""); }},
      {"bytes past the end", {1, 2}, [](MemoryReader& in) { EXPECT_EQ(in.bytes(3), nullptr); }},
  };
  for (const Case& c : cases) {
    MemoryReader in(c.bytes);
    c.read(in);
    EXPECT_FALSE(in.ok()) << c.what;
    EXPECT_EQ(in.number<BYTE>(), 0) << c.what << ": bytes remain, yet nothing more is read";
    EXPECT_FALSE(in.atEnd()) << c.what;
  }
}

std::string sha256Hex(const Bytes& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr), 1);
  std::string hex;
  char pair[3];
  for (unsigned int i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

Bytes typeLibraryBytes() { return platform::saveTypeLibrary(*testing_support::shapeLibraryModel()); }

Bytes typeLibraryReread(const Bytes& bytes) {
  platform::LibraryModel library;
  EXPECT_EQ(platform::loadTypeLibrary(bytes.data(), bytes.size(), library), S_OK);
  return platform::saveTypeLibrary(library);
}

Bytes formBytes() {
  tarvenholm::FormImage image;
  image.properties.caption = u"Solicitud \u00e9";
  image.properties.borderWidth = -2;
  image.font.name = u"Tahoma";
  image.font.size.int64 = 100000;
  image.font.weight = FW_BOLD;
  image.font.italic = true;
  return tarvenholm::encodeFormImage(image);
}

Bytes formReread(const Bytes& bytes) {
  platform::ComPtr<IStream> stream;
  EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
  EXPECT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr), S_OK);
  EXPECT_EQ(stream->Seek(LARGE_INTEGER{0}, STREAM_SEEK_SET, nullptr), S_OK);
  tarvenholm::FormImage image;
  EXPECT_EQ(tarvenholm::readFormImage(stream.get(), image), S_OK);
  return tarvenholm::encodeFormImage(image);
}

const platform::certs::PropertyKind& keyProvInfo() {
  return *platform::certs::settableProperty(CERT_KEY_PROV_INFO_PROP_ID);
}

Bytes keyProvInfoBytes() {
  char16_t container[] = u"c1";
  BYTE parameterBytes[] = {0xAB, 0xCD};
  CRYPT_KEY_PROV_PARAM parameter{7, parameterBytes, sizeof parameterBytes, 0x40};
  CRYPT_KEY_PROV_INFO info{container, nullptr, PROV_RSA_FULL, 2, 1, &parameter, AT_KEYEXCHANGE};
  return *keyProvInfo().serialise(&info);
}

Bytes keyProvInfoReread(const Bytes& bytes) {
  DWORD length = 0;
  EXPECT_TRUE(keyProvInfo().unpack(bytes, nullptr, &length));
  std::vector<std::max_align_t> buffer(length / sizeof(std::max_align_t) + 1);
  EXPECT_TRUE(keyProvInfo().unpack(bytes, buffer.data(), &length));
  return keyProvInfo().serialise(buffer.data()).value_or(Bytes{});
}

// Files and hives written by earlier builds must keep loading: each stored
// format's bytes for a fixed input, and what reading them back writes again.
TEST(StoredFormats, KeepTheirBytes) {
  struct Case {
    const char* format;
    Bytes bytes;
    Bytes (*reread)(const Bytes&);
    const char* sha256;
  };
  const Case cases[] = {
      {"type library", typeLibraryBytes(), typeLibraryReread,
       "11818921aca8c080325251d948b1e32ead183b176c7b3ff06e2f2eb28f04f285"},
      {"form", formBytes(), formReread, "bcc92e30975ac93d1d035c6cb55f7a165c86f8820916241d2d8339fef96ca333"},
      {"key provider property", keyProvInfoBytes(), keyProvInfoReread,
       "5e2a044ec941277ba8bcefee8d6cffc1e3293755b79563ef0b479d3f96603541"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sha256Hex(c.bytes), c.sha256) << c.format;
    EXPECT_EQ(c.reread(c.bytes), c.bytes) << c.format;
  }
}

}  // namespace
