// The control's own members as a host reaches them: by name through
// IDispatch on a control from the class factory, with the module-wide
// settings shared by every instance, the message boxes they show, and a
// real enrolment (request verified and issued by the openssl command,
// certificates installed back through the control).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>

#include "control/itarvenholmx.h"
#include "engine/keyrecords.h"
#include "engine/settings.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "support/errors.h"
#include "support/textconv.h"
#include "testlib/child_process.h"
#include "testlib/control_client.h"
#include "testlib/process_start.h"
#include "testlib/test_home.h"

namespace {

using platform::ComPtr;
using tarvenholm::ITarvenholmX;
using testing_support::callMethod;
using testing_support::createControl;
using testing_support::getProperty;
using testing_support::putProperty;
using testing_support::runCommand;
using testing_support::Variant;

constexpr char16_t kNames[] = u"2.5.4.3=Ana Pérez;2.5.4.10=Tarvenholm Pruebas;2.5.4.6=MX";
constexpr const char* kSpanishEmptyNames = "La cadena de Names no debe ser vacía";
constexpr const char* kEnglishEmptyNames = "RDN Chain should not be empty";

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The provider names of the key records, in registry order.
std::vector<std::string> recordedProviders() {
  std::vector<std::string> providers;
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, tarvenholm::kKeyRecordsPath, 0, KEY_READ, &opened) != ERROR_SUCCESS)
    return providers;
  char name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name;
    if (RegEnumKeyExA(opened, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    providers.push_back(tarvenholm::regReadString(HKEY_LOCAL_MACHINE, tarvenholm::keyRecordPath(name),
                                                  tarvenholm::kProviderValueName));
  }
  RegCloseKey(opened);
  return providers;
}

// Every case starts from the settings of a freshly loaded module and leaves
// them so.
class ControlAutomation : public testing_support::HomeTest {
 protected:
  ControlAutomation() { restoreModuleSettings(); }
  ~ControlAutomation() override { restoreModuleSettings(); }

  static void restoreModuleSettings() {
    tarvenholm::resetSettings();
    tarvenholm::setMessageLanguage(tarvenholm::MessageLanguage::Spanish);
  }

  // genReq through IDispatch; the request text ("" for none).
  std::string requestFor(IDispatch* control, const char16_t* names) {
    Variant argument(names);
    Variant request;
    EXPECT_EQ(callMethod(control, u"genReq", {argument.get()}, &request), S_OK);
    return tarvenholm::wideToSystem(request.text().c_str());
  }

  ComPtr<IDispatch> control_ = createControl();
};

// ---- A module as loaded: its own process ----

TEST(ControlFreshModuleChild, ReportsDefaults) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs as a child process only";
  testing_support::BoxRecorder boxes;
  ComPtr<IDispatch> control = createControl();
  Variant size;
  ASSERT_EQ(getProperty(control.get(), u"kSize", size), S_OK);
  testing_support::reportToParent("kSize=" + std::to_string(size->lVal));
  Variant empty(u"");
  Variant request;
  callMethod(control.get(), u"genReq", {empty.get()}, &request);
  Variant names(kNames);
  ASSERT_EQ(callMethod(control.get(), u"genReq", {names.get()}, &request), S_OK);
  testing_support::reportToParent(request.text().empty() ? "no request" : "request");
  for (const std::string& text : boxes.texts()) testing_support::reportToParent("box=" + text);
}

TEST_F(ControlAutomation, AFreshModuleHasKeySize1024SpanishAndTheEnhancedProvider) {
  const testing_support::ChildResult child = testing_support::runTestInChild("ControlFreshModuleChild.ReportsDefaults", {});
  EXPECT_EQ(child.exitStatus, 0);
  EXPECT_EQ(child.reports,
            (std::vector<std::string>{"kSize=1024", "request", std::string("box=") + kSpanishEmptyNames}));
  EXPECT_EQ(recordedProviders(), std::vector<std::string>{"Microsoft Enhanced Cryptographic Provider v1.0"});
}

// ---- Settings ----

TEST_F(ControlAutomation, KeySizeIsKeptAsSetAndCheckedOnlyByGenReq) {
  Variant odd(1000);
  ASSERT_EQ(putProperty(control_.get(), u"kSize", odd), S_OK);
  Variant size;
  ASSERT_EQ(getProperty(control_.get(), u"kSize", size), S_OK);
  EXPECT_EQ(size->vt, VT_I4);
  EXPECT_EQ(size->lVal, 1000);
  EXPECT_TRUE(boxes_.boxes().empty());

  EXPECT_EQ(requestFor(control_.get(), kNames), "");
  EXPECT_EQ(boxes_.texts(), std::vector<std::string>{"El tamaño solicitado para la Llave Privada es inválido"});
}

TEST_F(ControlAutomation, SettingsPutThroughOneInstanceAreSeenByAnother) {
  ComPtr<IDispatch> other = createControl();
  Variant bogus(u"No Such Provider");
  ASSERT_EQ(putProperty(control_.get(), u"provName", bogus), S_OK);
  Variant none = Variant::nullText();
  ASSERT_EQ(putProperty(control_.get(), u"provName", none), S_OK) << "a null name leaves the setting";
  Variant size(2048);
  ASSERT_EQ(putProperty(other.get(), u"kSize", size), S_OK);

  Variant read;
  ASSERT_EQ(getProperty(control_.get(), u"kSize", read), S_OK);
  EXPECT_EQ(read->lVal, 2048);
  EXPECT_EQ(requestFor(other.get(), kNames), "");
  ASSERT_EQ(boxes_.boxes().size(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, "Se proporcionó un CSP inválido");
  EXPECT_EQ(boxes_.boxes()[0].caption, "Tarvenholm");
  EXPECT_EQ(boxes_.boxes()[0].flags, 16u);
}

TEST_F(ControlAutomation, ProviderNameAndLanguageCannotBeRead) {
  for (const char16_t* name : {u"provName", u"msgLng"}) {
    Variant value;
    EXPECT_EQ(getProperty(control_.get(), name, value), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(value->vt, VT_EMPTY);
  }
}

TEST_F(ControlAutomation, MessageLanguageOneIsSpanishEveryOtherValueEnglish) {
  const struct {
    LONG value;
    const char* text;
  } cases[] = {{0, kEnglishEmptyNames}, {1, kSpanishEmptyNames}, {2, kEnglishEmptyNames}, {-1, kEnglishEmptyNames}};
  for (const auto& each : cases) {
    Variant language(each.value);
    ASSERT_EQ(putProperty(control_.get(), u"msgLng", language), S_OK);
    boxes_.clear();
    Variant empty(u"");
    Variant request;
    EXPECT_EQ(callMethod(control_.get(), u"genReq", {empty.get()}, &request), S_FALSE);
    EXPECT_EQ(boxes_.texts(), std::vector<std::string>{each.text}) << each.value;
  }
}

// ---- Empty arguments ----

TEST_F(ControlAutomation, EmptyOrNullArgumentsGiveSFalseAndOneBox) {
  for (bool isNull : {false, true}) {
    Variant names = isNull ? Variant::nullText() : Variant(u"");
    Variant request;
    EXPECT_EQ(callMethod(control_.get(), u"genReq", {names.get()}, &request), S_FALSE);
    Variant text = isNull ? Variant::nullText() : Variant(u"");
    Variant code;
    EXPECT_EQ(callMethod(control_.get(), u"setCert", {text.get()}, &code), S_FALSE);
  }
  EXPECT_EQ(boxes_.texts(), (std::vector<std::string>{kSpanishEmptyNames, "Parametrice un certificado correcto",
                                                      kSpanishEmptyNames, "Parametrice un certificado correcto"}));
  for (const testing_support::Box& box : boxes_.boxes()) {
    EXPECT_EQ(box.caption, "Tarvenholm");
    EXPECT_EQ(box.flags, 16u);
  }
  EXPECT_TRUE(recordedProviders().empty()) << "no key was made";
}

// Strings are taken by their length: one that starts with a zero character is not empty.
TEST_F(ControlAutomation, AStringStartingWithZeroIsNotTakenForAnEmptyOne) {
  ComPtr<ITarvenholmX> bound = control_.as<ITarvenholmX>();
  ASSERT_TRUE(bound);
  const char16_t zeroFirst[] = u"\0CN=x";
  BSTR text = SysAllocStringLen(zeroFirst, 5);
  BSTR request = nullptr;
  EXPECT_EQ(bound->genReq(text, &request), S_OK);
  LONG code = 0;
  EXPECT_EQ(bound->setCert(text, &code), S_OK);
  EXPECT_NE(code, 2000);
  SysFreeString(request);
  SysFreeString(text);
  for (const std::string& box : boxes_.texts()) {
    EXPECT_NE(box, kSpanishEmptyNames);
    EXPECT_NE(box, "Parametrice un certificado correcto");
  }
}

// A client bound to the function table sees that the out-parameter is not written.
TEST_F(ControlAutomation, EmptyArgumentsLeaveTheOutParameterAsItWas) {
  ComPtr<ITarvenholmX> bound = control_.as<ITarvenholmX>();
  ASSERT_TRUE(bound);
  BSTR request = SysAllocString(u"before");
  BSTR empty = SysAllocString(u"");
  EXPECT_EQ(bound->genReq(empty, &request), S_FALSE);
  EXPECT_EQ(std::u16string(request), u"before");
  LONG code = 77;
  EXPECT_EQ(bound->setCert(nullptr, &code), S_FALSE);
  EXPECT_EQ(code, 77);
  SysFreeString(request);
  SysFreeString(empty);
  EXPECT_EQ(boxes_.boxes().size(), 2u);
}

// ---- Providers ----

TEST_F(ControlAutomation, ProviderListComesBackAsText) {
  Variant list;
  ASSERT_EQ(callMethod(control_.get(), u"getCSPList", {}, &list), S_OK);
  const std::string text = tarvenholm::wideToSystem(list.text().c_str());
  EXPECT_NE(text.find("Microsoft Enhanced Cryptographic Provider v1.0|"), std::string::npos) << text;
  EXPECT_EQ(text.find("DSS"), std::string::npos) << "DSS providers are never offered: " << text;
  EXPECT_EQ(text.back(), '|');
}

// ---- Failures of the control itself ----

TEST_F(ControlAutomation, AFailureInsideAMemberBecomesAnAutomationError) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR name[] = {const_cast<LPOLESTR>(u"getCSPList")};
  ASSERT_EQ(control_->GetIDsOfNames(IID_NULL, name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  Variant list;
  EXCEPINFO exception{};
  // The list text is the first string the call allocates.
  platform::faultArm("SysAllocStringLen", 1, ERROR_OUTOFMEMORY);
  EXPECT_EQ(control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, list.get(), &exception, nullptr),
            DISP_E_EXCEPTION);
  EXPECT_GE(platform::faultUses("SysAllocStringLen"), 1u);
  platform::faultReset();
  EXPECT_EQ(exception.scode, DISP_E_EXCEPTION);
  EXPECT_EQ(std::u16string(exception.bstrSource), u"Tarvenholm.keyGenerator");
  EXPECT_EQ(std::u16string(exception.bstrDescription), u"Not enough memory for the text handed back");
  platform::clearExcepInfo(&exception);
  EXPECT_TRUE(boxes_.boxes().empty()) << "the host reports it, not the control";

  // The same failure for a client bound to the function table: the thread's error information.
  ComPtr<ITarvenholmX> bound = control_.as<ITarvenholmX>();
  BSTR text = nullptr;
  platform::faultArm("SysAllocStringLen", 1, ERROR_OUTOFMEMORY);
  EXPECT_EQ(bound->getCSPList(&text), DISP_E_EXCEPTION);
  platform::faultReset();
  EXPECT_EQ(text, nullptr);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  GUID guid{};
  BSTR source = nullptr;
  BSTR description = nullptr;
  info->GetGUID(&guid);
  info->GetSource(&source);
  info->GetDescription(&description);
  EXPECT_TRUE(guid == tarvenholm::IID_ITarvenholmX);
  EXPECT_EQ(std::u16string(source), u"Tarvenholm.keyGenerator");
  EXPECT_EQ(std::u16string(description), u"Not enough memory for the text handed back");
  SysFreeString(source);
  SysFreeString(description);

  ComPtr<ISupportErrorInfo> supports = control_.as<ISupportErrorInfo>();
  ASSERT_TRUE(supports);
  EXPECT_EQ(supports->InterfaceSupportsErrorInfo(tarvenholm::IID_ITarvenholmX), S_OK);
  EXPECT_EQ(supports->InterfaceSupportsErrorInfo(IID_IDispatch), S_FALSE);
}

// ---- Enrolment end to end ----

TEST_F(ControlAutomation, ARequestMadeThroughGenReqIsVerifiedIssuedAndInstalled) {
  Variant size(2048);
  ASSERT_EQ(putProperty(control_.get(), u"kSize", size), S_OK);
  const std::string request = requestFor(control_.get(), kNames);
  ASSERT_FALSE(request.empty()) << testing::PrintToString(boxes_.texts());
  EXPECT_EQ(request.find_first_of("\r\n"), std::string::npos) << "one line of base64";

  const std::string dir = home_.path() + "/ca";
  const std::string requestFile = home_.path() + "/request.b64";
  writeFile(requestFile, request);
  std::string verified;
  EXPECT_EQ(runCommand("base64 -d '" + requestFile +
                           "' | openssl req -inform DER -verify -noout -subject -nameopt RFC2253,-esc_msb",
                       verified),
            0)
      << verified;
  EXPECT_NE(verified.find("verify OK"), std::string::npos) << verified;
  // One multi-valued name: the three values joined by "+", in the encoder's order.
  for (const char* part : {"CN=Ana Pérez", "O=Tarvenholm Pruebas", "C=MX"})
    EXPECT_NE(verified.find(part), std::string::npos) << verified;
  EXPECT_EQ(std::count(verified.begin(), verified.end(), '+'), 2) << verified;

  const std::string script = std::string(TARVENHOLM_SOURCE_DIR) + "/scripts/test-ca";
  std::string output;
  ASSERT_EQ(runCommand("'" + script + "' '" + dir + "' init", output), 0) << output;
  ASSERT_EQ(runCommand("'" + script + "' '" + dir + "' issue '" + requestFile + "' '" + dir + "/chain.b64'", output), 0)
      << output;

  // Another instance installs what the authority issued.
  ComPtr<IDispatch> other = createControl();
  Variant collection(tarvenholm::systemToWide(readFile(dir + "/chain.b64")).c_str());
  Variant code;
  ASSERT_EQ(callMethod(other.get(), u"setCert", {collection.get()}, &code), S_OK);
  EXPECT_EQ(code->vt, VT_I4);
  EXPECT_EQ(code->lVal, tarvenholm::kSuccess) << testing::PrintToString(boxes_.texts());
  EXPECT_TRUE(boxes_.boxes().empty()) << testing::PrintToString(boxes_.texts());
}

TEST_F(ControlAutomation, SetCertPassesInstallationFailuresOnAsItsCode) {
  Variant text(u"bm90IGEgY29sbGVjdGlvbg==");  // base64 of "not a collection"
  Variant code;
  ASSERT_EQ(callMethod(control_.get(), u"setCert", {text.get()}, &code), S_OK);
  EXPECT_EQ(code->lVal, tarvenholm::kOpenCollectionFailed);
  EXPECT_EQ(boxes_.boxes().size(), 1u);
}

}  // namespace
