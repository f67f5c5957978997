// The browser bridge: its message reader, the origins it serves, and
// tarvenholm-bridge run as the browser runs it, with framed messages on its
// standard input and the scripted pinentry answering for the user.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bridge/messages.h"
#include "hosting/native_host.h"
#include "hosting/sites.h"
#include "platform/lasterror.h"
#include "platform/registry.h"
#include "testlib/host_fixture.h"

namespace {

using tarvenholm::bridge::ByteSource;
using tarvenholm::bridge::frame;
using tarvenholm::bridge::FrameStatus;
using tarvenholm::bridge::Json;
using tarvenholm::bridge::kMaxRequestBytes;
using tarvenholm::bridge::parseRequest;
using tarvenholm::bridge::readFrame;
using tarvenholm::bridge::RequestProblem;
using testing_support::fieldsOf;
using testing_support::HostEnvironment;
using testing_support::HostRun;
using testing_support::linesOf;
using testing_support::readText;
using testing_support::runHost;
using testing_support::runProgram;
using testing_support::writeText;

constexpr char kPage[] = "http://127.0.0.1:8080";
constexpr char kNames[] = "2.5.4.3=Ana Ruiz;2.5.4.6=MX";

ByteSource sourceOf(const std::string& bytes, std::size_t& position) {
  return [&bytes, &position](char* buffer, std::size_t size) {
    // A byte at a time: the reader must put messages together from pieces.
    if (position >= bytes.size() || size == 0) return std::size_t{0};
    buffer[0] = bytes[position++];
    return std::size_t{1};
  };
}

TEST(BridgeMessages, FramesAreReadWholeAndOversizedOnesSkipped) {
  std::string oversized(4, '\0');
  const std::uint32_t length = kMaxRequestBytes + 1;
  std::memcpy(oversized.data(), &length, sizeof length);
  oversized.append(length, 'x');
  const std::string stream = frame("{\"a\":1}") + oversized + frame("") + frame("last");
  std::size_t position = 0;
  const ByteSource source = sourceOf(stream, position);
  std::string body;
  const std::vector<std::pair<FrameStatus, std::string>> expected = {{FrameStatus::Message, "{\"a\":1}"},
                                                                     {FrameStatus::TooLarge, ""},
                                                                     {FrameStatus::Message, ""},
                                                                     {FrameStatus::Message, "last"},
                                                                     {FrameStatus::End, ""}};
  for (const auto& [status, text] : expected) {
    EXPECT_EQ(readFrame(source, body), status);
    EXPECT_EQ(body, text);
  }
  for (const std::string& cut : {frame("abc").substr(0, 2), frame("abc").substr(0, 6)}) {
    position = 0;
    const ByteSource truncated = sourceOf(cut, position);
    EXPECT_EQ(readFrame(truncated, body), FrameStatus::Truncated) << cut.size();
  }
}

TEST(BridgeMessages, WhatIsNotARequestIsNamed) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"id\": 1, \"method\": ", "not JSON"},
      {"[1, 2]", "not a JSON object"},
      {"{\"id\": {}, \"method\": \"genReq\"}", "\"id\""},
      {"{\"id\": 2, \"method\": \"genReq\"}", "\"origin\""},
      {"{\"id\": 3, \"origin\": \"https://a.example\"}", "\"method\""},
      {"{\"id\": 4, \"origin\": \"https://a.example\", \"method\": \"genReq\", \"params\": \"x\"}", "\"params\""},
      {"{\"id\": 5, \"origin\": \"https://a.example\", \"method\": \"genReq\", \"properties\": []}", "\"properties\""},
      {"{\"id\": 6, \"origin\": \"https://a.example\", \"method\": \"g\\u00e9\xff\"}", "not JSON"},
  };
  for (const auto& [body, named] : cases) {
    const auto parsed = parseRequest(body);
    const auto* problem = std::get_if<RequestProblem>(&parsed);
    ASSERT_NE(problem, nullptr) << body;
    EXPECT_NE(problem->problem.find(named), std::string::npos) << body << ": " << problem->problem;
  }
}

TEST(BridgeOrigins, OnlySecureOriginsAreServed) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"https://CA.Example", "https://ca.example"},
      {"https://ca.example:8443", "https://ca.example:8443"},
      {"http://localhost:3000", "http://localhost:3000"},
      {"http://127.0.0.1", "http://127.0.0.1"},
      {"http://[::1]:8080", "http://[::1]:8080"},
      {"https://[2001:db8::1]", "https://[2001:db8::1]"},
      {"http://ca.example", ""},
      {"http://127.0.0.2", ""},
      {"http://localhost.evil.example", ""},
      {"null", ""},
      {"file://", ""},
      {"https://", ""},
      {"https://ca.example/path", ""},
      {"https://user@ca.example", ""},
      {"https://ca.example:99999", ""},
      {"https://ca.example:", ""},
      {"chrome-extension://abc", ""},
  };
  for (const auto& [origin, written] : cases)
    EXPECT_EQ(tarvenholm::hosting::secureOrigin(origin).value_or(""), written) << origin;
}

TEST(BridgeIdentity, ChromiumIdentifierFollowsTheManifestKey) {
  const Json manifest = Json::parse(readText(TARVENHOLM_SOURCE_DIR "/web/extension/manifest.json"));
  const std::string key = manifest.at("key").get<std::string>();
  std::vector<unsigned char> der(key.size());
  const int decoded = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(key.data()),
                                      static_cast<int>(key.size()));
  ASSERT_GT(decoded, 0);
  der.resize(static_cast<std::size_t>(decoded) - static_cast<std::size_t>(std::count(key.end() - 2, key.end(), '=')));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestSize = 0;
  ASSERT_EQ(EVP_Digest(der.data(), der.size(), digest, &digestSize, EVP_sha256(), nullptr), 1);
  std::string identifier;
  for (int index = 0; index < 16; ++index) {
    identifier += static_cast<char>('a' + (digest[index] >> 4));
    identifier += static_cast<char>('a' + (digest[index] & 0xF));
  }
  EXPECT_EQ("chrome-extension://" + identifier + "/", tarvenholm::hosting::kChromiumExtensionOrigin);
}

// tarvenholm-bridge started as Chromium starts it for our extension.
class BridgeProcessTest : public testing_support::HostEnrolmentTest {
 protected:
  struct Exchange {
    HostRun run;
    std::vector<Json> replies;
  };

  Exchange bridge(const std::vector<std::string>& frames, const std::vector<std::string>& answers = {},
                  std::vector<std::string> args = {tarvenholm::hosting::kChromiumExtensionOrigin}) {
    std::string answerText;
    for (const std::string& answer : answers) answerText += answer + "\n";
    writeText(path("answers"), answerText);
    writeText(path("pinentry.log"), "");
    HostEnvironment environment;
    environment.variables = {{"TARVENHOLM_PINENTRY", TARVENHOLM_SOURCE_DIR "/tests/scripted-pinentry"},
                             {"TARVENHOLM_TEST_PINENTRY_ANSWERS", path("answers")},
                             {"TARVENHOLM_TEST_PINENTRY_LOG", path("pinentry.log")}};
    for (const std::string& body : frames) environment.input += frame(body);
    Exchange exchange{runProgram(TARVENHOLM_BINARY_DIR "/tarvenholm-bridge", args, environment), {}};
    std::size_t position = 0;
    std::string body;
    while (readFrame(sourceOf(exchange.run.out, position), body) == FrameStatus::Message)
      exchange.replies.push_back(Json::parse(body));
    EXPECT_EQ(readText(path("answers")), "") << "answers left unused";
    return exchange;
  }

  static std::string call(int id, const std::string& method, const Json& params = Json::array(),
                          const std::string& origin = kPage) {
    return Json{{"id", id}, {"origin", origin}, {"method", method}, {"params", params},
                {"properties", {{"msgLng", 0}, {"kSize", 1024}}}}
        .dump();
  }

  // How many times the user was asked whether the page may act.
  int questionsAsked() {
    int count = 0;
    for (const std::string& line : linesOf(readText(path("pinentry.log")))) count += line == "CONFIRM" ? 1 : 0;
    return count;
  }

  std::vector<std::string> keys() { return linesOf(runHost({"keys", "list"}).out); }

  // The test authority's root, as openssl prints its SHA-256 fingerprint (without colons).
  std::string rootFingerprint() {
    std::string printed =
        testing_support::commandOutput("openssl x509 -noout -fingerprint -sha256 -in '" + authority() + "/root.pem'");
    printed = printed.substr(printed.find('=') + 1);
    std::erase_if(printed, [](char c) { return c == ':' || c == '\n'; });
    return printed;
  }
};

TEST_F(BridgeProcessTest, OnlyOurExtensionMayStartIt) {
  const std::vector<std::vector<std::string>> strangers = {
      {"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"},
      {"/usr/lib/mozilla/native-messaging-hosts/org.tarvenholm.bridge.json", "other@example.org"},
      {},
  };
  for (const std::vector<std::string>& args : strangers) {
    const Exchange refused = bridge({call(1, "genReq", {kNames})}, {}, args);
    EXPECT_EQ(refused.run.status, 1);
    EXPECT_TRUE(refused.replies.empty());
    EXPECT_NE(refused.run.err.find("not the Tarvenholm extension"), std::string::npos) << refused.run.err;
  }
  const Exchange firefox = bridge({call(1, "getCSPList")}, {},
                                  {"/x/org.tarvenholm.bridge.json", tarvenholm::hosting::kFirefoxAddOnId});
  ASSERT_EQ(firefox.replies.size(), 1u) << firefox.run.err;
  EXPECT_NE(firefox.replies[0]["result"].get<std::string>().find("Microsoft Strong Cryptographic Provider|"),
            std::string::npos);
  EXPECT_TRUE(keys().empty());
}

TEST_F(BridgeProcessTest, WhatIsNotAGoodRequestIsAnsweredWithAnErrorAndChangesNothing) {
  std::string oversized = Json{{"id", 9}, {"origin", kPage}, {"method", "genReq"},
                               {"params", {std::string(kMaxRequestBytes, 'x')}}}
                              .dump();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{\"id\": 1, \"method\": \"genReq\", ", "not JSON"},
      {call(2, "deleteEverything"), "unknown method"},
      {call(3, "genReq", {42}), "text parameters"},
      {call(4, "genReq", Json::array()), "1 parameter"},
      {Json{{"id", 5}, {"origin", kPage}, {"method", "genReq"}, {"params", {kNames}},
            {"properties", {{"kSize", {{"bits", 2048}}}}}}
           .dump(),
       "property \"kSize\""},
      {oversized, "larger than 1 MiB"},
      {call(6, "genReq", {kNames}, "http://ca.example"), "not secure"},
      {call(7, "setCert", {"MIIB"}, "null"), "not secure"},
  };
  std::vector<std::string> frames;
  for (const auto& [body, error] : cases) frames.push_back(body);
  frames.push_back(call(8, "getCSPList"));
  const Exchange exchange = bridge(frames);
  ASSERT_EQ(exchange.replies.size(), cases.size() + 1) << exchange.run.err;
  for (std::size_t index = 0; index < cases.size(); ++index) {
    const Json& reply = exchange.replies[index];
    EXPECT_NE(reply.value("error", "").find(cases[index].second), std::string::npos) << reply.dump();
    EXPECT_TRUE(reply["result"].is_null());
  }
  EXPECT_EQ(exchange.replies.back()["id"], 8);
  EXPECT_FALSE(exchange.replies.back().contains("error"));
  EXPECT_EQ(exchange.run.status, 0);
  EXPECT_EQ(questionsAsked(), 0);
  EXPECT_TRUE(keys().empty());
}

TEST_F(BridgeProcessTest, RefusedOriginsMakeNoKeyAndAreRemembered) {
  HKEY policy = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Policies\\Tarvenholm\\Bridge\\Sites", 0, nullptr, 0,
                            KEY_ALL_ACCESS, nullptr, &policy, nullptr),
            ERROR_SUCCESS);
  const char deny[] = "deny";
  ASSERT_EQ(RegSetValueExA(policy, "https://forbidden.example", 0, REG_SZ, reinterpret_cast<const BYTE*>(deny),
                           sizeof deny),
            ERROR_SUCCESS);
  RegCloseKey(policy);

  const Exchange forbidden = bridge({call(1, "genReq", {kNames}, "https://forbidden.example")});
  ASSERT_EQ(forbidden.replies.size(), 1u);
  EXPECT_NE(forbidden.replies[0].value("error", "").find("policy forbids"), std::string::npos);
  EXPECT_EQ(questionsAsked(), 0);

  // The user denies: remembered, asked no more, listed, and asked again once revoked.
  const Exchange denied = bridge({call(1, "genReq", {kNames}), call(2, "setCert", {"MIIB"})}, {"cancel"});
  ASSERT_EQ(denied.replies.size(), 2u);
  for (const Json& reply : denied.replies)
    EXPECT_NE(reply.value("error", "").find("denied"), std::string::npos) << reply.dump();
  EXPECT_EQ(questionsAsked(), 1);
  const std::vector<std::string> sites = linesOf(runHost({"bridge", "sites"}).out);
  EXPECT_EQ(sites, (std::vector<std::string>{"https://forbidden.example\tdeny\tpolicy",
                                             std::string(kPage) + "\tdeny\tuser"}));
  EXPECT_TRUE(keys().empty());

  EXPECT_EQ(runHost({"bridge", "revoke", kPage}).status, 0);
  EXPECT_EQ(runHost({"bridge", "revoke", kPage}).status, 1);
  const Exchange asked = bridge({call(1, "genReq", {kNames})}, {"ok", "cancel"});
  ASSERT_EQ(asked.replies.size(), 1u);
  EXPECT_FALSE(asked.replies[0].contains("error")) << asked.replies[0].dump();
  EXPECT_EQ(keys().size(), 1u);
  EXPECT_TRUE(linesOf(runHost({"bridge", "sites"}).out).size() == 1u) << "allow once is not remembered";
}

TEST_F(BridgeProcessTest, EnrolsAndSurvivesBeingKilledMidCall) {
  const Exchange requested = bridge({call(1, "genReq", {kNames})}, {"notok", "cancel"});
  ASSERT_EQ(requested.replies.size(), 1u) << requested.run.err;
  const std::string request = requested.replies[0]["result"].get<std::string>();
  ASSERT_FALSE(request.empty()) << requested.replies[0].dump();
  EXPECT_NE(readText(path("pinentry.log")).find("SETDESC The page " + std::string(kPage)), std::string::npos);

  const std::string issued = readText(issue(request, "--base64", "user"));
  const Exchange installed = bridge({call(2, "setCert", {issued})}, {"ok"});
  ASSERT_EQ(installed.replies.size(), 1u) << installed.run.err;
  EXPECT_EQ(installed.replies[0]["result"], 2000) << installed.replies[0].dump();
  EXPECT_EQ(questionsAsked(), 1) << "\"always\" is remembered; the new root is asked about";
  EXPECT_NE(readText(path("pinentry.log")).find(rootFingerprint()), std::string::npos);
  EXPECT_EQ(linesOf(runHost({"store", "list", "ROOT"}).out).size(), 1u);

  // Killed while the new key waits for its password: the next bridge works.
  const Exchange killed = bridge({call(3, "genReq", {kNames})}, {"kill"});
  EXPECT_EQ(killed.run.status, 128 + SIGKILL);
  EXPECT_TRUE(killed.replies.empty());
  const Exchange after = bridge({call(4, "getCSPList"), call(5, "genReq", {kNames})}, {"pin secret"});
  ASSERT_EQ(after.replies.size(), 2u) << after.run.err;
  EXPECT_FALSE(after.replies[1]["result"].get<std::string>().empty()) << after.replies[1].dump();

  const std::vector<std::string> mine = linesOf(runHost({"store", "list", "MY"}).out);
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(fieldsOf(mine[0])[0], issuedThumbprint());
  int bound = 0;
  for (const std::string& key : keys()) bound += fieldsOf(key).back() == issuedThumbprint() ? 1 : 0;
  EXPECT_EQ(bound, 1);
}

// The modern request member: its properties put, booleans too, consent
// asked as for genReq, and where the new key is read back; bad input is an
// error reply naming the fault, with no key made.
TEST_F(BridgeProcessTest, MakesAModernRequestAndTellsWhereItsKeyIs) {
  const auto modern = [](int id, const std::string& subject) {
    return Json{{"id", id}, {"origin", kPage}, {"method", "createRequest"}, {"params", {subject}},
                {"properties", {{"msgLng", 0}, {"keyAlgorithm", "ec:p384"}, {"hashAlgorithm", "sha384"},
                                {"singleRdn", true}}}}
        .dump();
  };
  const Exchange exchange =
      bridge({modern(1, "CN=Ana Ruiz,C=MX"), call(2, "requestContainer"), call(3, "requestProvider"),
              modern(4, "CN=Ana Ruiz,C=Mexico")},
             {"ok", "cancel"});
  ASSERT_EQ(exchange.replies.size(), 4u) << exchange.run.err;
  writeText(path("modern.b64"), exchange.replies[0]["result"].get<std::string>());
  const std::string text = testing_support::commandOutput("openssl base64 -d -A -in '" + path("modern.b64") +
                                                          "' | openssl req -inform DER -verify -noout -text 2>&1");
  EXPECT_NE(text.find("verify OK"), std::string::npos) << text;
  EXPECT_NE(text.find("ecdsa-with-SHA384"), std::string::npos) << text;
  EXPECT_NE(text.find("Subject: C = MX + CN = Ana Ruiz"), std::string::npos) << text;

  const std::vector<std::string> made = keys();
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(exchange.replies[1]["result"], fieldsOf(made[0])[0]);
  EXPECT_EQ(exchange.replies[2]["result"], "Tarvenholm Software Key Storage Provider");
  EXPECT_NE(exchange.replies[3].value("error", "").find("country (C) must be two letters"), std::string::npos)
      << exchange.replies[3].dump();
  EXPECT_EQ(questionsAsked(), 1);
}

TEST_F(BridgeProcessTest, ARootTheUserDeclinesIsNotAdded) {
  const std::string root = testing_support::commandOutput("openssl crl2pkcs7 -nocrl -certfile '" + authority() +
                                         "/root.pem' -outform DER | base64 -w 0");
  // The page may install certificates ("always"); its root is declined.
  const Exchange declined = bridge({call(1, "setCert", {root})}, {"notok", "cancel"});
  ASSERT_EQ(declined.replies.size(), 1u) << declined.run.err;
  EXPECT_EQ(declined.replies[0]["result"], -7) << declined.replies[0].dump();
  EXPECT_EQ(declined.replies[0]["messages"],
            Json::parse(R"([{"kind": "error", "text": "The operation was canceled by the user.\r\n"}])"));
  EXPECT_EQ(questionsAsked(), 2);
  const std::string log = readText(path("pinentry.log"));
  EXPECT_NE(log.find("Tarvenholm Test Root"), std::string::npos) << log;
  EXPECT_NE(log.find("SHA-256 fingerprint: " + rootFingerprint()), std::string::npos) << log;
  for (const char* store : {"ROOT", "CA", "MY"}) EXPECT_EQ(runHost({"store", "list", store}).out, "") << store;
}

TEST_F(BridgeProcessTest, InstallWritesManifestsThatNameTheBridgeAndStatusFindsThem) {
  const std::string profile = path("profile");
  const std::vector<std::pair<std::string, std::string>> browsers = {
      {"chromium", "allowed_origins"}, {"chrome", "allowed_origins"}, {"firefox", "allowed_extensions"}};
  for (const auto& [browser, allowed] : browsers) {
    const std::vector<std::string> where = {"--browser", browser, "--profile", profile};
    std::vector<std::string> install = {"bridge", "install"};
    install.insert(install.end(), where.begin(), where.end());
    const HostRun installed = runHost(install);
    ASSERT_EQ(installed.status, 0) << installed.err;
    const std::vector<std::string> written = fieldsOf(linesOf(installed.out).at(0));
    ASSERT_EQ(written.size(), 2u);
    const Json manifest = Json::parse(readText(written[1]));
    EXPECT_EQ(manifest["name"], "org.tarvenholm.bridge");
    EXPECT_EQ(manifest["path"], TARVENHOLM_BINARY_DIR "/tarvenholm-bridge");
    EXPECT_EQ(manifest[allowed].at(0), browser == "firefox" ? tarvenholm::hosting::kFirefoxAddOnId
                                                            : tarvenholm::hosting::kChromiumExtensionOrigin);

    std::vector<std::string> status = {"bridge", "status"};
    status.insert(status.end(), where.begin(), where.end());
    const std::vector<std::string> places = linesOf(runHost(status).out);
    ASSERT_EQ(places.size(), 2u) << "the profile's place and the system's";
    EXPECT_EQ(fieldsOf(places[0]), (std::vector<std::string>{browser, written[1], "installed"}));
    writeText(written[1], "{}");
    EXPECT_EQ(fieldsOf(linesOf(runHost(status).out).at(0)).back(), "present, not made by this tarvenholm");
  }
  EXPECT_EQ(runHost({"bridge", "install", "--browser", "lynx", "--profile", profile}).status, 2);
}

}  // namespace
