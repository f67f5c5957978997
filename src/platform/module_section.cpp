// Reading one named section out of an ELF file. The file is untrusted
// input: every offset, size and count from its headers is checked against
// the file's size before it is used.
#include "platform/module_section.h"

#include <elf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

// Reads ranges of the file; the first failure sticks and is the result.
class FileReader {
 public:
  FileReader(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

  DWORD error() const { return error_; }

  bool read(std::uint64_t offset, void* out, std::uint64_t size) {
    if (error_ != ERROR_SUCCESS) return false;
    if (offset > size_ || size > size_ - offset) return fail(ERROR_BAD_FORMAT);
    auto* at = static_cast<char*>(out);
    while (size > 0) {
      const ssize_t step = ::pread(fd_, at, size, static_cast<off_t>(offset));
      if (step < 0 && errno == EINTR) continue;
      if (step <= 0) return fail(ERROR_READ_FAULT);
      at += step;
      offset += static_cast<std::uint64_t>(step);
      size -= static_cast<std::uint64_t>(step);
    }
    return true;
  }
  // A table of `count` entries of `entrySize` bytes must fit in the file.
  bool fits(std::uint64_t offset, std::uint64_t count, std::uint64_t entrySize) {
    if (error_ != ERROR_SUCCESS) return false;
    if (offset > size_ || count > (size_ - offset) / entrySize) return fail(ERROR_BAD_FORMAT);
    return true;
  }
  bool fail(DWORD error) {
    error_ = error;
    return false;
  }

 private:
  int fd_;
  std::uint64_t size_;
  DWORD error_ = ERROR_SUCCESS;
};

// The name at `offset` of a string table, or empty when it runs off it.
std::string_view nameAt(const std::vector<char>& names, std::uint64_t offset) {
  if (offset >= names.size()) return {};
  const char* start = names.data() + offset;
  const void* end = std::memchr(start, '\0', names.size() - offset);
  return end == nullptr ? std::string_view() : std::string_view(start, static_cast<const char*>(end) - start);
}

template <class FileHeader, class SectionHeader>
DWORD readSection(FileReader& file, std::string_view name, std::vector<BYTE>& bytes) {
  FileHeader header{};
  if (!file.read(0, &header, sizeof header)) return file.error();
  if (header.e_shoff == 0) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  if (header.e_shentsize != sizeof(SectionHeader)) return ERROR_BAD_FORMAT;

  // With many sections the real count and the names' index live in the first header.
  SectionHeader first{};
  if (!file.read(header.e_shoff, &first, sizeof first)) return file.error();
  const std::uint64_t count = header.e_shnum != 0 ? header.e_shnum : first.sh_size;
  const std::uint64_t namesIndex = header.e_shstrndx != SHN_XINDEX ? header.e_shstrndx : first.sh_link;
  if (!file.fits(header.e_shoff, count, sizeof(SectionHeader))) return file.error();
  std::vector<SectionHeader> sections(count);
  if (!file.read(header.e_shoff, sections.data(), count * sizeof(SectionHeader))) return file.error();

  if (namesIndex >= count || sections[namesIndex].sh_type != SHT_STRTAB) return ERROR_BAD_FORMAT;
  const SectionHeader& nameTable = sections[namesIndex];
  if (!file.fits(nameTable.sh_offset, nameTable.sh_size, 1)) return file.error();
  std::vector<char> names(nameTable.sh_size);
  if (!file.read(nameTable.sh_offset, names.data(), names.size())) return file.error();

  for (const SectionHeader& section : sections) {
    if (section.sh_type == SHT_NOBITS || nameAt(names, section.sh_name) != name) continue;
    if (!file.fits(section.sh_offset, section.sh_size, 1)) return file.error();
    std::vector<BYTE> contents(section.sh_size);
    if (!file.read(section.sh_offset, contents.data(), contents.size())) return file.error();
    bytes = std::move(contents);
    return ERROR_SUCCESS;
  }
  return ERROR_RESOURCE_TYPE_NOT_FOUND;
}

constexpr unsigned char nativeByteOrder = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;

}  // namespace

bool looksLikeModuleFile(const BYTE* bytes, std::size_t size) {
  return bytes != nullptr && size >= SELFMAG && std::memcmp(bytes, ELFMAG, SELFMAG) == 0;
}

DWORD readModuleSection(const char* path, const char* name, std::vector<BYTE>& bytes) {
  if (path == nullptr || name == nullptr) return ERROR_INVALID_PARAMETER;
  if (FAULT("readModuleSection", ERROR_READ_FAULT)) return GetLastError();
  const UniqueFd opened = UniqueFd::openForReading(path);
  if (!opened.valid()) return errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
  struct stat status {};
  if (::fstat(opened.get(), &status) != 0) return ERROR_READ_FAULT;
  if (!S_ISREG(status.st_mode)) return ERROR_BAD_FORMAT;

  FileReader file(opened.get(), static_cast<std::uint64_t>(status.st_size));
  unsigned char ident[EI_NIDENT] = {};
  if (!file.read(0, ident, sizeof ident)) return file.error();
  if (!looksLikeModuleFile(ident, sizeof ident) || ident[EI_DATA] != nativeByteOrder) return ERROR_BAD_FORMAT;
  switch (ident[EI_CLASS]) {
    case ELFCLASS32:
      return readSection<Elf32_Ehdr, Elf32_Shdr>(file, name, bytes);
    case ELFCLASS64:
      return readSection<Elf64_Ehdr, Elf64_Shdr>(file, name, bytes);
    default:
      return ERROR_BAD_FORMAT;
  }
}

}  // namespace platform
