// The module's life in a process: its class factory and lock count, what it
// exports, what loading and unloading it does, and creation of the control
// by program identifier once it is registered.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control/identifiers.h"
#include "platform/comptr.h"
#include "platform/dispatch.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/oleauto.h"
#include "testlib/child_process.h"
#include "testlib/control_module.h"
#include "testlib/host_process.h"
#include "testlib/process_start.h"
#include "testlib/test_home.h"

namespace {

using platform::ComPtr;
using testing_support::ControlModule;

class ModuleLifetime : public testing_support::HomeTest {
 protected:
  ComPtr<IClassFactory> factory(const ControlModule& module) {
    ComPtr<IClassFactory> got;
    EXPECT_EQ(module.getClassObject(tarvenholm::CLSID_keyGenerator, IID_IClassFactory, got.putVoid()), S_OK);
    return got;
  }
  ComPtr<IDispatch> createControl(const ControlModule& module) {
    ComPtr<IDispatch> control;
    EXPECT_EQ(factory(module)->CreateInstance(nullptr, IID_IDispatch, control.putVoid()), S_OK);
    return control;
  }
};

LONG keySize(IDispatch* control) {
  VARIANT value;
  VariantInit(&value);
  EXPECT_EQ(platform::invokeByName(control, u"kSize", DISPATCH_PROPERTYGET, nullptr, 0, &value), S_OK);
  EXPECT_EQ(value.vt, VT_I4);
  return value.lVal;
}

void putNumber(IDispatch* control, const char16_t* name, LONG number) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = number;
  EXPECT_EQ(platform::invokeByName(control, name, DISPATCH_PROPERTYPUT, &value, 1, nullptr), S_OK);
}

void putText(IDispatch* control, const char16_t* name, const char16_t* text) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(text);
  EXPECT_EQ(platform::invokeByName(control, name, DISPATCH_PROPERTYPUT, &value, 1, nullptr), S_OK);
  VariantClear(&value);
}

// genReq's result text.
std::u16string generateRequest(IDispatch* control, const char16_t* names) {
  VARIANT argument;
  VariantInit(&argument);
  argument.vt = VT_BSTR;
  argument.bstrVal = SysAllocString(names);
  VARIANT result;
  VariantInit(&result);
  platform::invokeByName(control, u"genReq", DISPATCH_METHOD, &argument, 1, &result);
  VariantClear(&argument);
  std::u16string text;
  if (result.vt == VT_BSTR && result.bstrVal != nullptr) text.assign(result.bstrVal, SysStringLen(result.bstrVal));
  VariantClear(&result);
  return text;
}

std::set<std::string> exportedNames(const std::string& path) {
  std::string listing;
  EXPECT_EQ(testing_support::runCommand("nm -D --defined-only '" + path + "'", listing), 0) << listing;
  std::set<std::string> names;
  for (const std::string& line : testing_support::linesOf(listing)) names.insert(line.substr(line.rfind(' ') + 1));
  return names;
}

TEST_F(ModuleLifetime, ExportsTheEntryPointsAndIdentifiersOnly) {
  EXPECT_EQ(exportedNames(testing_support::builtModulePath()),
            (std::set<std::string>{"CLSID_keyGenerator", "DIID_ITarvenholmEvents", "DllCanUnloadNow",
                                   "DllGetClassObject", "DllRegisterServer", "DllUnregisterServer",
                                   "IID_ITarvenholmX", "LIBID_Tarvenholm"}));
  ControlModule module;
  const auto* clsid = reinterpret_cast<const CLSID*>(GetProcAddress(module.handle(), "CLSID_keyGenerator"));
  ASSERT_NE(clsid, nullptr);
  EXPECT_EQ(*clsid, tarvenholm::CLSID_keyGenerator);
  const auto* libid = reinterpret_cast<const GUID*>(GetProcAddress(module.handle(), "LIBID_Tarvenholm"));
  ASSERT_NE(libid, nullptr);
  EXPECT_EQ(*libid, tarvenholm::LIBID_Tarvenholm);
}

TEST_F(ModuleLifetime, ServesOneClassThroughOneKeptFactory) {
  ControlModule module;
  void* result = &result;
  EXPECT_EQ(module.getClassObject(CLSID_NULL, IID_IClassFactory, &result),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(result, nullptr);
  result = &result;
  EXPECT_EQ(module.getClassObject(tarvenholm::IID_ITarvenholmX, IID_IClassFactory, &result),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(module.getClassObject(tarvenholm::CLSID_keyGenerator, IID_IClassFactory, nullptr), E_POINTER);
  result = &result;
  EXPECT_EQ(module.getClassObject(tarvenholm::CLSID_keyGenerator, IID_IDispatch, &result), E_NOINTERFACE);
  EXPECT_EQ(result, nullptr);

  ComPtr<IUnknown> first;
  ComPtr<IUnknown> second;
  ASSERT_EQ(module.getClassObject(tarvenholm::CLSID_keyGenerator, IID_IUnknown, first.putVoid()), S_OK);
  ASSERT_EQ(module.getClassObject(tarvenholm::CLSID_keyGenerator, IID_IUnknown, second.putVoid()), S_OK);
  EXPECT_EQ(first.get(), second.get());
  ComPtr<IUnknown> identity;
  ASSERT_EQ(factory(module)->QueryInterface(IID_IUnknown, identity.putVoid()), S_OK);
  EXPECT_EQ(identity.get(), first.get());
}

TEST_F(ModuleLifetime, ConcurrentFirstRequestsShareTheFactory) {
  ControlModule module;
  constexpr int kThreads = 8;
  std::array<IUnknown*, kThreads> factories{};
  std::atomic<int> waiting{kThreads};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      --waiting;
      while (waiting > 0) std::this_thread::yield();
      EXPECT_EQ(module.getClassObject(tarvenholm::CLSID_keyGenerator, IID_IUnknown,
                                      reinterpret_cast<void**>(&factories[i])),
                S_OK);
    });
  for (std::thread& thread : threads) thread.join();
  for (IUnknown* factory : factories) {
    EXPECT_EQ(factory, factories[0]);
    if (factory != nullptr) factory->Release();
  }
}

TEST_F(ModuleLifetime, CanUnloadOnlyWithoutLiveControlsOrLocks) {
  ControlModule module;
  EXPECT_EQ(module.canUnloadNow(), S_OK);
  ComPtr<IClassFactory> classFactory = factory(module);
  EXPECT_EQ(module.canUnloadNow(), S_OK) << "holding the factory is no lock";
  ComPtr<IDispatch> first;
  ComPtr<IDispatch> second;
  ASSERT_EQ(classFactory->CreateInstance(nullptr, IID_IDispatch, first.putVoid()), S_OK);
  ASSERT_EQ(classFactory->CreateInstance(nullptr, IID_IDispatch, second.putVoid()), S_OK);
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);
  first.reset();
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);
  second.reset();
  EXPECT_EQ(module.canUnloadNow(), S_OK);

  ASSERT_EQ(classFactory->LockServer(TRUE), S_OK);
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);
  ASSERT_EQ(classFactory->LockServer(FALSE), S_OK);
  EXPECT_EQ(module.canUnloadNow(), S_OK);

  // An aggregated control counts too.
  ComPtr<IUnknown> outer(classFactory.get());
  ComPtr<IUnknown> inner;
  ASSERT_EQ(classFactory->CreateInstance(outer.get(), IID_IUnknown, inner.putVoid()), S_OK);
  EXPECT_EQ(module.canUnloadNow(), S_FALSE);
  inner.reset();
  EXPECT_EQ(module.canUnloadNow(), S_OK);
}

// Settings are the module's: unloaded and loaded afresh, it starts from its
// defaults (key size 1024, the Enhanced provider, Spanish messages).
TEST_F(ModuleLifetime, SettingsAreAtTheirDefaultsWhenTheModuleIsLoadedAfresh) {
  const std::string path = testing_support::builtModulePath();
  {
    ControlModule module;
    ComPtr<IDispatch> control = createControl(module);
    ComPtr<IDispatch> other = createControl(module);
    putNumber(control.get(), u"kSize", 4096);
    putNumber(control.get(), u"msgLng", 0);
    putText(control.get(), u"provName", u"No Such Provider");
    EXPECT_EQ(keySize(other.get()), 4096) << "shared by every control of the module";
    EXPECT_EQ(generateRequest(other.get(), u""), u"");
    EXPECT_EQ(boxes_.texts(), std::vector<std::string>{"RDN Chain should not be empty"});
    control.reset();
    other.reset();
    ASSERT_EQ(module.canUnloadNow(), S_OK);
  }
  ASSERT_FALSE(testing_support::moduleIsLoaded(path)) << "the module is really unloaded";

  boxes_.clear();
  ControlModule module;
  ComPtr<IDispatch> control = createControl(module);
  EXPECT_EQ(keySize(control.get()), 1024);
  EXPECT_EQ(generateRequest(control.get(), u""), u"");
  EXPECT_EQ(boxes_.texts(), std::vector<std::string>{"La cadena de Names no debe ser vacía"});
  EXPECT_FALSE(generateRequest(control.get(), u"2.5.4.3=Fresh Module").empty())
      << "the default provider is used again";
}

// Each load initialises the component services on the loading thread and
// its unload gives that back, unless the initialisation failed.
TEST_F(ModuleLifetime, LoadAndUnloadBalanceTheThreadsInitialisation) {
  const auto onFreshThread = [](auto work) { std::thread(work).join(); };
  onFreshThread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    { ControlModule module; }
    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_OK) << "the module's own initialisation was given back";
    CoUninitialize();
  });
  onFreshThread([] {
    ASSERT_EQ(CoInitialize(nullptr), S_OK);
    platform::faultArm("CoInitialize", 1, ERROR_OUTOFMEMORY);
    { ControlModule module; }
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE) << "a failed initialisation is not given back";
    CoUninitialize();
    CoUninitialize();
  });
}

// Run by CreatedByProgramIdentifierInAnotherProcess in a process of its own,
// on the home that the parent registered the module in.
TEST(ModuleLifetimeChild, CreatesTheControlByProgramIdentifier) {
  if (!testing_support::inChildProcess()) GTEST_SKIP() << "runs as a child process";
  CoInitialize(nullptr);
  CLSID clsid{};
  ASSERT_EQ(CLSIDFromProgID(u"Tarvenholm.keyGenerator", &clsid), S_OK);
  ComPtr<IDispatch> control;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.putVoid()), S_OK);
  testing_support::reportToParent("kSize " + std::to_string(keySize(control.get())));
  testing_support::reportToParent(std::string("loaded ") +
                                  (testing_support::moduleIsLoaded(testing_support::builtModulePath()) ? "yes" : "no"));
  control.reset();
  CoFreeUnusedLibraries();
  testing_support::reportToParent(std::string("after release ") +
                                  (testing_support::moduleIsLoaded(testing_support::builtModulePath()) ? "yes" : "no"));
  CoUninitialize();
}

TEST_F(ModuleLifetime, CreatedByProgramIdentifierInAnotherProcess) {
  CLSID clsid{};
  EXPECT_EQ(CLSIDFromProgID(u"Tarvenholm.keyGenerator", &clsid), CO_E_CLASSSTRING) << "not registered yet";
  {
    ControlModule module;
    ASSERT_EQ(module.registerServer(), S_OK);
  }
  const testing_support::ChildResult child =
      testing_support::runTestInChild("ModuleLifetimeChild.CreatesTheControlByProgramIdentifier", {});
  EXPECT_EQ(child.exitStatus, 0);
  EXPECT_EQ(child.reports, (std::vector<std::string>{"kSize 1024", "loaded yes", "after release no"}));
}

}  // namespace
