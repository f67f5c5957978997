#include <gtest/gtest.h>

#include <dlfcn.h>

#include <optional>
#include <string>

#include "platform/comptr.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/objidl.h"
#include "platform/oleauto.h"
#include "platform/registry.h"
#include "testlib/com_sample.h"
#include "testlib/test_home.h"

namespace {

using platform::ComPtr;
using testing_support::HomeTest;

constexpr CLSID CLSID_Counter{0x6D3E2A40, 0x2222, 0x4B3C, {0x8D, 0x02, 0x11, 0x21, 0x31, 0x41, 0x51, 0x61}};
const std::string modulePath = TARVENHOLM_BINARY_DIR "/tests/modules/com_test_module.so";

std::optional<std::string> value(const std::string& path, const char* name = nullptr) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return std::nullopt;
  UniqueHkey key(opened);
  char data[512] = {};
  DWORD size = sizeof data - 1;
  DWORD type = 0;
  if (RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS)
    return std::nullopt;
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_TRUE(size > 0 && data[size - 1] == '\0') << "written with its terminator";
  return std::string(data);
}

void setValue(const std::string& path, const std::string& text) {
  HKEY opened = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &opened, nullptr),
            ERROR_SUCCESS);
  UniqueHkey key(opened);
  ASSERT_EQ(RegSetValueExA(key.get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                           static_cast<DWORD>(text.size() + 1)),
            ERROR_SUCCESS);
}

void registerCounter(const std::string& path) {
  setValue("CLSID\\" + platform::guidText(CLSID_Counter) + "\\InprocServer32", path);
}

TEST_F(HomeTest, RegisterTypeLibWritesTheLibraryAndItsInterfaces) {
  ComPtr<ITypeLib> library = testing_support::shapeTypeLib();
  for (int round = 0; round < 2; ++round)
    ASSERT_EQ(RegisterTypeLib(library.get(), u"/opt/shapes/shapes.so", u"/opt/shapes/"), S_OK) << "round " << round;

  const std::string root = "TypeLib\\{5B1A7C10-1111-4A2B-9C01-102030405060}\\2.1";
  EXPECT_EQ(value(root), "Shape Library");
  EXPECT_EQ(value(root + "\\FLAGS"), "2");
  EXPECT_EQ(value(root + "\\0\\win32"), "/opt/shapes/shapes.so");
  EXPECT_EQ(value(root + "\\HELPDIR"), "/opt/shapes/");

  const std::string shape = "Interface\\" + platform::guidText(testing_support::IID_IShape);
  EXPECT_EQ(value(shape), "IShape");
  EXPECT_EQ(value(shape + "\\ProxyStubClsid32"), "{00020424-0000-0000-C000-000000000046}");
  EXPECT_EQ(value(shape + "\\TypeLib"), "{5B1A7C10-1111-4A2B-9C01-102030405060}");
  EXPECT_EQ(value(shape + "\\TypeLib", "Version"), "2.1");
  const std::string events = "Interface\\" + platform::guidText(testing_support::DIID_IShapeEvents);
  EXPECT_EQ(value(events + "\\ProxyStubClsid"), "{00020420-0000-0000-C000-000000000046}");

  platform::faultArm("RegisterTypeLib", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegisterTypeLib(library.get(), u"/x", nullptr), TYPE_E_REGISTRYACCESS);
}

TEST_F(HomeTest, ProgramIdentifiersResolveThroughTheRegistry) {
  CLSID clsid = IID_IDispatch;
  EXPECT_EQ(CLSIDFromProgID(u"Shapes.Counter", &clsid), CO_E_CLASSSTRING);
  EXPECT_EQ(clsid, CLSID_NULL);
  setValue("Shapes.Counter\\CLSID", platform::guidText(CLSID_Counter));
  ASSERT_EQ(CLSIDFromProgID(u"shapes.counter", &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Counter);

  LPOLESTR progId = nullptr;
  EXPECT_EQ(ProgIDFromCLSID(CLSID_Counter, &progId), REGDB_E_CLASSNOTREG);
  setValue("CLSID\\" + platform::guidText(CLSID_Counter) + "\\ProgID", "Shapes.Counter");
  ASSERT_EQ(ProgIDFromCLSID(CLSID_Counter, &progId), S_OK);
  EXPECT_EQ(std::u16string(progId), u"Shapes.Counter");
  CoTaskMemFree(progId);

  setValue("Broken.Name\\CLSID", "not an identifier");
  EXPECT_EQ(CLSIDFromProgID(u"Broken.Name", &clsid), CO_E_CLASSSTRING);
}

TEST_F(HomeTest, ObjectsAreCreatedFromTheirRegisteredModule) {
  ComPtr<IPersist> object;
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist, object.putVoid()),
            REGDB_E_CLASSNOTREG);

  registerCounter(modulePath);
  ASSERT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist, object.putVoid()), S_OK);
  CLSID clsid{};
  ASSERT_EQ(object->GetClassID(&clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_Counter);
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_LOCAL_SERVER, IID_IPersist, object.putVoid()),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist, object.putVoid()), S_OK);
  ComPtr<IUnknown> outer(object.get());
  ComPtr<IPersist> aggregated;
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, outer.get(), CLSCTX_INPROC_SERVER, IID_IPersist, aggregated.putVoid()),
            CLASS_E_NOAGGREGATION);
  outer.reset();

  // The module stays while an object of it lives, and goes after.
  ASSERT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist, object.putVoid()), S_OK);
  CoFreeUnusedLibraries();
  void* loaded = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(loaded, nullptr);
  dlclose(loaded);
  object.reset();
  CoFreeUnusedLibraries();
  EXPECT_EQ(dlopen(modulePath.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

TEST_F(HomeTest, ModulesThatCannotServeAreReported) {
  ComPtr<IPersist> object;
  registerCounter(modulePath + ".missing");
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist, object.putVoid()),
            CO_E_DLLNOTFOUND);
  registerCounter(TARVENHOLM_BINARY_DIR "/libtarvenholm-platform.so");
  EXPECT_EQ(CoCreateInstance(CLSID_Counter, nullptr, CLSCTX_INPROC_SERVER, IID_IPersist, object.putVoid()),
            CO_E_ERRORINDLL);

  registerCounter(modulePath);
  ComPtr<IClassFactory> factory;
  const CLSID other = testing_support::CLSID_Shape;
  setValue("CLSID\\" + platform::guidText(other) + "\\InprocServer32", modulePath);
  EXPECT_EQ(CoGetClassObject(other, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.putVoid()),
            CLASS_E_CLASSNOTAVAILABLE);
  platform::faultArm("CoGetClassObject", 1, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CoGetClassObject(CLSID_Counter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.putVoid()),
            REGDB_E_CLASSNOTREG);
  ASSERT_EQ(CoGetClassObject(CLSID_Counter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, factory.putVoid()), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.reset();
  CoFreeUnusedLibraries();
  void* loaded = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_NE(loaded, nullptr) << "a locked server stays loaded";
  if (loaded != nullptr) {
    const auto unlock = [&] {
      ComPtr<IClassFactory> again;
      ASSERT_EQ(CoGetClassObject(CLSID_Counter, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory, again.putVoid()),
                S_OK);
      again->LockServer(FALSE);
    };
    unlock();
    dlclose(loaded);
  }
  CoFreeUnusedLibraries();
  EXPECT_EQ(dlopen(modulePath.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr);
}

}  // namespace
