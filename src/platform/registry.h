// The registry: two hives, each one SQLite file (see home.h).
// HKEY_LOCAL_MACHINE is the machine hive; HKEY_CLASSES_ROOT is its
// SOFTWARE\Classes; HKEY_CURRENT_USER is the user hive. Key and value names
// compare case-insensitively. Every call is atomic and durable when it
// returns and safe between processes. Results are error numbers
// (ERROR_SUCCESS on success), as on the original platform.
#pragma once

#include <memory>

#include "platform/wintypes.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;

#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x80000002u)))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define READ_CONTROL 0x00020000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

// Write rights: asking for any of these on a hive the process cannot write
// fails with ERROR_ACCESS_DENIED.
#define KEY_WRITE_RIGHTS (KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK | 0x000D0000L)

struct SECURITY_ATTRIBUTES;

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result);
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                        REGSAM desired, SECURITY_ATTRIBUTES* security, PHKEY result, LPDWORD disposition);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
// With data null, *size receives the value's size; a buffer smaller than the
// value fails with ERROR_MORE_DATA and *size receives the size needed.
// Data comes back as stored: a REG_SZ value ends with a zero only if it was
// written with one.
LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD size);
// Names in the order of their keys' names, compared case-insensitively.
// *nameSize counts characters with the terminating zero on entry and without
// it on return; when the buffer is too small the call fails with
// ERROR_MORE_DATA and *nameSize receives the size needed, zero included.
LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPSTR keyClass,
                      LPDWORD classSize, void* lastWriteTime);
// Value names by index in the order of their names (for inspection commands);
// name and data sizes as for RegEnumKeyExA and RegQueryValueExA.
LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPDWORD type,
                      LPBYTE data, LPDWORD dataSize);
// Fails with ERROR_ACCESS_DENIED while the key has sub-keys.
LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey);
LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName);
LSTATUS RegCloseKey(HKEY key);

struct RegKeyClose {
  void operator()(HKEY key) const { RegCloseKey(key); }
};
// Owns one open registry key.
using UniqueHkey = std::unique_ptr<HKEY__, RegKeyClose>;
