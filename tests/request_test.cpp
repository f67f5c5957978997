// OpenSSL's headers (through the crypt fixtures) come before the platform's.
#include "testlib/request_case.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/keyrecords.h"
#include "engine/modern_request.h"
#include "engine/request.h"
#include "engine/settings.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/registry_transaction.h"
#include "support/errors.h"

namespace {

using namespace tarvenholm;
using testing_support::ContainerState;
using testing_support::errorLine;
using testing_support::infoLine;
using testing_support::kEnhancedProvider;
using testing_support::kThreeNames;
using testing_support::RequestSlot;

using BuildRequest = testing_support::RequestCase;

bool isOneLineOfBase64(const std::string& text) {
  if (text.empty() || text.size() % 4 != 0) return false;
  const std::size_t padding = text.find('=');
  if (padding != std::string::npos &&
      (padding < text.size() - 2 || text.find_first_not_of('=', padding) != std::string::npos))
    return false;
  return text.substr(0, padding)
             .find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") ==
         std::string::npos;
}

std::string recordValue(const std::string& keyId, const char* valueName) {
  return regReadString(HKEY_LOCAL_MACHINE, keyRecordPath(keyId), valueName);
}

TEST_F(BuildRequest, WithTheModuleDefaultsMakesAnExportableProtectedKeyAndItsRecord) {
  resetSettings();
  ASSERT_EQ(build(), kSuccess);

  EXPECT_TRUE(boxes_.boxes().empty());
  EXPECT_TRUE(isOneLineOfBase64(slot_.text())) << slot_.text();
  EXPECT_EQ(slot_.initialText(), "earlier request");

  const std::vector<std::string> containers = testing_support::rsaKeyContainers();
  ASSERT_EQ(containers.size(), 1u);
  EXPECT_EQ(containers[0].size(), 36u);
  EXPECT_EQ(testing_support::keyPairBits(containers[0]), 1024u);
  // User-protected: the provider offered to protect the new key.
  EXPECT_EQ(passwords_.newKeyQuestions(), 1);
  EXPECT_EQ(passwords_.lastContainer(), containers[0]);

  const std::string keyId = testing_support::containerKeyId(containers[0]);
  EXPECT_EQ(testing_support::keyRecordIds(), std::vector<std::string>{keyId});
  EXPECT_EQ(recordValue(keyId, kContainerValueName), containers[0]);
  EXPECT_EQ(recordValue(keyId, kProviderValueName), kEnhancedProvider);
}

TEST_F(BuildRequest, EveryCallMakesItsOwnContainerAndRecord) {
  ASSERT_EQ(build(), kSuccess);
  const std::string first = slot_.text();
  RequestSlot second;
  ASSERT_EQ(buildRequest(kThreeNames, second.out()), kSuccess);
  EXPECT_NE(second.text(), first);

  const std::vector<std::string> containers = testing_support::rsaKeyContainers();
  ASSERT_EQ(containers.size(), 2u);
  EXPECT_NE(containers[0], containers[1]);
  const std::vector<std::string> records = testing_support::keyRecordIds();
  EXPECT_EQ(std::set<std::string>(records.begin(), records.end()),
            (std::set<std::string>{testing_support::containerKeyId(containers[0]),
                                   testing_support::containerKeyId(containers[1])}));
}

// A request as its callers run it, in one transaction: the container and
// key pair go to the user's hive, the key record to the machine hive, and
// each hive's commit is one sync. The first commit into a new log also
// syncs the log's header, so the home is in use before counting.
TEST_F(BuildRequest, CostsOneSyncPerHiveItWrites) {
  const std::function<bool()> requests[] = {
      [] {
        RequestSlot slot;
        return buildRequest(kThreeNames, slot.out()) == kSuccess;
      },
      [] {
        ModernRequestOptions options;
        options.key = "ec:p256";
        return buildModernRequest("CN=Test User", options).status == ModernRequestStatus::Made;
      },
  };
  for (const std::function<bool()>& request : requests) {
    for (const bool homeInUse : {false, true}) {
      const unsigned long before = platform::hiveSyncCount();
      platform::RegistryTransaction operation;
      ASSERT_TRUE(request());
      ASSERT_EQ(operation.commit(), ERROR_SUCCESS);
      if (homeInUse) {
        EXPECT_EQ(platform::hiveSyncCount() - before, 2u);
      }
    }
  }
}

TEST_F(BuildRequest, UsesTheProviderNamedAtTheMomentOfTheCall) {
  for (const char* provider :
       {"Microsoft Strong Cryptographic Provider", "Microsoft Enhanced RSA and AES Cryptographic Provider",
        "Microsoft RSA SChannel Cryptographic Provider"}) {
    setProviderNameSetting(provider);
    RequestSlot slot;
    ASSERT_EQ(buildRequest(kThreeNames, slot.out()), kSuccess) << provider;
  }
  std::set<std::string> recorded;
  for (const std::string& keyId : testing_support::keyRecordIds())
    recorded.insert(recordValue(keyId, kProviderValueName));
  EXPECT_EQ(recorded, (std::set<std::string>{"Microsoft Strong Cryptographic Provider",
                                             "Microsoft Enhanced RSA and AES Cryptographic Provider",
                                             "Microsoft RSA SChannel Cryptographic Provider"}));
}

// The checks made before anything is acquired: the code's own text in an
// error box, the slot untouched, no container, no record.
struct Refusal {
  std::int32_t keySize;
  const char* names;
  const char* provider;
  int code;
};

class FirstChecks : public BuildRequest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(FirstChecks, RefuseBeforeAnythingIsCreated) {
  const Refusal& refusal = GetParam();
  setKeySizeSetting(refusal.keySize);
  setProviderNameSetting(refusal.provider);

  EXPECT_EQ(build(refusal.names), refusal.code);
  EXPECT_EQ(boxLines(),
            std::vector<std::string>{errorLine(errorText(messageBuffer(), kMessageBufferSize, refusal.code))});
  EXPECT_TRUE(slot_.untouched());
  EXPECT_TRUE(testing_support::rsaKeyContainers().empty());
  EXPECT_TRUE(testing_support::keyRecordIds().empty());
}

constexpr const char* kBadNames = "CN=Test User";
constexpr const char* kMissingProvider = "Microsoft Imaginary Provider";

INSTANTIATE_TEST_SUITE_P(KeySizes, FirstChecks,
                         ::testing::Values(Refusal{0, kThreeNames, kEnhancedProvider, kInvalidKeySize},
                                           Refusal{256, kThreeNames, kEnhancedProvider, kInvalidKeySize},
                                           Refusal{1000, kThreeNames, kEnhancedProvider, kInvalidKeySize},
                                           Refusal{2049, kThreeNames, kEnhancedProvider, kInvalidKeySize},
                                           Refusal{4096, kThreeNames, kEnhancedProvider, kInvalidKeySize},
                                           Refusal{-1024, kThreeNames, kEnhancedProvider, kInvalidKeySize},
                                           // An accepted size in the low 16 bits would pass as 1024 in the flags word.
                                           Refusal{(1 << 16) | 1024, kThreeNames, kEnhancedProvider, kInvalidKeySize}));

INSTANTIATE_TEST_SUITE_P(Order, FirstChecks,
                         ::testing::Values(Refusal{4096, kBadNames, kMissingProvider, kInvalidKeySize},
                                           Refusal{1024, kBadNames, kMissingProvider, kInvalidName},
                                           Refusal{1024, "2.5.4.3=Test;;2.5.4.10=X", kEnhancedProvider, kInvalidName},
                                           Refusal{1024, "2.5.4.3=Test; ", kEnhancedProvider, kInvalidName},
                                           Refusal{1024, kThreeNames, kMissingProvider, kInvalidProviderName}));

INSTANTIATE_TEST_SUITE_P(
    Providers, FirstChecks,
    ::testing::Values(
        Refusal{1024, kThreeNames, "microsoft enhanced cryptographic provider v1.0", kInvalidProviderName},
        Refusal{1024, kThreeNames, "Microsoft Enhanced Cryptographic Provider v1.0 ", kInvalidProviderName},
        Refusal{1024, kThreeNames, "", kInvalidProviderName},
        Refusal{1024, kThreeNames, "Microsoft Base DSS Cryptographic Provider", kInvalidProviderName},
        Refusal{1024, kThreeNames, "Microsoft Enhanced DSS and Diffie-Hellman Cryptographic Provider",
                kInvalidProviderName}));

TEST_F(BuildRequest, RefusalTextsFollowTheMessageLanguage) {
  setKeySizeSetting(4096);
  EXPECT_EQ(build(), kInvalidKeySize);
  setMessageLanguage(MessageLanguage::English);
  EXPECT_EQ(build(kBadNames), kInvalidKeySize);
  setKeySizeSetting(1024);
  EXPECT_EQ(build(kBadNames), kInvalidName);
  setProviderNameSetting(kMissingProvider);
  EXPECT_EQ(build(), kInvalidProviderName);
  EXPECT_EQ(boxLines(), (std::vector<std::string>{errorLine("El tamaño solicitado para la Llave Privada es inválido"),
                                                  errorLine("An invalid Private Key's Size was supplied"),
                                                  errorLine("An invalid name was found"),
                                                  errorLine("An invalid CSP name was supplied")}));
}

TEST_F(BuildRequest, ANamesStringWithoutEntriesIsExplainedThenRefused) {
  for (const char* names : {"", static_cast<const char*>(nullptr)}) {
    boxes_.clear();
    EXPECT_EQ(build(names), kInvalidName);
    EXPECT_EQ(boxLines(), (std::vector<std::string>{infoLine("La cadena de nombres no es correcta"),
                                                    errorLine("Se localizó un nombre incorrecto")}));
    EXPECT_TRUE(slot_.untouched());
  }
  EXPECT_TRUE(testing_support::rsaKeyContainers().empty());
}

// The slot is an out-parameter: a string it held before the call stays the
// caller's, on success and on failure alike.
TEST_F(BuildRequest, LeavesWhatTheSlotHeldToTheCaller) {
  ASSERT_EQ(build(), kSuccess);
  EXPECT_FALSE(slot_.untouched());
  EXPECT_EQ(slot_.initialText(), "earlier request");

  RequestSlot failed;
  platform::faultArm("CryptGenKey", 1, NTE_FAIL);
  EXPECT_EQ(buildRequest(kThreeNames, failed.out()), kGenerateKeyPairFailed);
  EXPECT_FALSE(failed.untouched());
  EXPECT_FALSE(failed.isNull());
  EXPECT_EQ(failed.text(), "");
  EXPECT_EQ(failed.initialText(), "earlier request");
}

TEST_F(BuildRequest, AProviderThatMakesNoRsaKeysFailsKeyGeneration) {
  setProviderNameSetting("Microsoft DH SChannel Cryptographic Provider");
  EXPECT_EQ(build(), kGenerateKeyPairFailed);
  EXPECT_EQ(boxLines(), std::vector<std::string>{errorLine("Invalid algorithm specified.\r\n")});
  EXPECT_EQ(slot_.text(), "");
  EXPECT_TRUE(testing_support::keyRecordIds().empty());
}

TEST_F(BuildRequest, AValueTheNameEncoderRefusesFailsTheFirstEncodingCall) {
  // An e-mail address is always an IA5String, which holds 7-bit text only.
  EXPECT_EQ(build("2.5.4.3=Test;1.2.840.113549.1.9.1=pe\xc3\xb1"
                  "a@example.org"),
            kEncodeNameSizeFailed);
  EXPECT_EQ(boxLines(), std::vector<std::string>{
                            errorLine("The string contains a character not in the 7 bit ASCII character set.\r\n")});
  EXPECT_EQ(slot_.text(), "");
  const std::vector<std::string> containers = testing_support::rsaKeyContainers();
  ASSERT_EQ(containers.size(), 1u);
  EXPECT_EQ(testing_support::containerState(containers[0]), ContainerState::WithKeyPair);
  EXPECT_TRUE(testing_support::keyRecordIds().empty());
}

}  // namespace
