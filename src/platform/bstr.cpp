#include "platform/bstr.h"

#include <cstdlib>
#include <cstring>

#include "platform/fault.h"
#include "platform/lasterror.h"

// Layout: a 32-bit byte count, then the characters, then a zero character.
// The BSTR points at the first character, as on the original platform.

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (FAULT("SysAllocStringLen", ERROR_OUTOFMEMORY)) return nullptr;
  const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(OLECHAR);
  if (bytes > 0xFFFFFFF0u) return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(sizeof(std::uint32_t) + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const std::uint32_t prefix = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &prefix, sizeof prefix);
  auto* characters = reinterpret_cast<OLECHAR*>(block + sizeof prefix);
  if (text != nullptr)
    std::memcpy(characters, text, bytes);
  else
    std::memset(characters, 0, bytes);
  characters[length] = 0;
  return characters;
}

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  UINT length = 0;
  while (text[length] != 0) ++length;
  return SysAllocStringLen(text, length);
}

void SysFreeString(BSTR text) {
  if (text == nullptr) return;
  std::free(reinterpret_cast<unsigned char*>(text) - sizeof(std::uint32_t));
}

UINT SysStringByteLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<unsigned char*>(text) - sizeof prefix, sizeof prefix);
  return prefix;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }
