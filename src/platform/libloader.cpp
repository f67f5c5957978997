// Loaded modules over the dynamic loader (dlopen and its GNU extensions
// dladdr1 and dlinfo, which give the loader's record of a library).
#include "platform/libloader.h"

#include <dlfcn.h>
#include <link.h>
#include <limits.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/fault.h"
#include "platform/lasterror.h"

namespace {

link_map* programMap() {
  void* program = dlopen(nullptr, RTLD_NOW);
  if (program == nullptr) return nullptr;
  link_map* map = nullptr;
  if (dlinfo(program, RTLD_DI_LINKMAP, &map) != 0) map = nullptr;
  dlclose(program);
  return map;
}

// The loader's record behind a handle, when the handle names a library that
// is loaded now; a handle is the address of that record.
link_map* loadedMap(HMODULE module) {
  for (link_map* map = programMap(); map != nullptr; map = map->l_next)
    if (static_cast<void*>(map) == module) return map;
  return nullptr;
}

std::string programFileName() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
  return std::string(path, static_cast<std::size_t>(length));
}

// The file that the memory at `address` is mapped from, as the kernel
// names it: absolute, whatever directory the process was in when it mapped it.
std::string mappedFileName(const void* address) {
  std::ifstream maps("/proc/self/maps");
  const auto wanted = reinterpret_cast<std::uintptr_t>(address);
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::uintptr_t start = 0;
    std::uintptr_t end = 0;
    char dash = 0;
    std::string permissions, offset, device, inode;
    fields >> std::hex >> start >> dash >> end >> permissions >> offset >> device >> inode;
    if (!fields || wanted < start || wanted >= end) continue;
    std::string path;
    std::getline(fields >> std::ws, path);
    return path.starts_with("/") ? path : std::string();
  }
  return {};
}

// The loader keeps the name a library was opened by, which is relative when
// the caller gave a relative path.
std::string absoluteFileName(const link_map& map) {
  return map.l_name[0] == '/' ? std::string(map.l_name) : mappedFileName(map.l_ld);
}

}  // namespace

HMODULE LoadLibraryA(LPCSTR fileName) {
  if (fileName == nullptr || fileName[0] == '\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (FAULT("LoadLibraryA", ERROR_MOD_NOT_FOUND)) return nullptr;
  void* module = dlopen(fileName, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) SetLastError(ERROR_MOD_NOT_FOUND);
  return module;
}

BOOL FreeLibrary(HMODULE module) {
  if (module == nullptr || loadedMap(module) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  dlclose(module);
  return TRUE;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName) {
  if (module == nullptr || procName == nullptr || loadedMap(module) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (FAULT("GetProcAddress", ERROR_PROC_NOT_FOUND)) return nullptr;
  void* symbol = dlsym(module, procName);
  if (symbol == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL GetModuleHandleExA(DWORD flags, LPCSTR moduleName, HMODULE* module) {
  if (module == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *module = nullptr;
  if ((flags & GET_MODULE_HANDLE_EX_FLAG_PIN) && (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (FAULT("GetModuleHandleExA", ERROR_MOD_NOT_FOUND)) return FALSE;
  const char* loadedName = nullptr;
  if (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(moduleName, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0 || map == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if (map != programMap()) loadedName = map->l_name;
  } else if (moduleName != nullptr) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
  }
  // Opening the loaded library again by the name the loader knows it by
  // yields its handle and one more reference.
  int mode = RTLD_NOW | (loadedName != nullptr ? RTLD_NOLOAD : 0);
  if (flags & GET_MODULE_HANDLE_EX_FLAG_PIN) mode |= RTLD_NODELETE;
  void* handle = dlopen(loadedName, mode);
  if (handle == nullptr) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return FALSE;
  }
  if (flags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) dlclose(handle);
  *module = handle;
  return TRUE;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
  if (fileName == nullptr && size > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (FAULT("GetModuleFileNameA", ERROR_MOD_NOT_FOUND)) return 0;
  std::string path;
  if (module == nullptr) {
    path = programFileName();
  } else {
    const link_map* map = loadedMap(module);
    if (map == nullptr) {
      SetLastError(ERROR_MOD_NOT_FOUND);
      return 0;
    }
    path = map->l_name[0] == '\0' ? programFileName() : absoluteFileName(*map);
  }
  if (path.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (path.size() >= size) {
    if (size > 0) {
      std::memcpy(fileName, path.data(), size - 1);
      fileName[size - 1] = '\0';
    }
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  std::memcpy(fileName, path.c_str(), path.size() + 1);
  return static_cast<DWORD>(path.size());
}
