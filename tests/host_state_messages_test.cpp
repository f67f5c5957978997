// What `tarvenholm` says when the user's state cannot be used: one line that
// names the file and the cause in words; listings that show every entry
// they can read and name the ones they cannot; reading with a full disk.
// (OpenSSL before the platform's headers: the test certificates use it.)
#include "testlib/crypt_fixtures.h"

#include <gtest/gtest.h>
#include <openssl/pkcs12.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "platform/openssl_handles.h"
#include "platform/registry.h"
#include "testlib/child_process.h"
#include "testlib/host_fixture.h"
#include "testlib/host_process.h"
#include "testlib/test_home.h"

namespace {

using testing_support::HomeTest;
using testing_support::HostRun;
using testing_support::linesOf;
using testing_support::runHost;

const std::vector<std::string> kGenreq = {"genreq", "--names", "2.5.4.3=Ana", "--key-size", "1024"};

// Writes bytes that are no valid value over a value of the user hive.
void damage(const std::string& key, const char* value) {
  HKEY opened = nullptr;
  ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, KEY_ALL_ACCESS, &opened), ERROR_SUCCESS) << key;
  const BYTE garbage[] = {0x30, 0x01, 0x02};
  EXPECT_EQ(RegSetValueExA(opened, value, 0, REG_BINARY, garbage, sizeof garbage), ERROR_SUCCESS);
  RegCloseKey(opened);
}

class HostStateMessages : public HomeTest {};

TEST_F(HostStateMessages, AStateFileThatCannotBeUsedIsNamedWithItsCauseOnOneLine) {
  struct Case {  // "{H}" stands for the case's home
    std::string machineHive;  // TARVENHOLM_MACHINE_HIVE when not empty
    std::string folder;       // a folder made where the file belongs
    std::vector<std::string> args;
    std::string line;
  };
  const std::string longHome = "{H}/" + std::string(5000, 'h');
  const Case cases[] = {
      {"{H}/missing/machine.hive", "", kGenreq,
       "cannot open the machine hive {H}/missing/machine.hive: the folder {H}/missing does not exist"},
      {"", "machine.hive", kGenreq, "cannot open the machine hive {H}/machine.hive: it is a folder"},
      {"", "machine.hive", {"--lang", "es", "keys", "list"},
       "no se pudo abrir el registro de la máquina {H}/machine.hive: es una carpeta"},
      {"/dev/null", "", kGenreq, "cannot open the machine hive /dev/null: it is a device, not a file"},
      {"", "user.hive", {"store", "list", "MY"}, "cannot open the user hive {H}/user.hive: it is a folder"},
      {"", "", {"--home", longHome, "csp-list"}, "cannot use the home " + longHome + ": the path is too long"},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string home = home_.path() + "/case" + std::to_string(index++);
    const auto inHome = [&home](std::string text) {
      for (std::size_t at; (at = text.find("{H}")) != std::string::npos;) text.replace(at, 3, home);
      return text;
    };
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    if (!c.folder.empty()) ::mkdir((home + "/" + c.folder).c_str(), 0700);
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(inHome(arg));
    const HostRun run =
        runHost(args, {"", {{"TARVENHOLM_HOME", home}, {"TARVENHOLM_MACHINE_HIVE", inHome(c.machineHive)}}});
    EXPECT_EQ(run.status, 1) << c.line;
    EXPECT_EQ(run.out, "") << c.line;
    EXPECT_EQ(run.err, "tarvenholm: " + inHome(c.line) + "\n");
  }
}

TEST_F(HostStateMessages, ListingsShowEveryReadableEntryAndNameTheDamagedOnes) {
  for (const char* name : {"first", "damaged", "last"}) {
    UniqueCryptProv context;
    ASSERT_TRUE(testing_support::makeKeyPair(context, name, 512u << 16));
  }
  damage("Software\\Tarvenholm\\Crypto\\Keys\\RSA\\damaged", "Exchange");

  std::vector<std::string> thumbprints;
  UniqueCertStore my(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY"));
  for (const char* subject : {"/CN=Unreadable", "/CN=Unbound", "/CN=Sound"}) {
    const auto certificate =
        testing_support::TestCertificate::selfSigned({subject, false, {}, 1, 30}, testing_support::TestKey::p256());
    UniqueCertContext context(CertCreateCertificateContext(X509_ASN_ENCODING, certificate.der().data(),
                                                           static_cast<DWORD>(certificate.der().size())));
    ASSERT_TRUE(CertAddCertificateContextToStore(my.get(), context.get(), CERT_STORE_ADD_NEW, nullptr));
    thumbprints.push_back(testing_support::hexText(certificate.thumbprint()));
  }
  const std::string entries = "Software\\Tarvenholm\\SystemCertificates\\MY\\Certificates\\";
  damage(entries + thumbprints[0], "Blob");
  damage(entries + thumbprints[1], "KeyProvInfo");

  const HostRun keys = runHost({"keys", "list"});
  EXPECT_EQ(keys.status, 1);
  ASSERT_EQ(linesOf(keys.out).size(), 2u) << keys.out;
  EXPECT_EQ(keys.out.find("first\t"), 0u);
  EXPECT_NE(keys.out.find("\nlast\t"), std::string::npos);
  EXPECT_EQ(keys.err,
            "tarvenholm: cannot read the key container damaged: The stored keyset is damaged. (0x8009001A)\n");
  // The way out: the damaged container can be deleted by its name.
  EXPECT_EQ(runHost({"keys", "delete", "damaged"}).status, 0);
  const HostRun repaired = runHost({"keys", "list"});
  EXPECT_EQ(repaired.status, 0) << repaired.err;
  EXPECT_EQ(repaired.out, keys.out);

  const HostRun store = runHost({"store", "list", "MY"});
  EXPECT_EQ(store.status, 1);
  EXPECT_EQ(linesOf(store.out),
            (std::vector<std::string>{thumbprints[1] + "\tCN=Unbound", thumbprints[2] + "\tCN=Sound"}));
  EXPECT_EQ(store.err, "tarvenholm: the entry of the certificate " + thumbprints[0] + " in MY is damaged\n" +
                           "tarvenholm: the entry of the certificate " + thumbprints[1] + " in MY is damaged\n");
}

// Child of ReadingWorksOnAFullDiskAndAWriteSaysTheDiskIsFull: in a mount
// namespace of its own, a home on a small file system filled to the last block:
// listings and an export to standard output work, changes say the disk is full.
TEST(HostStateMessagesChild, OnAFullDisk) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs as a child process only";
  const std::string mountPoint = std::getenv("FULL_DISK_MOUNT");
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  ASSERT_EQ(::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m"), 0);
  const std::string home = mountPoint + "/home";
  const testing_support::HostEnvironment environment{"", {{"TARVENHOLM_HOME", home}}};
  ASSERT_EQ(runHost(kGenreq, environment).status, 0);
  // A certificate bound to its key, to export.
  const std::string file = mountPoint + "/ana";
  const std::string password = mountPoint + "/password.txt";
  testing_support::writeText(password, "secret\n");
  testing_support::commandOutput("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=Ana -days 3 -keyout " + file +
                                 ".key -out " + file + ".pem 2>&1 && openssl pkcs12 -export -inkey " + file +
                                 ".key -in " + file + ".pem -out " + file + ".p12 -passout pass:secret");
  const HostRun imported = runHost({"--password-file", password, "store", "import", file + ".p12"}, environment);
  ASSERT_EQ(imported.status, 0) << imported.err;
  const std::string thumbprint = testing_support::fieldsOf(imported.out)[0];
  const std::vector<std::vector<std::string>> reads = {{"keys", "list"}, {"store", "list", "MY"}, {"csp-list"}};
  std::vector<std::string> before;
  for (const auto& read : reads) before.push_back(runHost(read, environment).out);

  {
    std::ofstream fill(mountPoint + "/fill", std::ios::binary);
    const std::string block(4096, '\0');
    while (fill.write(block.data(), static_cast<std::streamsize>(block.size())) && fill.flush()) {
    }
  }
  for (std::size_t i = 0; i < reads.size(); ++i) {
    const HostRun run = runHost(reads[i], environment);
    EXPECT_EQ(run.status, 0) << reads[i][0] << ": " << run.err;
    EXPECT_EQ(run.out, before[i]) << reads[i][0];
  }
  EXPECT_EQ(runHost({"--help"}, environment).status, 0);
  const HostRun exported =
      runHost({"--password-file", password, "store", "export", thumbprint, "--out", "-"}, environment);
  EXPECT_EQ(exported.status, 0) << exported.err;
  const auto* der = reinterpret_cast<const unsigned char*>(exported.out.data());
  const platform::UniquePkcs12 pkcs12(d2i_PKCS12(nullptr, &der, static_cast<long>(exported.out.size())));
  EXPECT_TRUE(pkcs12 && PKCS12_verify_mac(pkcs12.get(), "secret", -1) == 1) << "standard output holds the PKCS#12 file";
  // A change fails, naming the first hive it writes and the cause.
  const std::regex full("tarvenholm: cannot write to the (user|machine) hive " + home +
                        "/(user|machine)\\.hive: no space left on the device\n$");
  for (const std::vector<std::string>& change : {kGenreq, std::vector<std::string>{"unregister"}}) {
    const HostRun write = runHost(change, environment);
    EXPECT_EQ(write.status, 1) << change[0];
    EXPECT_TRUE(write.out.empty() && std::regex_search(write.err, full)) << write.err;
  }
  testing_support::reportToParent("ran");
}

TEST_F(HostStateMessages, ReadingWorksOnAFullDiskAndAWriteSaysTheDiskIsFull) {
  if (::geteuid() != 0) GTEST_SKIP() << "a file system of its own needs root";
  const std::string mountPoint = home_.path() + "/small";
  ASSERT_EQ(::mkdir(mountPoint.c_str(), 0700), 0);
  const testing_support::ChildResult child =
      testing_support::runTestInChild("HostStateMessagesChild.OnAFullDisk", {{"FULL_DISK_MOUNT", mountPoint}});
  EXPECT_EQ(child.exitStatus, 0) << "the child's expectations failed (its output is above)";
  EXPECT_EQ(child.reports, std::vector<std::string>{"ran"});
}

}  // namespace
