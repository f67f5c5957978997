#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <thread>

#include "platform/application.h"
#include "platform/bstr.h"
#include "platform/fault.h"
#include "platform/home.h"
#include "platform/lasterror.h"
#include "testlib/test_home.h"

namespace {

using testing_support::HomeTest;

TEST(LastError, IsPerThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seenByOtherThread = 1;
  std::thread([&] { seenByOtherThread = GetLastError(); }).join();
  EXPECT_EQ(seenByOtherThread, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(FormatMessage, AllocatesSystemTextAndFailsForUnknownNumbers) {
  char* text = nullptr;
  DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                    FORMAT_MESSAGE_FROM_SYSTEM,
                                nullptr, NTE_BAD_KEYSET, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                reinterpret_cast<LPSTR>(&text), 0, nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(length, std::strlen(text));
  EXPECT_STREQ(text, "Keyset does not exist.\r\n");
  LocalFree(text);

  text = nullptr;
  EXPECT_EQ(FormatMessageA(0x1300, nullptr, 0x12345678, 0x400, reinterpret_cast<LPSTR>(&text), 0, nullptr), 0u);
  EXPECT_EQ(text, nullptr);
}

TEST_F(HomeTest, FaultSwitchFailsTheChosenUseOnly) {
  platform::faultArm("LocalAlloc", 2, ERROR_OUTOFMEMORY);
  void* first = LocalAlloc(LPTR, 16);
  void* second = LocalAlloc(LPTR, 16);
  void* third = LocalAlloc(LPTR, 16);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OUTOFMEMORY));
  EXPECT_NE(third, nullptr);
  LocalFree(first);
  LocalFree(third);
}

TEST(Bstr, KeepsLengthAndEmbeddedZeros) {
  const char16_t text[] = u"a\0b";
  UniqueBstr copy(SysAllocStringLen(text, 3));
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(SysStringLen(copy.get()), 3u);
  EXPECT_EQ(SysStringByteLen(copy.get()), 6u);
  EXPECT_EQ(copy.get()[2], u'b');
  EXPECT_EQ(copy.get()[3], 0);
  UniqueBstr blank(SysAllocStringLen(nullptr, 2));
  EXPECT_EQ(blank.get()[0], 0);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
}

TEST_F(HomeTest, HomeIsCreatedPrivate) {
  std::string nested = home_.path() + "/a/b";
  platform::setHomeOverride(nested);
  ASSERT_TRUE(platform::ensureHomeDirectory());
  struct stat info {};
  ASSERT_EQ(::stat(nested.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  EXPECT_EQ(platform::userHivePath(), nested + "/user.hive");
  platform::setHomeOverride("");
}

TEST_F(HomeTest, MachineHiveFollowsTheEnvironment) {
  EXPECT_EQ(platform::machineHivePath(), home_.path() + "/machine.hive");
  ::setenv("TARVENHOLM_MACHINE_HIVE", "/srv/machine.hive", 1);
  EXPECT_EQ(platform::machineHivePath(), "/srv/machine.hive");
  ::unsetenv("TARVENHOLM_MACHINE_HIVE");
}

TEST(MessageBox, DefaultSinkWritesOneLineToStandardError) {
  ::testing::internal::CaptureStderr();
  platform::applicationMessageBox("Se localizó un nombre incorrecto", "Tarvenholm", MB_ICONERROR);
  platform::applicationMessageBox("La cadena de nombres no es correcta", "Tarvenholm", MB_ICONINFORMATION);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Tarvenholm [error] Se localizó un nombre incorrecto\n"
            "Tarvenholm [info] La cadena de nombres no es correcta\n");
}

}  // namespace
