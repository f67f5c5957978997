#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/rpc.h"

namespace {

constexpr std::size_t kUuidTextLength = 36;

bool randomBytes(void* buffer, std::size_t size) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (size > 0) {
    const ssize_t got = ::getrandom(bytes, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

RPC_STATUS UuidCreate(UUID* uuid) {
  if (FAULT("UuidCreate", RPC_S_UUID_NO_ADDRESS)) return static_cast<RPC_STATUS>(GetLastError());
  if (uuid == nullptr) return ERROR_INVALID_PARAMETER;
  unsigned char bytes[16];
  if (!randomBytes(bytes, sizeof bytes)) return RPC_S_UUID_NO_ADDRESS;
  // Version 4 (random) in the high nibble of Data3, the RFC 4122 variant in Data4[0].
  uuid->Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
                static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
  uuid->Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
  uuid->Data3 = static_cast<WORD>(((bytes[6] & 0x0F) | 0x40) << 8 | bytes[7]);
  uuid->Data4[0] = static_cast<BYTE>((bytes[8] & 0x3F) | 0x80);
  for (int i = 1; i < 8; ++i) uuid->Data4[i] = bytes[8 + i];
  return RPC_S_OK;
}

RPC_STATUS UuidToStringA(const UUID* uuid, unsigned char** text) {
  if (FAULT("UuidToStringA", RPC_S_OUT_OF_MEMORY)) return static_cast<RPC_STATUS>(GetLastError());
  if (uuid == nullptr || text == nullptr) return ERROR_INVALID_PARAMETER;
  auto* buffer = new (std::nothrow) char[kUuidTextLength + 1];
  if (buffer == nullptr) return RPC_S_OUT_OF_MEMORY;
  std::snprintf(buffer, kUuidTextLength + 1, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                static_cast<unsigned>(uuid->Data1), uuid->Data2, uuid->Data3, uuid->Data4[0], uuid->Data4[1],
                uuid->Data4[2], uuid->Data4[3], uuid->Data4[4], uuid->Data4[5], uuid->Data4[6], uuid->Data4[7]);
  *text = reinterpret_cast<unsigned char*>(buffer);
  return RPC_S_OK;
}

RPC_STATUS RpcStringFreeA(unsigned char** text) {
  if (text == nullptr) return ERROR_INVALID_PARAMETER;
  delete[] reinterpret_cast<char*>(*text);
  *text = nullptr;
  return RPC_S_OK;
}
