#include "platform/registry.h"

#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/fault.h"
#include "platform/hive.h"
#include "platform/home.h"
#include "platform/lasterror.h"
#include "platform/registry_transaction.h"

using platform::hive::Hive;
using platform::hive::KeyRow;
using TransactionState = platform::RegistryTransaction::State;

// An open key: the hive connection it belongs to, the key's row, the
// rights it was opened with and the transaction it was opened within.
struct HKEY__ {
  std::shared_ptr<Hive> hive;
  KeyRow key;
  REGSAM access;
  std::shared_ptr<TransactionState> transaction;
  // Where the last RegEnumKeyExA on this handle stopped, so that the next
  // index continues from there instead of counting from the first sub-key.
  struct EnumCursor {
    std::int64_t index = -1;
    std::string folded;
  } subKeyCursor;
};

namespace {

constexpr std::size_t kMaxKeyNameLength = 255;

constexpr REGSAM GENERIC_READ = 0x80000000u;
constexpr REGSAM GENERIC_WRITE = 0x40000000u;
constexpr REGSAM GENERIC_EXECUTE = 0x20000000u;
constexpr REGSAM GENERIC_ALL = 0x10000000u;
constexpr REGSAM MAXIMUM_ALLOWED = 0x02000000u;

struct GenericRight {
  REGSAM generic;
  REGSAM specific;
};

constexpr GenericRight genericRights[] = {
    {GENERIC_READ, KEY_READ},
    {GENERIC_WRITE, KEY_WRITE},
    {GENERIC_EXECUTE, KEY_READ},
    {GENERIC_ALL, KEY_ALL_ACCESS},
};

// The specific rights a requested mask stands for on a hive.
REGSAM grantedRights(REGSAM desired, bool writable) {
  REGSAM rights = desired;
  for (const GenericRight& right : genericRights)
    if (desired & right.generic) rights = (rights & ~right.generic) | right.specific;
  if (desired & MAXIMUM_ALLOWED) rights = (rights & ~MAXIMUM_ALLOWED) | (writable ? KEY_ALL_ACCESS : KEY_READ);
  return rights;
}

bool asksToWrite(REGSAM rights) { return (rights & KEY_WRITE_RIGHTS) != 0; }

LSTATUS withLastError(LSTATUS status) {
  if (status != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(status));
  return status;
}

// A change refused because this process may not write the hive's file: the
// file is named, so that the user learns which one to ask about.
LSTATUS refuseWrite(const Hive& hive) {
  platform::recordStateFailure(hive.path(), static_cast<DWORD>(hive.whyReadOnly()), true);
  return withLastError(hive.whyReadOnly());
}

// Handles given out and not yet closed, so a stale or foreign handle is
// refused instead of followed.
struct OpenHandles {
  std::mutex mutex;
  std::unordered_set<HKEY> handles;
};

OpenHandles& openHandles() {
  static OpenHandles open;
  return open;
}

HKEY newHandle(std::shared_ptr<Hive> hive, KeyRow key, REGSAM access,
               std::shared_ptr<TransactionState> transaction) {
  HKEY handle = new HKEY__{std::move(hive), std::move(key), access, std::move(transaction), {}};
  std::lock_guard<std::mutex> lock(openHandles().mutex);
  openHandles().handles.insert(handle);
  return handle;
}

// Where a call starts: a key of a hive, plus the names that lead from it to
// the key the handle stands for (HKEY_CLASSES_ROOT is the machine hive's
// root followed by SOFTWARE\Classes).
struct Start {
  std::shared_ptr<Hive> hive;
  KeyRow anchor;
  std::vector<std::string_view> prefix;
  REGSAM access = 0;
  bool predefined = false;
  // The open transaction the call works within, if any: the key's, else
  // the calling thread's.
  std::shared_ptr<TransactionState> transaction;
};

struct PredefinedKey {
  HKEY key;
  Hive::Kind kind;
  std::vector<std::string_view> prefix;
};

const PredefinedKey predefinedKeys[] = {
    {HKEY_LOCAL_MACHINE, Hive::Kind::Machine, {}},
    {HKEY_CLASSES_ROOT, Hive::Kind::Machine, {"SOFTWARE", "Classes"}},
    {HKEY_CURRENT_USER, Hive::Kind::User, {}},
};

// The hive behind a predefined key, for the current home. The latest hive
// of each kind stays open between calls.
std::shared_ptr<Hive> currentHive(Hive::Kind kind, LSTATUS& status) {
  static std::mutex mutex;
  static std::shared_ptr<Hive> latest[2];
  const std::string path = kind == Hive::Kind::Machine ? platform::machineHivePath() : platform::userHivePath();
  std::shared_ptr<Hive> hive = Hive::open(path, kind, status);
  std::lock_guard<std::mutex> lock(mutex);
  latest[kind == Hive::Kind::Machine ? 0 : 1] = hive;
  return hive;
}

std::shared_ptr<TransactionState> threadTransaction() {
  const platform::RegistryTransaction* current = platform::RegistryTransaction::current();
  return current != nullptr ? current->state() : nullptr;
}

LSTATUS resolve(HKEY key, Start& start) {
  if (key == nullptr) return ERROR_INVALID_HANDLE;
  start.transaction = threadTransaction();
  for (const PredefinedKey& predefined : predefinedKeys) {
    if (predefined.key != key) continue;
    LSTATUS status = ERROR_SUCCESS;
    start.hive = currentHive(predefined.kind, status);
    if (start.hive == nullptr) return status;
    start.anchor = KeyRow{start.hive->rootId(), ""};
    start.prefix = predefined.prefix;
    start.access = start.hive->writable() ? KEY_ALL_ACCESS : KEY_READ;
    start.predefined = true;
    return ERROR_SUCCESS;
  }
  std::lock_guard<std::mutex> lock(openHandles().mutex);
  if (openHandles().handles.count(key) == 0) return ERROR_INVALID_HANDLE;
  start.hive = key->hive;
  start.anchor = key->key;
  start.access = key->access;
  if (key->transaction != nullptr && key->transaction->open) start.transaction = key->transaction;
  return ERROR_SUCCESS;
}

// Before a change: the hive joins the call's transaction, if there is one.
LSTATUS enlist(const Start& start) {
  return start.transaction != nullptr ? start.transaction->enlist(start.hive) : ERROR_SUCCESS;
}

// Splits "A\B\C" (a trailing "\" allowed) into its names.
LSTATUS splitPath(const char* subKey, std::vector<std::string_view>& names) {
  if (subKey == nullptr) return ERROR_SUCCESS;
  std::string_view path(subKey);
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.empty()) return ERROR_SUCCESS;
  for (;;) {
    const std::size_t separator = path.find('\\');
    const std::string_view name = path.substr(0, separator);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    if (name.size() > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;
    names.push_back(name);
    if (separator == std::string_view::npos) return ERROR_SUCCESS;
    path.remove_prefix(separator + 1);
  }
}

// The hive and start key of `key`, and the names of the path below it.
LSTATUS resolvePath(HKEY key, LPCSTR subKey, Start& start, std::vector<std::string_view>& names) {
  const LSTATUS status = resolve(key, start);
  return status == ERROR_SUCCESS ? splitPath(subKey, names) : status;
}

std::vector<std::string_view> joined(const std::vector<std::string_view>& first,
                                     const std::vector<std::string_view>& second) {
  std::vector<std::string_view> names(first);
  names.insert(names.end(), second.begin(), second.end());
  return names;
}

// The existing key at `names` below the start. Inside a transaction.
LSTATUS locate(const Start& start, const std::vector<std::string_view>& names, KeyRow& found) {
  if (!start.predefined && !start.hive->keyExists(start.anchor.id)) return ERROR_KEY_DELETED;
  std::string path = start.anchor.foldedPath;
  for (std::string_view name : joined(start.prefix, names)) {
    if (!path.empty()) path += '\\';
    path += platform::hive::fold(name);
  }
  if (path == start.anchor.foldedPath) {
    found = start.anchor;
    return ERROR_SUCCESS;
  }
  std::optional<KeyRow> key = start.hive->findKey(path);
  if (!key) return ERROR_FILE_NOT_FOUND;
  found = *key;
  return ERROR_SUCCESS;
}

// Runs `work` on the key a handle names, inside one transaction of its hive,
// once the handle is known to hold `rights`.
template <typename Work>
LSTATUS onKey(HKEY key, REGSAM rights, Hive::Access access, Work work) {
  Start start;
  LSTATUS status = resolve(key, start);
  if (status != ERROR_SUCCESS) return status;
  if ((start.access & rights) == 0) return ERROR_ACCESS_DENIED;
  if (access == Hive::Access::Write && (status = enlist(start)) != ERROR_SUCCESS) return status;
  return start.hive->transact(access, [&]() -> LSTATUS {
    KeyRow target;
    const LSTATUS located = locate(start, {}, target);
    return located != ERROR_SUCCESS ? located : work(start, target);
  });
}

// Copies `size` bytes to a caller's buffer of `*capacity` bytes, or tells
// how many are needed.
LSTATUS copyOut(const void* source, std::size_t size, BYTE* buffer, DWORD* capacity) {
  if (capacity == nullptr) return ERROR_SUCCESS;
  const DWORD available = *capacity;
  *capacity = static_cast<DWORD>(size);
  if (buffer == nullptr) return ERROR_SUCCESS;
  if (available < size) return ERROR_MORE_DATA;
  if (size != 0) std::memcpy(buffer, source, size);
  return ERROR_SUCCESS;
}

// Copies a name with its terminating zero; `*capacity` counts characters
// with the zero on entry and without it on return. When the buffer is too
// small it receives the size needed, with the zero.
LSTATUS copyName(const std::string& name, char* buffer, DWORD* capacity) {
  if (*capacity < name.size() + 1) {
    *capacity = static_cast<DWORD>(name.size() + 1);
    return ERROR_MORE_DATA;
  }
  std::memcpy(buffer, name.c_str(), name.size() + 1);
  *capacity = static_cast<DWORD>(name.size());
  return ERROR_SUCCESS;
}

std::string_view valueNameOf(LPCSTR valueName) { return valueName != nullptr ? valueName : ""; }

}  // namespace

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
  return RegOpenKeyTransactedA(key, subKey, options, desired, result, nullptr, nullptr);
}

LSTATUS RegOpenKeyTransactedA(HKEY key, LPCSTR subKey, DWORD, REGSAM desired, PHKEY result,
                              platform::RegistryTransaction* transaction, void*) {
  if (FAULT("RegOpenKeyExA", ERROR_ACCESS_DENIED)) return static_cast<LSTATUS>(GetLastError());
  if (result == nullptr) return withLastError(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  Start start;
  std::vector<std::string_view> names;
  LSTATUS status = resolvePath(key, subKey, start, names);
  if (status != ERROR_SUCCESS) return withLastError(status);
  if (transaction != nullptr) start.transaction = transaction->state();
  KeyRow found;
  status = start.hive->transact(Hive::Access::Read, [&]() -> LSTATUS { return locate(start, names, found); });
  if (status != ERROR_SUCCESS) return withLastError(status);
  const REGSAM rights = grantedRights(desired, start.hive->writable());
  if (asksToWrite(rights) && !start.hive->writable()) return refuseWrite(*start.hive);
  *result = newHandle(start.hive, found, rights, start.transaction);
  return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM desired,
                        SECURITY_ATTRIBUTES* security, PHKEY result, LPDWORD disposition) {
  return RegCreateKeyTransactedA(key, subKey, reserved, keyClass, options, desired, security, result, disposition,
                                 nullptr, nullptr);
}

LSTATUS RegCreateKeyTransactedA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD options, REGSAM desired,
                                SECURITY_ATTRIBUTES*, PHKEY result, LPDWORD disposition,
                                platform::RegistryTransaction* transaction, void*) {
  if (FAULT("RegCreateKeyExA", ERROR_ACCESS_DENIED)) return static_cast<LSTATUS>(GetLastError());
  if (result == nullptr || subKey == nullptr || options != REG_OPTION_NON_VOLATILE)
    return withLastError(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  Start start;
  std::vector<std::string_view> names;
  LSTATUS status = resolvePath(key, subKey, start, names);
  if (status != ERROR_SUCCESS) return withLastError(status);
  if (transaction != nullptr) start.transaction = transaction->state();
  const REGSAM rights = grantedRights(desired, start.hive->writable());
  if (asksToWrite(rights) && !start.hive->writable()) return refuseWrite(*start.hive);
  // An existing key is opened without a change, so it does not make the
  // hive join a transaction; a hive the process may not write still lets
  // it open what exists for reading.
  KeyRow found;
  status = start.hive->transact(Hive::Access::Read, [&]() -> LSTATUS { return locate(start, names, found); });
  if (status == ERROR_FILE_NOT_FOUND && !start.hive->writable()) return refuseWrite(*start.hive);
  if (status == ERROR_SUCCESS) {
    if (disposition != nullptr) *disposition = REG_OPENED_EXISTING_KEY;
    *result = newHandle(start.hive, found, rights, start.transaction);
    return ERROR_SUCCESS;
  }
  if (status != ERROR_FILE_NOT_FOUND) return withLastError(status);
  if ((status = enlist(start)) != ERROR_SUCCESS) return withLastError(status);
  KeyRow made;
  bool created = false;
  status = start.hive->transact(Hive::Access::Write, [&]() -> LSTATUS {
    if (!start.predefined && !start.hive->keyExists(start.anchor.id)) return ERROR_KEY_DELETED;
    made = start.hive->createPath(start.anchor, joined(start.prefix, names), created);
    const bool mayCreate = (start.access & KEY_CREATE_SUB_KEY) != 0;
    return created && !mayCreate ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  });
  if (status != ERROR_SUCCESS) return withLastError(status);
  if (disposition != nullptr) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = newHandle(start.hive, made, rights, start.transaction);
  return ERROR_SUCCESS;
}

LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD size) {
  if (FAULT("RegSetValueExA", ERROR_ACCESS_DENIED)) return static_cast<LSTATUS>(GetLastError());
  if (data == nullptr && size != 0) return withLastError(ERROR_INVALID_PARAMETER);
  const LSTATUS status =
      onKey(key, KEY_SET_VALUE, Hive::Access::Write, [&](const Start& start, const KeyRow& target) -> LSTATUS {
        start.hive->setValue(target, valueNameOf(valueName), type, data, size);
        return ERROR_SUCCESS;
      });
  return withLastError(status);
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size) {
  if (FAULT("RegQueryValueExA", ERROR_CANTREAD)) return static_cast<LSTATUS>(GetLastError());
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return withLastError(ERROR_INVALID_PARAMETER);
  const LSTATUS status =
      onKey(key, KEY_QUERY_VALUE, Hive::Access::Read, [&](const Start& start, const KeyRow& target) -> LSTATUS {
        std::optional<platform::hive::ValueRow> value = start.hive->value(target.id, valueNameOf(valueName));
        if (!value) return ERROR_FILE_NOT_FOUND;
        if (type != nullptr) *type = value->type;
        return copyOut(value->data.data(), value->data.size(), data, size);
      });
  return withLastError(status);
}

LSTATUS RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD, LPSTR keyClass, LPDWORD classSize,
                      void*) {
  if (FAULT("RegEnumKeyExA", ERROR_CANTREAD)) return static_cast<LSTATUS>(GetLastError());
  if (name == nullptr || nameSize == nullptr) return withLastError(ERROR_INVALID_PARAMETER);
  const LSTATUS status =
      onKey(key, KEY_ENUMERATE_SUB_KEYS, Hive::Access::Read, [&](const Start& start, const KeyRow& parent) -> LSTATUS {
        HKEY__::EnumCursor* cursor = start.predefined ? nullptr : &key->subKeyCursor;
        std::string folded;
        std::optional<std::string> subKey = cursor != nullptr && cursor->index + 1 == index
                                                ? start.hive->subKeyAfter(parent.id, cursor->folded, folded)
                                                : start.hive->subKeyAt(parent.id, index, folded);
        if (!subKey) return ERROR_NO_MORE_ITEMS;
        if (cursor != nullptr) *cursor = {index, folded};
        return copyName(*subKey, name, nameSize);
      });
  // Keys have no class here.
  if (status == ERROR_SUCCESS && keyClass != nullptr && classSize != nullptr && *classSize > 0) keyClass[0] = '\0';
  if (status == ERROR_SUCCESS && classSize != nullptr) *classSize = 0;
  return withLastError(status);
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameSize, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize) {
  if (FAULT("RegEnumValueA", ERROR_CANTREAD)) return static_cast<LSTATUS>(GetLastError());
  if (name == nullptr || nameSize == nullptr || reserved != nullptr || (data != nullptr && dataSize == nullptr))
    return withLastError(ERROR_INVALID_PARAMETER);
  const LSTATUS status =
      onKey(key, KEY_QUERY_VALUE, Hive::Access::Read, [&](const Start& start, const KeyRow& target) -> LSTATUS {
        std::optional<platform::hive::ValueRow> value = start.hive->valueAt(target.id, index);
        if (!value) return ERROR_NO_MORE_ITEMS;
        const LSTATUS named = copyName(value->name, name, nameSize);
        if (type != nullptr) *type = value->type;
        const LSTATUS copied = copyOut(value->data.data(), value->data.size(), data, dataSize);
        return named != ERROR_SUCCESS ? named : copied;
      });
  return withLastError(status);
}

LSTATUS RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  if (FAULT("RegDeleteKeyA", ERROR_ACCESS_DENIED)) return static_cast<LSTATUS>(GetLastError());
  if (subKey == nullptr) return withLastError(ERROR_INVALID_PARAMETER);
  Start start;
  std::vector<std::string_view> names;
  LSTATUS status = resolvePath(key, subKey, start, names);
  if (status != ERROR_SUCCESS) return withLastError(status);
  // The predefined keys themselves cannot be deleted.
  if (!start.hive->writable()) return refuseWrite(*start.hive);
  if (start.predefined && names.empty()) return withLastError(ERROR_ACCESS_DENIED);
  if ((status = enlist(start)) != ERROR_SUCCESS) return withLastError(status);
  status = start.hive->transact(Hive::Access::Write, [&]() -> LSTATUS {
    KeyRow target;
    const LSTATUS located = locate(start, names, target);
    if (located != ERROR_SUCCESS) return located;
    if (target.id == start.hive->rootId() || start.hive->hasSubKeys(target.id)) return ERROR_ACCESS_DENIED;
    start.hive->deleteKey(target);
    return ERROR_SUCCESS;
  });
  return withLastError(status);
}

LSTATUS RegDeleteValueA(HKEY key, LPCSTR valueName) {
  if (FAULT("RegDeleteValueA", ERROR_ACCESS_DENIED)) return static_cast<LSTATUS>(GetLastError());
  const LSTATUS status =
      onKey(key, KEY_SET_VALUE, Hive::Access::Write, [&](const Start& start, const KeyRow& target) -> LSTATUS {
        return start.hive->deleteValue(target, valueNameOf(valueName)) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
      });
  return withLastError(status);
}

LSTATUS RegCloseKey(HKEY key) {
  // A failing close still releases the handle, so the caller's RAII stays sound.
  const bool faulted = FAULT("RegCloseKey", ERROR_INVALID_HANDLE);
  for (const PredefinedKey& predefined : predefinedKeys)
    if (predefined.key == key) return faulted ? static_cast<LSTATUS>(GetLastError()) : ERROR_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(openHandles().mutex);
    if (openHandles().handles.erase(key) == 0) return withLastError(ERROR_INVALID_HANDLE);
  }
  delete key;
  return faulted ? static_cast<LSTATUS>(GetLastError()) : ERROR_SUCCESS;
}
