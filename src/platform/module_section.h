// Data that a module file carries besides its code: named ELF sections,
// this platform's stand-in for a module's resources. They are read from the
// file alone, without loading the module, so none of its code runs.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/wintypes.h"

namespace platform {

// Whether `bytes` start the way an ELF file does.
bool looksLikeModuleFile(const BYTE* bytes, std::size_t size);

// The contents of the section `name` of the ELF file at `path`.
// ERROR_SUCCESS; ERROR_FILE_NOT_FOUND or ERROR_ACCESS_DENIED when the file
// cannot be opened, ERROR_READ_FAULT when reading it fails, ERROR_BAD_FORMAT
// when it is not an ELF file of this machine's byte order or its headers
// point outside it, ERROR_RESOURCE_TYPE_NOT_FOUND when it has no section of
// that name with contents in the file.
DWORD readModuleSection(const char* path, const char* name, std::vector<BYTE>& bytes);

}  // namespace platform
