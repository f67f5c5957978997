// The request as an independent peer sees it: the base64 and openssl
// commands decode, parse and verify what buildRequest hands back.

// OpenSSL's headers (through the crypt fixtures) come before the platform's.
#include "testlib/process_start.h"
#include "testlib/request_case.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/keyrecords.h"
#include "engine/request.h"
#include "engine/settings.h"
#include "support/errors.h"

namespace {

using namespace tarvenholm;
using testing_support::kEnhancedProvider;

struct CommandResult {
  int status;
  std::string output;  // standard output and standard error
};

CommandResult run(const std::string& commandLine) {
  CommandResult result;
  result.status = testing_support::runCommand(commandLine, result.output);
  return result;
}

// One line of `openssl asn1parse`: offset, depth, header and content length,
// the tag and what follows its colon.
struct Asn1Line {
  std::size_t offset;
  int depth;
  std::size_t headerLength;
  std::size_t length;
  std::string tag;
  std::string value;
};

std::vector<Asn1Line> parseAsn1(const std::string& listing) {
  static const std::regex line(R"(^\s*(\d+):d=(\d+)\s+hl=(\d+)\s+l=\s*(\d+)\s+(?:cons|prim):\s+(.*?)\s*(?::(.*))?$)");
  std::vector<Asn1Line> lines;
  std::istringstream in(listing);
  for (std::string text; std::getline(in, text);) {
    std::smatch match;
    if (!std::regex_match(text, match, line)) continue;
    std::string tag = match[5];
    tag.erase(tag.find_last_not_of(' ') + 1);
    lines.push_back({std::stoul(match[1]), std::stoi(match[2]), std::stoul(match[3]), std::stoul(match[4]), tag,
                     match[6].matched ? std::string(match[6]) : std::string()});
  }
  return lines;
}

class RequestInterop : public testing_support::RequestCase {
 protected:
  // The request of the last call decoded by the base64 command into req.der.
  std::string decodeRequest() {
    const std::string text = dir() + "/req.b64";
    std::ofstream(text) << slot_.text();
    const CommandResult decoded = run("base64 -d " + text + " > " + der());
    EXPECT_EQ(decoded.status, 0) << decoded.output;
    const std::vector<BYTE> bytes = testing_support::readFile(der());
    return std::string(bytes.begin(), bytes.end());
  }

  std::string der() const { return dir() + "/req.der"; }
  std::string dir() const { return home_.path(); }

  // The identifier of the request's public key as the openssl command
  // computes it: the SHA-1 digest of the DER SubjectPublicKeyInfo.
  std::string requestKeyId() {
    const CommandResult digest = run("openssl req -inform DER -in " + der() +
                                     " -noout -pubkey | openssl pkey -pubin -outform DER | openssl dgst -sha1 -r");
    EXPECT_EQ(digest.status, 0) << digest.output;
    std::string hex = digest.output.substr(0, digest.output.find(' '));
    std::transform(hex.begin(), hex.end(), hex.begin(), [](unsigned char c) { return std::toupper(c); });
    return hex;
  }

  void expectVerifiedWithKeyOf(int bits) {
    const CommandResult verified = run("openssl req -inform DER -in " + der() + " -verify -noout");
    EXPECT_EQ(verified.status, 0) << verified.output;
    EXPECT_NE(verified.output.find("verify OK"), std::string::npos) << verified.output;
    const CommandResult text = run("openssl req -inform DER -in " + der() + " -noout -text");
    EXPECT_NE(text.output.find("Public-Key: (" + std::to_string(bits) + " bit)"), std::string::npos) << text.output;
  }

  void expectRecordOfTheRequestKey(const std::string& provider) {
    const std::vector<std::string> containers = testing_support::rsaKeyContainers();
    ASSERT_EQ(containers.size(), 1u);
    const std::string path = keyRecordPath(requestKeyId());
    EXPECT_TRUE(regKeyExists(HKEY_LOCAL_MACHINE, path)) << path;
    EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, path, kContainerValueName), containers[0]);
    EXPECT_EQ(regReadString(HKEY_LOCAL_MACHINE, path, kProviderValueName), provider);
  }
};

TEST_F(RequestInterop, IsAVersion0RequestWithOneMultiValuedRdnAndNoAttributes) {
  ASSERT_EQ(build("2.5.4.3=Pe\xc3\xb1"
                  "a Nieto;2.5.4.10=Test Org;1.2.840.113549.1.9.1=user@example.org;2.5.4.6=MX"),
            kSuccess);
  const std::string bytes = decodeRequest();
  EXPECT_EQ(slot_.text().size(), (bytes.size() + 2) / 3 * 4);
  expectVerifiedWithKeyOf(512);

  const CommandResult listing = run("openssl asn1parse -inform DER -in " + der());
  ASSERT_EQ(listing.status, 0) << listing.output;
  const std::vector<Asn1Line> lines = parseAsn1(listing.output);
  ASSERT_GE(lines.size(), 4u) << listing.output;

  // certificationRequestInfo: version, subject, key, attributes.
  std::vector<const Asn1Line*> info;
  for (const Asn1Line& line : lines)
    if (line.depth == 2 && line.offset < lines[1].offset + lines[1].headerLength + lines[1].length)
      info.push_back(&line);
  ASSERT_EQ(info.size(), 4u) << listing.output;
  EXPECT_EQ(info[0]->tag, "INTEGER");
  EXPECT_EQ(info[0]->value, "00");
  EXPECT_EQ(info[1]->tag, "SEQUENCE");
  EXPECT_EQ(info[3]->tag, "cont [ 0 ]");
  EXPECT_EQ(info[3]->length, 0u);

  // The subject: one SET, holding every attribute with its string type.
  const std::size_t subjectEnd = info[1]->offset + info[1]->headerLength + info[1]->length;
  int sets = 0;
  std::multiset<std::tuple<std::string, std::string, std::string>> attributes;
  std::string objectName;
  for (const Asn1Line& line : lines) {
    if (line.offset <= info[1]->offset || line.offset >= subjectEnd) continue;
    if (line.depth == 3 && line.tag == "SET") ++sets;
    if (line.depth == 5 && line.tag == "OBJECT") objectName = line.value;
    if (line.depth == 5 && line.tag != "OBJECT") attributes.insert({objectName, line.tag, line.value});
  }
  EXPECT_EQ(sets, 1);
  EXPECT_EQ(attributes, (std::multiset<std::tuple<std::string, std::string, std::string>>{
                            {"commonName", "UTF8STRING",
                             "Pe\xc3\xb1"
                             "a Nieto"},
                            {"organizationName", "PRINTABLESTRING", "Test Org"},
                            {"emailAddress", "IA5STRING", "user@example.org"},
                            {"countryName", "PRINTABLESTRING", "MX"}}));

  // signatureAlgorithm: 1.3.14.3.2.29, checked in the DER itself.
  const auto algorithm = std::find_if(lines.begin(), lines.end(), [&](const Asn1Line& line) {
    return line.depth == 2 && line.tag == "OBJECT" && line.offset >= subjectEnd;
  });
  ASSERT_NE(algorithm, lines.end()) << listing.output;
  const std::string sha1WithRsa("\x06\x05\x2b\x0e\x03\x02\x1d", 7);
  EXPECT_EQ(bytes.substr(algorithm->offset, sha1WithRsa.size()), sha1WithRsa);
  EXPECT_EQ(lines.back().depth, 1);
  EXPECT_EQ(lines.back().tag, "BIT STRING");

  expectRecordOfTheRequestKey(kEnhancedProvider);
}

class AcceptedKeySize : public RequestInterop, public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(AcceptedKeySize, GivesAVerifiedRequestWithAKeyOfThatSize) {
  setKeySizeSetting(GetParam());
  setProviderNameSetting("Microsoft Strong Cryptographic Provider");
  ASSERT_EQ(build(), kSuccess);
  EXPECT_TRUE(boxes_.boxes().empty());
  decodeRequest();
  expectVerifiedWithKeyOf(GetParam());
  expectRecordOfTheRequestKey("Microsoft Strong Cryptographic Provider");
}

INSTANTIATE_TEST_SUITE_P(AllSeven, AcceptedKeySize, ::testing::ValuesIn(kAcceptedKeySizes));

}  // namespace
