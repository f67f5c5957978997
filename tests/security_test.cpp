// What a whole enrolment with `tarvenholm` (genreq, setcert, store export)
// may and may not leave behind: a home only its user can enter, no private
// key material in anything the command prints, and a password-protected key
// that is nowhere in the home in clear.
//
// The key material looked for comes from the PKCS#12 file the user exported:
// the PrivateKeyInfo's DER and its PEM, the private exponent and the prime
// factors as bytes and as hexadecimal text, and the modulus in hexadecimal
// (the request carries it only in base64).
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>

#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/openssl_handles.h"
#include "testlib/enrolment_audit.h"
#include "testlib/host_fixture.h"

namespace {

using testing_support::HostEnvironment;
using testing_support::HostRun;
using testing_support::readText;
using testing_support::runHost;
using testing_support::writeText;

constexpr const char* kNames = "2.5.4.3=Ana Ruiz;2.5.4.10=Example;2.5.4.6=MX";

// Every form in which a private key could leak, each with a name for the
// failure message.
using KeyForms = std::map<std::string, std::string>;

std::string bytesOf(const BIGNUM* number) {
  std::string bytes(static_cast<std::size_t>(BN_num_bytes(number)), '\0');
  BN_bn2bin(number, reinterpret_cast<unsigned char*>(bytes.data()));
  return bytes;
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

// "a1:b2:..." as `openssl rsa -text` prints a number, for its first bytes.
std::string colonHex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (std::size_t at = 0; at < std::min<std::size_t>(bytes.size(), 16); ++at) {
    if (at > 0) text += ':';
    text += digits[static_cast<unsigned char>(bytes[at]) >> 4];
    text += digits[static_cast<unsigned char>(bytes[at]) & 15];
  }
  return text;
}

KeyForms keyFormsOf(const std::string& pkcs12Path, const std::string& password) {
  KeyForms forms;
  const std::string file = readText(pkcs12Path);
  const unsigned char* cursor = reinterpret_cast<const unsigned char*>(file.data());
  const platform::UniquePkcs12 bundle(d2i_PKCS12(nullptr, &cursor, static_cast<long>(file.size())));
  EVP_PKEY* opened = nullptr;
  X509* certificate = nullptr;
  const bool parsed = bundle && PKCS12_parse(bundle.get(), password.c_str(), &opened, &certificate, nullptr) == 1;
  const platform::UniquePkey key(opened);
  const platform::UniqueX509 unused(certificate);
  if (!parsed) {
    ADD_FAILURE() << "the exported file does not open";
    return forms;
  }

  const std::vector<unsigned char> der = platform::derOf<EVP_PKEY, i2d_PrivateKey>(key.get());
  forms["PrivateKey DER"] = std::string(der.begin(), der.end());
  const platform::UniqueBio pem(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  char* pemText = nullptr;
  const long pemLength = BIO_get_mem_data(pem.get(), &pemText);
  const std::vector<std::string> lines = testing_support::linesOf(std::string(pemText, static_cast<std::size_t>(pemLength)));
  // The second line of the PEM body: base64 of key bytes only, whatever
  // comes before it.
  if (lines.size() > 3) forms["PEM line"] = lines[2];

  for (const auto& [name, parameter] : {std::pair{"private exponent", OSSL_PKEY_PARAM_RSA_D},
                                        std::pair{"first prime", OSSL_PKEY_PARAM_RSA_FACTOR1},
                                        std::pair{"second prime", OSSL_PKEY_PARAM_RSA_FACTOR2},
                                        std::pair{"modulus", OSSL_PKEY_PARAM_RSA_N}}) {
    BIGNUM* read = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), parameter, &read) != 1) {
      ADD_FAILURE() << "no " << name;
      continue;
    }
    const platform::UniqueBignum number(read);
    const platform::UniqueOpensslText hex(BN_bn2hex(number.get()));
    const std::string bytes = bytesOf(number.get());
    if (std::string(name) != "modulus") forms[std::string(name) + " bytes"] = bytes;
    forms[std::string(name) + " hex"] = hex.get();
    forms[std::string(name) + " lower-case hex"] = lowerCase(hex.get());
    forms[std::string(name) + " openssl text"] = colonHex(bytes);
  }
  return forms;
}

// The names of the forms that occur in `text`.
std::vector<std::string> formsFoundIn(const std::string& text, const KeyForms& forms) {
  std::vector<std::string> found;
  for (const auto& [name, bytes] : forms)
    if (!bytes.empty() && text.find(bytes) != std::string::npos) found.push_back(name);
  return found;
}

std::vector<std::string> filesUnder(const std::string& directory) {
  static std::vector<std::string>* collected = nullptr;
  std::vector<std::string> files;
  collected = &files;
  ::nftw(
      directory.c_str(),
      [](const char* path, const struct stat*, int type, struct FTW*) {
        if (type == FTW_F) collected->push_back(path);
        return 0;
      },
      16, FTW_PHYS);
  collected = nullptr;
  return files;
}

class SecurityTest : public testing_support::HostEnrolmentTest {
 protected:
  // A whole enrolment in `home`, a directory the command makes itself:
  // genreq (the key protected with `keyPassword` unless it is empty),
  // setcert of the authority's answer, the listings, and an export of the
  // key with its certificate into the home under the password in
  // `passwordFile` (which also opens a protected key). Everything the runs
  // print is kept in printed_.
  void enrol(const std::string& home, const std::string& keyPassword, const std::string& passwordFile) {
    auto run = [&](std::vector<std::string> args, const HostEnvironment& environment = {}) {
      args.insert(args.begin(), {"--home", home});
      HostRun result = runHost(args, environment);
      EXPECT_EQ(result.status, 0) << args[2] << ": " << result.err;
      printed_ += result.out + result.err;
      return result;
    };
    const HostRun request = run({"genreq", "--names", kNames, "--key-size", "1024"},
                                {"", {{"TARVENHOLM_KEY_PASSWORD", keyPassword}}});
    run({"--trust-new-roots", "setcert", issue(request.out.substr(0, request.out.find('\n')), "--der", "answer")});
    run({"store", "list", "MY"});
    run({"keys", "list"});
    run({"--password-file", passwordFile, "store", "export", issuedThumbprint(), "--out", home + "/export.p12"});
  }

  std::string printed_;
};

TEST_F(SecurityTest, HomeIsPrivateAndNoKeyMaterialIsPrinted) {
  const std::string home = path("fresh/user");
  const std::string passwordFile = path("password");
  writeText(passwordFile, "file secret\n");
  enrol(home, "", passwordFile);

  struct stat status {};
  ASSERT_EQ(::stat(home.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
  const std::vector<std::string> files = filesUnder(home);
  EXPECT_GE(files.size(), 3u) << "two hives and the export";
  for (const std::string& file : files) {
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u) << file;
  }

  const KeyForms forms = keyFormsOf(home + "/export.p12", "file secret");
  ASSERT_FALSE(forms.empty());
  EXPECT_EQ(formsFoundIn(printed_, forms), std::vector<std::string>{});
  for (const std::string& file : files) {
    if (file.find(".hive") != std::string::npos || file == home + "/export.p12") continue;
    EXPECT_EQ(formsFoundIn(readText(file), forms), std::vector<std::string>{}) << file;
  }

  // The search does find a key stored in clear: an unprotected key is in
  // the user hive, which only its user can read.
  std::string hives;
  for (const std::string& file : files)
    if (file.find(".hive") != std::string::npos) hives += readText(file);
  EXPECT_NE(formsFoundIn(hives, forms), std::vector<std::string>{});
}

TEST_F(SecurityTest, PasswordProtectedKeyIsNowhereInTheHomeInClear) {
  const std::string home = path("protected");
  const std::string passwordFile = path("password");
  writeText(passwordFile, "key secret\n");
  enrol(home, "key secret", passwordFile);

  KeyForms forms = keyFormsOf(home + "/export.p12", "key secret");
  ASSERT_FALSE(forms.empty());
  forms.erase("modulus hex");  // public, and hexadecimal text is not how anything is stored
  forms.erase("modulus lower-case hex");
  forms.erase("modulus openssl text");
  EXPECT_EQ(formsFoundIn(printed_, forms), std::vector<std::string>{});
  for (const std::string& file : filesUnder(home)) {
    if (file == home + "/export.p12") continue;
    EXPECT_EQ(formsFoundIn(readText(file), forms), std::vector<std::string>{}) << file;
  }
}

}  // namespace
