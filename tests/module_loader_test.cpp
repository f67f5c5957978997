// Loaded modules and the type library a module file carries: real modules
// built for the tests, sections added and damaged with objcopy and by hand.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/comptr.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/libloader.h"
#include "platform/module_section.h"
#include "platform/oletext.h"
#include "platform/typelib.h"
#include "testlib/com_sample.h"
#include "testlib/process_start.h"
#include "testlib/test_home.h"

namespace {

using platform::ComPtr;
using testing_support::HomeTest;

const std::string testModule = TARVENHOLM_BINARY_DIR "/tests/modules/com_test_module.so";

bool isLoaded(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) dlclose(handle);
  return handle != nullptr;
}

std::string fileNameOf(HMODULE module) {
  char path[PATH_MAX];
  const DWORD length = GetModuleFileNameA(module, path, sizeof path);
  EXPECT_GT(length, 0u) << GetLastError();
  return std::string(path, length);
}

std::vector<BYTE> contentsOf(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<BYTE>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::vector<BYTE>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void run(const std::string& command) {
  std::string output;
  ASSERT_EQ(testing_support::runCommand(command, output), 0) << command << "\n" << output;
}

HRESULT loadLibraryFrom(const std::string& path, ComPtr<ITypeLib>& library) {
  return LoadTypeLib(platform::utf8ToWide(path).c_str(), library.put());
}

GUID libraryId(ITypeLib* library) {
  TLIBATTR* attributes = nullptr;
  EXPECT_EQ(library->GetLibAttr(&attributes), S_OK);
  const GUID id = attributes->guid;
  library->ReleaseTLibAttr(attributes);
  return id;
}

class ModuleFiles : public HomeTest {
 protected:
  std::string file(const std::string& name) const { return home_.path() + "/" + name; }

  // A copy of the test module carrying the sample library as its embedded one.
  std::string moduleWithLibrary(const std::string& name, const std::string& objcopyOptions = "") {
    const std::string tlb = file("shapes.tlb");
    EXPECT_EQ(platform::writeTypeLibFile(tlb.c_str(), *testing_support::shapeLibraryModel()),
              static_cast<DWORD>(ERROR_SUCCESS));
    const std::string module = file(name);
    run("objcopy --add-section " PLATFORM_TYPELIB_SECTION "='" + tlb + "' " + objcopyOptions + " '" + testModule +
        "' '" + module + "'");
    return module;
  }
};

TEST_F(ModuleFiles, LibrariesLoadAndUnloadByReference) {
  ASSERT_FALSE(isLoaded(testModule));
  HMODULE module = LoadLibraryA(testModule.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(LoadLibraryA(testModule.c_str()), module) << "a second load shares the handle";
  EXPECT_NE(GetProcAddress(module, "DllGetClassObject"), nullptr);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(module, "DllRegisterServer"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(isLoaded(testModule)) << "one reference is left";
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(isLoaded(testModule));
  EXPECT_FALSE(FreeLibrary(module)) << "the handle of an unloaded library is no longer valid";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  EXPECT_EQ(LoadLibraryA(file("absent.so").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  platform::faultArm("LoadLibraryA", 1, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA(testModule.c_str()), nullptr);
  EXPECT_FALSE(isLoaded(testModule));
}

TEST_F(ModuleFiles, AModuleFindsItsOwnFileFromAnAddressInIt) {
  char program[PATH_MAX] = {};
  ASSERT_GT(readlink("/proc/self/exe", program, sizeof program - 1), 0);
  EXPECT_EQ(fileNameOf(nullptr), program);

  // Loaded by a relative path, reported absolute.
  char previous[PATH_MAX];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(TARVENHOLM_BINARY_DIR "/tests"), 0);
  HMODULE module = LoadLibraryA("./modules/com_test_module.so");
  ASSERT_EQ(chdir(previous), 0);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(fileNameOf(module), std::filesystem::canonical(testModule).string());

  HMODULE found = nullptr;
  const auto inside = reinterpret_cast<LPCSTR>(GetProcAddress(module, "DllCanUnloadNow"));
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 inside, &found));
  EXPECT_EQ(found, module);
  // Without UNCHANGED_REFCOUNT the handle holds a reference of its own.
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, inside, &found));
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(isLoaded(testModule));
  ASSERT_TRUE(FreeLibrary(found));
  EXPECT_FALSE(isLoaded(testModule));

  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCSTR>(&GetModuleFileNameA), &found));
  EXPECT_EQ(std::filesystem::path(fileNameOf(found)).filename(), "libtarvenholm-platform.so");
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCSTR>(&fileNameOf), &found));
  EXPECT_EQ(fileNameOf(found), program);

  EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, nullptr, &found));
  EXPECT_EQ(found, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_FALSE(GetModuleHandleExA(0, "com_test_module.so", &found));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  platform::faultArm("GetModuleHandleExA", 1, ERROR_MOD_NOT_FOUND);
  EXPECT_FALSE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, inside, &found));
}

TEST_F(ModuleFiles, FileNamesAreCutToTheBufferGiven) {
  const std::string program = fileNameOf(nullptr);
  std::vector<char> buffer(program.size(), 'x');
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())), buffer.size());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::string(buffer.data()), program.substr(0, program.size() - 1));

  buffer.push_back('x');
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())), program.size());
  EXPECT_EQ(std::string(buffer.data()), program);

  int notAModule = 0;
  EXPECT_EQ(GetModuleFileNameA(&notAModule, buffer.data(), static_cast<DWORD>(buffer.size())), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  platform::faultArm("GetModuleFileNameA", 1, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())), 0u);
}

TEST_F(ModuleFiles, TypeLibrariesLoadFromModulesAndTlbFiles) {
  const std::string module = moduleWithLibrary("shapes.so");
  ComPtr<ITypeLib> library;
  ASSERT_EQ(loadLibraryFrom(file("shapes.tlb"), library), S_OK);
  EXPECT_EQ(libraryId(library.get()), testing_support::LIBID_ShapeLib);
  ASSERT_EQ(loadLibraryFrom(module, library), S_OK);
  EXPECT_EQ(libraryId(library.get()), testing_support::LIBID_ShapeLib);
  ComPtr<ITypeInfo> shape;
  EXPECT_EQ(library->GetTypeInfoOfGuid(testing_support::IID_IShape, shape.put()), S_OK);
  EXPECT_FALSE(isLoaded(module)) << "the library is read from the file, not by loading the module";

  // The section survives stripping, and a module of the other word size is read alike.
  run("strip '" + module + "'");
  ASSERT_EQ(loadLibraryFrom(module, library), S_OK);
  run("objcopy -O elf32-i386 '" + module + "' '" + file("shapes32.so") + "'");
  ASSERT_EQ(loadLibraryFrom(file("shapes32.so"), library), S_OK);
  EXPECT_EQ(libraryId(library.get()), testing_support::LIBID_ShapeLib);

  EXPECT_EQ(loadLibraryFrom(testModule, library), TYPE_E_CANTLOADLIBRARY) << "a module without a library";
  EXPECT_EQ(library.get(), nullptr);
  EXPECT_EQ(loadLibraryFrom(file("absent.tlb"), library), TYPE_E_CANTLOADLIBRARY);
  EXPECT_EQ(loadLibraryFrom(home_.path(), library), TYPE_E_CANTLOADLIBRARY) << "a directory";
  platform::faultArm("readModuleSection", 1, ERROR_READ_FAULT);
  EXPECT_EQ(loadLibraryFrom(module, library), TYPE_E_CANTLOADLIBRARY);
  platform::faultArm("LoadTypeLib", 1, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(loadLibraryFrom(file("shapes.tlb"), library), TYPE_E_CANTLOADLIBRARY);
}

TEST_F(ModuleFiles, SectionsAreFoundByNameWithTheirExactContents) {
  const std::string module = moduleWithLibrary("shapes.so");
  std::vector<BYTE> bytes;
  ASSERT_EQ(platform::readModuleSection(module.c_str(), PLATFORM_TYPELIB_SECTION, bytes),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(bytes, contentsOf(file("shapes.tlb")));
  ASSERT_EQ(platform::readModuleSection(module.c_str(), ".comment", bytes), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("GCC"), std::string::npos);
  EXPECT_EQ(platform::readModuleSection(module.c_str(), ".typelib2", bytes),
            static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
  EXPECT_EQ(platform::readModuleSection(module.c_str(), ".bss", bytes),
            static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND))
      << "a section without contents in the file";
  EXPECT_EQ(platform::readModuleSection(file("absent.so").c_str(), ".comment", bytes),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(platform::readModuleSection(file("shapes.tlb").c_str(), ".comment", bytes),
            static_cast<DWORD>(ERROR_BAD_FORMAT));
}

// Every way the headers can point outside the file is refused, not followed.
TEST_F(ModuleFiles, DamagedModuleFilesAreRefused) {
  const std::vector<BYTE> good = contentsOf(moduleWithLibrary("shapes.so"));
  ASSERT_GE(good.size(), sizeof(Elf64_Ehdr));
  Elf64_Ehdr header;
  std::memcpy(&header, good.data(), sizeof header);
  const auto damaged = [&](const char* what, auto change) {
    std::vector<BYTE> bytes = good;
    Elf64_Ehdr changed = header;
    change(changed, bytes);
    std::memcpy(bytes.data(), &changed, sizeof changed);
    writeFile(file("damaged.so"), bytes);
    std::vector<BYTE> section;
    const DWORD result = platform::readModuleSection(file("damaged.so").c_str(), PLATFORM_TYPELIB_SECTION, section);
    EXPECT_TRUE(result == ERROR_BAD_FORMAT || result == ERROR_RESOURCE_TYPE_NOT_FOUND) << what << ": " << result;
  };
  damaged("section table past the end", [](Elf64_Ehdr& h, std::vector<BYTE>& b) { h.e_shoff = b.size() - 8; });
  damaged("too many sections", [](Elf64_Ehdr& h, std::vector<BYTE>&) { h.e_shnum = 0xFFFF; });
  damaged("wrong entry size", [](Elf64_Ehdr& h, std::vector<BYTE>&) { h.e_shentsize = 12; });
  damaged("names index out of range", [](Elf64_Ehdr& h, std::vector<BYTE>&) { h.e_shstrndx = h.e_shnum; });
  damaged("names index not a string table", [](Elf64_Ehdr& h, std::vector<BYTE>&) { h.e_shstrndx = 1; });
  damaged("extended count from a huge first header", [](Elf64_Ehdr& h, std::vector<BYTE>& b) {
    h.e_shnum = 0;
    Elf64_Shdr first;
    std::memcpy(&first, b.data() + h.e_shoff, sizeof first);
    first.sh_size = ~Elf64_Xword{0} / 2;
    std::memcpy(b.data() + h.e_shoff, &first, sizeof first);
  });
  damaged("every section's contents past the end", [](Elf64_Ehdr& h, std::vector<BYTE>& b) {
    for (unsigned i = 0; i < h.e_shnum; ++i) {
      Elf64_Shdr section;
      std::memcpy(&section, b.data() + h.e_shoff + i * sizeof section, sizeof section);
      section.sh_offset = ~Elf64_Off{0} - 4;
      std::memcpy(b.data() + h.e_shoff + i * sizeof section, &section, sizeof section);
    }
  });
  damaged("other byte order", [](Elf64_Ehdr& h, std::vector<BYTE>&) { h.e_ident[EI_DATA] = ELFDATA2MSB; });
  damaged("unknown class", [](Elf64_Ehdr& h, std::vector<BYTE>&) { h.e_ident[EI_CLASS] = 7; });

  for (std::size_t size : {std::size_t{4}, std::size_t{40}, good.size() / 2, good.size() - 1}) {
    writeFile(file("cut.so"), std::vector<BYTE>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)));
    ComPtr<ITypeLib> library;
    EXPECT_EQ(loadLibraryFrom(file("cut.so"), library), TYPE_E_CANTLOADLIBRARY) << "cut to " << size;
  }
}

}  // namespace
