// Every way request generation can fail after its first checks: the code,
// the boxes the user sees, what the slot receives, what is left in the
// provider and the registry, and that the handles are let go.

// OpenSSL's headers (through the crypt fixtures) come before the platform's.
#include "testlib/request_case.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/keyrecords.h"
#include "engine/names.h"
#include "engine/providers.h"
#include "engine/request.h"
#include "engine/settings.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "support/base64.h"
#include "support/errors.h"
#include "testlib/child_process.h"
#include "testlib/shared_hive.h"

namespace {

using namespace tarvenholm;
using testing_support::ContainerState;
using testing_support::errorLine;
using testing_support::kThreeNames;
using testing_support::RequestSlot;

using RequestFailures = testing_support::RequestCase;

// An error number the platform has no text for: the box then shows the
// code's own text.
constexpr DWORD kNoSystemText = 0x2000BEEF;
constexpr const char* kInternalErrorText = "An internal error occurred.\r\n";

std::vector<std::string> newContainers(const std::vector<std::string>& before) {
  std::vector<std::string> added;
  for (const std::string& name : testing_support::rsaKeyContainers())
    if (std::find(before.begin(), before.end(), name) == before.end()) added.push_back(name);
  return added;
}

struct PlatformFailure {
  const char* call;
  unsigned use;
  int code;
  ContainerState leftBehind;
  const char* english;
  const char* spanish;
};

class FailingStep : public RequestFailures, public ::testing::WithParamInterface<PlatformFailure> {
 protected:
  // One call with the row's platform call failing with `error`.
  void expectFailure(DWORD error, const std::string& shown) {
    const PlatformFailure& row = GetParam();
    const std::vector<std::string> before = testing_support::rsaKeyContainers();
    boxes_.clear();
    platform::faultReset();
    platform::faultArm(row.call, row.use, error);
    RequestSlot slot;

    EXPECT_EQ(buildRequest(kThreeNames, slot.out()), row.code);
    EXPECT_EQ(boxLines(), std::vector<std::string>{errorLine(shown)});
    EXPECT_FALSE(slot.isNull());
    EXPECT_EQ(slot.text(), "");
    EXPECT_EQ(slot.initialText(), "earlier request");
    // Each handle the call held was let go, once.
    const bool keyMade = row.leftBehind == ContainerState::WithKeyPair;
    EXPECT_EQ(platform::faultUses("CryptDestroyKey"), keyMade ? 1u : 0u);
    EXPECT_EQ(platform::faultUses("CryptReleaseContext"), row.leftBehind == ContainerState::Missing ? 0u : 1u);

    const std::vector<std::string> added = newContainers(before);
    if (row.leftBehind == ContainerState::Missing) {
      EXPECT_TRUE(added.empty());
    } else {
      ASSERT_EQ(added.size(), 1u);
      EXPECT_EQ(testing_support::containerState(added[0]), row.leftBehind);
    }
    EXPECT_TRUE(testing_support::keyRecordIds().empty());
  }
};

TEST_P(FailingStep, ShowsTheSystemTextForTheLastError) { expectFailure(NTE_FAIL, kInternalErrorText); }

TEST_P(FailingStep, ShowsTheCodeTextWhenTheSystemHasNone) {
  expectFailure(kNoSystemText, GetParam().spanish);
  setMessageLanguage(MessageLanguage::English);
  expectFailure(kNoSystemText, GetParam().english);
}

INSTANTIATE_TEST_SUITE_P(
    PlatformCalls, FailingStep,
    ::testing::Values(
        PlatformFailure{"CryptAcquireContextA", 1, kCreateContainerFailed, ContainerState::Missing,
                        "Error while creating key container", "Error al crear el contenedor para la llave"},
        PlatformFailure{"CryptGenKey", 1, kGenerateKeyPairFailed, ContainerState::Empty,
                        "Error while creating key pair", "Error al crear el par de llaves"},
        PlatformFailure{"CryptEncodeObject", 1, kEncodeNameSizeFailed, ContainerState::WithKeyPair,
                        "Error while encoding rdn(0)", "Error al codificar los rdn(0)"},
        PlatformFailure{"CryptEncodeObject", 2, kEncodeNameFailed, ContainerState::WithKeyPair,
                        "Error while encoding rdn(1)", "Error al codificar los rdn(1)"},
        PlatformFailure{"CryptExportPublicKeyInfo", 1, kExportPublicKeySizeFailed, ContainerState::WithKeyPair,
                        "Error while encoding request(0)", "Error al codificar el requerimiento(0)"},
        PlatformFailure{"CryptExportPublicKeyInfo", 2, kExportPublicKeyFailed, ContainerState::WithKeyPair,
                        "Error while encoding request(2)", "Error al codificar el requerimiento(2)"},
        PlatformFailure{"CryptSignAndEncodeCertificate", 1, kSignRequestSizeFailed, ContainerState::WithKeyPair,
                        "Error while signing request(0)", "Error al firmar el requerimiento(0)"},
        PlatformFailure{"CryptSignAndEncodeCertificate", 2, kSignRequestFailed, ContainerState::WithKeyPair,
                        "Error while signing request(2)", "Error al firmar el requerimiento(2)"},
        // Without the key identifier the record would have no key of its own.
        PlatformFailure{"CryptHashPublicKeyInfo", 1, kHashFailed, ContainerState::WithKeyPair,
                        "Error while hashing data", "Error al digerir datos"}));

// The local-heap allocations of one call, in order, after those of the
// first checks: the attribute list and its texts, the subject, the public
// key, the signed request, the text, and the two reads of the record.
TEST_F(RequestFailures, EveryAllocationOfTheCallFailsWithItsCode) {
  platform::faultReset();
  ASSERT_TRUE(checkNames(kThreeNames));
  ASSERT_NE(getProvType(providerNameSetting().c_str()), 0u);
  newContainerName();
  const unsigned beforeTheList = platform::faultUses("LocalAlloc");

  const std::string noMemory = "Not enough memory is available to process this command.\r\n";
  struct Expected {
    int code;
    std::vector<std::string> boxes;
  };
  std::vector<Expected> expected(7, Expected{kNoNameList, {errorLine(noMemory)}});  // the list, 3 types, 3 values
  expected.push_back({kEncodeNameFailed, {errorLine(noMemory)}});
  expected.push_back({kNoMemoryForPublicKey, {errorLine(noMemory)}});
  expected.push_back({kNoMemoryForRequest, {errorLine(noMemory)}});
  expected.push_back({kNoMemoryForBase64Request, {errorLine(noMemory)}});
  for (const char* value : {"a", "b"})
    expected.push_back({kNoKeyRecord,
                        {errorLine(std::string("Failed to get data for '") + value + "'"),
                         errorLine("No es posible instalar el certificado en este equipo")}});
  expected.push_back({kSuccess, {}});

  for (unsigned index = 0; index < expected.size(); ++index) {
    SCOPED_TRACE("allocation " + std::to_string(beforeTheList + index + 1));
    boxes_.clear();
    platform::faultReset();
    platform::faultArm("LocalAlloc", beforeTheList + index + 1, ERROR_NOT_ENOUGH_MEMORY);
    RequestSlot slot;
    EXPECT_EQ(buildRequest(kThreeNames, slot.out()), expected[index].code);
    EXPECT_EQ(boxLines(), expected[index].boxes);
    EXPECT_EQ(slot.text().empty(), expected[index].code != kSuccess);
  }
  // Records are written by the calls that got as far as the record: the two
  // whose record could not be read back, and the last.
  EXPECT_EQ(testing_support::keyRecordIds().size(), 3u);
}

TEST_F(RequestFailures, TheNamesListFailingShowsTheFallbackTextWithoutASystemText) {
  platform::faultReset();
  getProvType(providerNameSetting().c_str());
  const unsigned beforeTheList = platform::faultUses("LocalAlloc");
  platform::faultArm("LocalAlloc", beforeTheList + 1, kNoSystemText);
  EXPECT_EQ(build(), kNoNameList);
  EXPECT_EQ(boxLines(), std::vector<std::string>{errorLine("Se proporcionó un código de error inválido")});
  EXPECT_EQ(slot_.text(), "");
}

// With no line breaks and a line length that is a multiple of 4 the
// encoder has nothing to refuse, whatever the number of bytes.
TEST(RequestText, CannotFailToEncodeForAnySize) {
  std::vector<std::uint8_t> bytes(70000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
  std::vector<char> text;
  for (std::uint32_t count = 0; count <= bytes.size(); count += count < 5000 ? 1 : 997) {
    std::uint32_t length = 1;
    ASSERT_EQ(base64EncodedLength(count, kBase64NoBreaks, 64, &length), 1) << count;
    ASSERT_EQ(length, (count + 2) / 3 * 4) << count;
    text.assign(length + 1, '\0');
    ASSERT_EQ(base64Encode(bytes.data(), count, text.data(), kBase64NoBreaks, 64), 1) << count;
    ASSERT_EQ(std::string(text.data()).size(), length) << count;
    ASSERT_EQ(std::string(text.data()).find_first_of("\r\n"), std::string::npos) << count;
  }
}

// The wide string of the request cannot be had: the request is not handed
// back and its record is not written.
TEST_F(RequestFailures, NoMemoryForTheRequestStringEmptiesTheSlot) {
  platform::faultArm("SysAllocStringLen", 1, ERROR_OUTOFMEMORY);
  EXPECT_EQ(build(), kNoMemoryForBase64Request);
  EXPECT_EQ(boxLines(),
            std::vector<std::string>{errorLine("Not enough memory is available to complete this operation.\r\n")});
  EXPECT_FALSE(slot_.isNull());
  EXPECT_EQ(slot_.text(), "");
  EXPECT_TRUE(testing_support::keyRecordIds().empty());

  // Not even the empty string can be had: the slot is null, which the
  // automation boundary reads as the empty string too.
  platform::faultReset();
  boxes_.clear();
  RequestSlot slot;
  platform::faultArm("SysAllocStringLen", 0, ERROR_OUTOFMEMORY);
  EXPECT_EQ(buildRequest(kThreeNames, slot.out()), kNoMemoryForBase64Request);
  EXPECT_TRUE(slot.isNull());
  EXPECT_EQ(slot.initialText(), "earlier request");
}

// ---- Releasing the handles ----

TEST_F(RequestFailures, AKeyHandleThatWillNotGoReplacesSuccess) {
  platform::faultArm("CryptDestroyKey", 1, kNoSystemText);
  EXPECT_EQ(build(), kDestroyKeyFailed);
  EXPECT_EQ(boxLines(), std::vector<std::string>{errorLine("Error al liberar la llave")});
  // The request and its record stand: the key pair is in its container.
  EXPECT_FALSE(slot_.text().empty());
  EXPECT_EQ(testing_support::keyRecordIds().size(), 1u);
  EXPECT_EQ(platform::faultUses("CryptReleaseContext"), 1u);
}

TEST_F(RequestFailures, AProviderThatWillNotGoReplacesSuccess) {
  platform::faultArm("CryptReleaseContext", 1, kNoSystemText);
  EXPECT_EQ(build(), kReleaseProviderFailed);
  EXPECT_EQ(boxLines(), std::vector<std::string>{errorLine("Error al liberar el CSP")});
  EXPECT_FALSE(slot_.text().empty());
  EXPECT_EQ(testing_support::keyRecordIds().size(), 1u);
}

TEST_F(RequestFailures, WhenBothHandlesResistTheProviderWins) {
  platform::faultArm("CryptDestroyKey", 1, kNoSystemText);
  platform::faultArm("CryptReleaseContext", 1, kNoSystemText);
  EXPECT_EQ(build(), kReleaseProviderFailed);
  EXPECT_EQ(boxLines(),
            (std::vector<std::string>{errorLine("Error al liberar la llave"), errorLine("Error al liberar el CSP")}));
  EXPECT_FALSE(slot_.text().empty());
}

TEST_F(RequestFailures, ReleaseFailuresFollowTheBoxOfTheFailedStep) {
  platform::faultArm("CryptSignAndEncodeCertificate", 2, kNoSystemText);
  platform::faultArm("CryptDestroyKey", 1, kNoSystemText);
  platform::faultArm("CryptReleaseContext", 1, kNoSystemText);
  EXPECT_EQ(build(), kReleaseProviderFailed);
  EXPECT_EQ(boxLines(),
            (std::vector<std::string>{errorLine("Error al firmar el requerimiento(2)"),
                                      errorLine("Error al liberar la llave"), errorLine("Error al liberar el CSP")}));
  EXPECT_EQ(slot_.text(), "");
  EXPECT_TRUE(testing_support::keyRecordIds().empty());
}

TEST_F(RequestFailures, WithoutAKeyOnlyTheProviderIsReleased) {
  platform::faultArm("CryptGenKey", 1, kNoSystemText);
  platform::faultArm("CryptReleaseContext", 1, kNoSystemText);
  EXPECT_EQ(build(), kReleaseProviderFailed);
  EXPECT_EQ(boxLines(), (std::vector<std::string>{errorLine("Error al crear el par de llaves"),
                                                  errorLine("Error al liberar el CSP")}));
  EXPECT_EQ(platform::faultUses("CryptDestroyKey"), 0u);
  EXPECT_EQ(slot_.text(), "");
}

// ---- The key record ----

TEST_F(RequestFailures, ARecordThatCannotBeCompletedFailsTheCall) {
  // The provider's own value is the last registry write of a call.
  ASSERT_EQ(build(), kSuccess);
  const unsigned writes = platform::faultUses("RegSetValueExA");
  const std::vector<std::string> before = testing_support::rsaKeyContainers();

  platform::faultArm("RegSetValueExA", writes, ERROR_ACCESS_DENIED);
  RequestSlot slot;
  EXPECT_EQ(buildRequest(kThreeNames, slot.out()), kNoKeyRecord);
  EXPECT_EQ(boxLines(), (std::vector<std::string>{errorLine("Failed to set data for 'b'"),
                                                  errorLine("No es posible instalar el certificado en este equipo")}));
  EXPECT_EQ(slot.text(), "");
  const std::vector<std::string> added = newContainers(before);
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(testing_support::containerState(added[0]), ContainerState::WithKeyPair);
}

// Child of AUserWhoMayNotWriteTheMachineHiveGetsNoRequest: one call as a
// user who may read the machine hive but not write it.
TEST(RequestFailuresChild, BuildsWithoutWriteRights) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs as a child process only";
  testing_support::BoxRecorder boxes;
  setKeySizeSetting(512);
  setMessageLanguage(MessageLanguage::English);
  RequestSlot slot;
  testing_support::reportToParent("result=" + std::to_string(buildRequest(kThreeNames, slot.out())));
  testing_support::reportToParent("request=" + slot.text());
  for (const testing_support::Box& box : boxes.boxes())
    testing_support::reportToParent(box.text + "|" + box.caption + "|" + std::to_string(box.flags));
  testing_support::reportToParent("containers=" + std::to_string(testing_support::rsaKeyContainers().size()));
}

// Its key could never be bound to its certificate: no key is made.
TEST_F(RequestFailures, AUserWhoMayNotWriteTheMachineHiveGetsNoRequest) {
  if (const std::string why = testing_support::whyNobodyCannotStartThisExecutable(); !why.empty()) GTEST_SKIP() << why;
  testing_support::SharedMachineHive shared(home_.path());
  ASSERT_EQ(build(), kSuccess);  // the machine hive with its provider catalogue and one record
  const std::string childHome = home_.path() + "/shared/child-home";
  ASSERT_EQ(::mkdir(childHome.c_str(), 0700), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(childHome.c_str(), 65534, 65534), 0);
  }

  const testing_support::ChildResult result = shared.runReadOnlyChild("RequestFailuresChild.BuildsWithoutWriteRights");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.reports, (std::vector<std::string>{"result=" + std::to_string(kNoKeyRecord), "request=",
                                                      errorLine("Unable to install your certificate on this computer"),
                                                      "containers=0"}));
  EXPECT_EQ(testing_support::keyRecordIds().size(), 1u);
}

}  // namespace
