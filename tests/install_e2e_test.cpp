// From request to installed, bound certificate, with the openssl command as
// the certification authority: a request made here is issued under a root
// and an intermediate, bundled by openssl, installed, and the key reached
// through the installed certificate signs what its public key verifies.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "platform/openssl_handles.h"
#include "install/install.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "engine/request.h"
#include "engine/settings.h"
#include "support/textconv.h"
#include "testlib/crypt_fixtures.h"
#include "testlib/installed.h"
#include "testlib/process_start.h"

namespace {

using namespace testing_support;
using tarvenholm::installCert;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using platform::UniqueX509;

UniqueX509 certificateFromPem(const std::string& path) {
  const platform::UniqueBio in(BIO_new_file(path.c_str(), "r"));
  return UniqueX509(in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
}

Bytes derOf(const UniqueX509& certificate) { return platform::derOf<X509, i2d_X509>(certificate.get()); }

UniqueX509 certificateFromDer(const Bytes& der) {
  const unsigned char* cursor = der.data();
  return UniqueX509(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
}

// Signs `data` with SHA-256 through the provider, as another program finds
// the key: by the certificate's key-provider property. The signature comes
// back in the platform's byte order and is turned around for OpenSSL.
Bytes signThroughProperty(const KeyProviderProperty& property, const std::string& data) {
  UniqueCryptProv provider;
  if (!CryptAcquireContextA(provider.put(), property.containerName.c_str(), property.providerName.c_str(),
                            property.providerType, property.flags))
    return {};
  Bytes signature = signWithProvider(provider.get(), CALG_SHA_256, data, property.keySpec);
  std::reverse(signature.begin(), signature.end());
  return signature;
}

bool verifies(const Bytes& certificateDer, const std::string& data, const Bytes& signature) {
  const UniqueX509 certificate = certificateFromDer(certificateDer);
  if (!certificate || signature.empty()) return false;
  const platform::UniqueMdCtx verifying(EVP_MD_CTX_new());
  return EVP_DigestVerifyInit(verifying.get(), nullptr, EVP_sha256(), nullptr,
                              X509_get0_pubkey(certificate.get())) == 1 &&
         EVP_DigestVerify(verifying.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

// The intermediate's path length: none, or 0.
class InstallEndToEnd : public InstallTest, public ::testing::WithParamInterface<const char*> {
 protected:
  InstallEndToEnd() {
    tarvenholm::resetSettings();
    std::filesystem::create_directories(authority_);
  }
  ~InstallEndToEnd() override { tarvenholm::resetSettings(); }

  void run(const std::string& arguments) {
    const std::string command = std::string(TARVENHOLM_SOURCE_DIR) + "/scripts/test-ca '" + authority_ + "' " + arguments;
    std::string output;
    ASSERT_EQ(testing_support::runCommand(command, output), 0) << command << "\n" << output;
  }

  // A request made by the engine, issued by the authority: the collection
  // text as the authority hands it out.
  std::string issuedCollection() {
    BSTR request = nullptr;
    EXPECT_EQ(tarvenholm::buildRequest("2.5.4.3=Test User;2.5.4.10=Tarvenholm Tests;2.5.4.6=MX", &request), 2000);
    const UniqueBstr owned(request);
    {
      std::ofstream out(authority_ + "/request.b64", std::ios::binary);
      out << tarvenholm::wideToSystem(request);
    }
    run("init --intermediate-pathlen " + std::string(GetParam()));
    run("issue '" + authority_ + "/request.b64' '" + authority_ + "/issued.b64'");
    return readFile(authority_ + "/issued.b64");
  }

  std::string authority_ = home_.path() + "/authority";
};

TEST_P(InstallEndToEnd, IssuedChainIsInstalledAndTheKeySignsThroughTheBinding) {
  const std::string text = issuedCollection();
  ASSERT_FALSE(text.empty());

  EXPECT_EQ(installCert(text.c_str()), 2000);
  EXPECT_TRUE(boxes_.boxes().empty());

  const Bytes root = derOf(certificateFromPem(authority_ + "/root.pem"));
  const Bytes intermediate = derOf(certificateFromPem(authority_ + "/intermediate.pem"));
  const Bytes user = derOf(certificateFromPem(authority_ + "/user.pem"));
  ASSERT_FALSE(root.empty() || intermediate.empty() || user.empty());
  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root});
  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{intermediate});

  std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  EXPECT_EQ(personal[0].der, user);
  ASSERT_TRUE(personal[0].keyProvider.has_value());
  const KeyProviderProperty property = *personal[0].keyProvider;
  EXPECT_EQ(property.providerName, tarvenholm::kDefaultProviderName);
  EXPECT_EQ(property.providerType, 1u);
  EXPECT_EQ(property.flags, 0u);
  EXPECT_EQ(property.providerParameterCount, 0u);
  EXPECT_EQ(property.keySpec, 1u);
  EXPECT_EQ(property.containerName.size(), 36u);

  const std::string data = "enrolment completed for Test User";
  EXPECT_TRUE(verifies(user, data, signThroughProperty(property, data)));

  // Once more: still one copy in each store, bound as before.
  EXPECT_EQ(installCert(text.c_str()), 2000);
  EXPECT_EQ(storeDers(u"ROOT"), std::vector<Bytes>{root});
  EXPECT_EQ(storeDers(u"CA"), std::vector<Bytes>{intermediate});
  personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  ASSERT_TRUE(personal[0].keyProvider.has_value());
  EXPECT_EQ(personal[0].keyProvider->containerName, property.containerName);
}

TEST_P(InstallEndToEnd, PemArmouredCollectionWithCrLfLineBreaksIsInstalled) {
  ASSERT_FALSE(issuedCollection().empty());
  const std::string pem = authority_ + "/issued.pem";
  std::string output;
  ASSERT_EQ(testing_support::runCommand("openssl crl2pkcs7 -nocrl -certfile '" + authority_ + "/chain.pem' -out '" + pem + "'",
                                        output),
            0)
      << output;
  std::string text;
  for (char c : readFile(pem)) {
    if (c == '\n') text += '\r';
    text += c;
  }
  ASSERT_NE(text.find("-----BEGIN PKCS7-----\r\n"), std::string::npos);

  EXPECT_EQ(installCert(text.c_str()), 2000);

  EXPECT_EQ(storeDers(u"ROOT").size(), 1u);
  EXPECT_EQ(storeDers(u"CA").size(), 1u);
  const std::vector<StoredCertificate> personal = storeContents(u"MY");
  ASSERT_EQ(personal.size(), 1u);
  EXPECT_TRUE(personal[0].keyProvider.has_value());
}

INSTANTIATE_TEST_SUITE_P(IntermediatePathLength, InstallEndToEnd, ::testing::Values("none", "0"));

}  // namespace
