// Type libraries read from files: a module's embedded library or a .tlb.
#include <elf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/module_section.h"
#include "platform/oletext.h"
#include "platform/typelib.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

// Appends what is left of the file up to `limit` bytes in all.
DWORD readUpTo(int fd, std::size_t limit, std::vector<BYTE>& bytes) {
  BYTE buffer[8192];
  while (bytes.size() < limit) {
    const ssize_t step = ::read(fd, buffer, std::min(sizeof buffer, limit - bytes.size()));
    if (step < 0 && errno == EINTR) continue;
    if (step < 0) return ERROR_READ_FAULT;
    if (step == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + step);
  }
  return ERROR_SUCCESS;
}

}  // namespace

DWORD readTypeLibFile(const char* path, std::vector<BYTE>& bytes) {
  if (path == nullptr) return ERROR_INVALID_PARAMETER;
  const UniqueFd file = UniqueFd::openForReading(path);
  if (!file.valid()) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  // The first bytes tell a module from a .tlb; only a .tlb is read whole.
  std::vector<BYTE> contents;
  DWORD read = readUpTo(file.get(), SELFMAG, contents);
  if (read != ERROR_SUCCESS) return read;
  if (looksLikeModuleFile(contents.data(), contents.size()))
    return readModuleSection(path, PLATFORM_TYPELIB_SECTION, bytes);
  read = readUpTo(file.get(), SIZE_MAX, contents);
  if (read != ERROR_SUCCESS) return read;
  bytes = std::move(contents);
  return ERROR_SUCCESS;
}

}  // namespace platform

HRESULT LoadTypeLib(LPCOLESTR szFile, ITypeLib** pptlib) {
  if (pptlib == nullptr) return E_INVALIDARG;
  *pptlib = nullptr;
  if (szFile == nullptr) return E_INVALIDARG;
  if (FAULT("LoadTypeLib", ERROR_FILE_NOT_FOUND)) return TYPE_E_CANTLOADLIBRARY;
  std::vector<BYTE> bytes;
  if (platform::readTypeLibFile(platform::wideToUtf8(szFile).c_str(), bytes) != ERROR_SUCCESS)
    return TYPE_E_CANTLOADLIBRARY;
  return platform::loadTypeLibFromMemory(bytes.data(), bytes.size(), pptlib);
}
