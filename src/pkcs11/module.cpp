// The Cryptoki entry points: one slot whose token is the user's home, its
// sessions, object search, attributes, login and signing.
#include <openssl/crypto.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "pkcs11/signing.h"
#include "pkcs11/token_objects.h"
#include "platform/home.h"
#include "platform/key_protection.h"
#include "platform/lasterror.h"
#include "platform/unique_fd.h"

namespace tarvenholm::pkcs11 {
namespace {

constexpr CK_SLOT_ID kSlot = 1;
constexpr CK_ULONG kMinimumPin = 0;
constexpr CK_ULONG kMaximumPin = 1024;

struct FindState {
  std::vector<CK_OBJECT_HANDLE> found;
  std::size_t next = 0;
};

struct Session {
  CK_FLAGS flags = 0;
  std::unique_ptr<FindState> find;
  std::unique_ptr<SignOperation> sign;
  bool signing = false;  // a C_Sign of another thread holds `sign`
};

struct ModuleState {
  pid_t process = 0;
  CK_SESSION_HANDLE nextSession = 1;
  std::unordered_map<CK_SESSION_HANDLE, Session> sessions;
  // Objects by handle; an object keeps its handle while the stores hold it.
  std::unordered_map<std::string, CK_OBJECT_HANDLE> handles;
  std::unordered_map<CK_OBJECT_HANDLE, std::shared_ptr<const TokenObject>> objects;
  CK_OBJECT_HANDLE nextObject = 1;
  bool loginRequired = false;
  bool loggedIn = false;
  // Key handles that carry the login's PIN, by object identity.
  std::unordered_map<std::string, std::shared_ptr<UniqueNcryptKey>> unlocked;
  // The PIN every new session logs in with, from the module's pin-file.
  std::unique_ptr<platform::PasswordText> configuredPin;
};

using ProtectedKeys = std::vector<std::pair<std::string, std::shared_ptr<const KeyLocation>>>;
using UnlockedKeys = std::unordered_map<std::string, std::shared_ptr<UniqueNcryptKey>>;

std::mutex gLock;
ModuleState* gState = nullptr;  // set while initialised

// Taken over fork, so the child's copy of the lock is free.
void registerForkHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    pthread_atfork([] { gLock.lock(); }, [] { gLock.unlock(); }, [] { gLock.unlock(); });
  });
}

// The state of this process; null when the library is not initialised here
// (a child after fork must initialise again).
ModuleState* current() { return gState != nullptr && gState->process == getpid() ? gState : nullptr; }

void padded(CK_UTF8CHAR* field, std::size_t size, const std::string& text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::string tokenLabel() {
  const char* user = std::getenv("USER");
  return std::string("Tarvenholm") + (user != nullptr && *user != '\0' ? std::string(" ") + user : "");
}

// A serial number per home: FNV-1a of its path.
std::string tokenSerial() {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char byte : platform::homeDirectory()) hash = (hash ^ byte) * 1099511628211ull;
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

// NSS passes the parameters configured for a module (modutil -string) in
// pReserved. The one understood is "pin-file=PATH": the first line of PATH
// is the PIN each new session logs in with, for applications that cannot
// ask the user (a headless browser). Like a key file, it must be a regular
// file of this user that nobody else may read.
CK_RV readParameters(const char* parameters, std::unique_ptr<platform::PasswordText>& pin) {
  constexpr std::string_view kPinFile = "pin-file=";
  std::string_view text(parameters);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  if (text.empty()) return CKR_OK;
  if (text.substr(0, kPinFile.size()) != kPinFile) return CKR_ARGUMENTS_BAD;
  const std::string path(text.substr(kPinFile.size()));
  const platform::UniqueFd file = platform::UniqueFd::openForReading(path.c_str());
  struct stat status {};
  if (!file.valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
      (status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    return CKR_ARGUMENTS_BAD;
  pin = std::make_unique<platform::PasswordText>();
  char buffer[kMaximumPin + 2];
  const ssize_t length = read(file.get(), buffer, sizeof buffer);
  if (length < 0) return CKR_ARGUMENTS_BAD;
  pin->text().assign(buffer, static_cast<std::size_t>(length));
  OPENSSL_cleanse(buffer, sizeof buffer);
  pin->text().resize(std::min(pin->text().find_first_of("\r\n"), pin->text().size()));
  return pin->text().size() <= kMaximumPin ? CKR_OK : CKR_ARGUMENTS_BAD;
}

ProtectedKeys protectedKeys(const ModuleState& state) {
  ProtectedKeys keys;
  for (const auto& [objectHandle, object] : state.objects)
    if (object->key && object->key->passwordProtected) keys.emplace_back(object->identity, object->key);
  return keys;
}

// The handles of the keys that `pin` opens. Opening a key under its
// password is slow by design: called without the lock.
UnlockedKeys unlockKeys(const ProtectedKeys& keys, const std::string& pin) {
  UnlockedKeys unlocked;
  for (const auto& [identity, location] : keys) {
    std::shared_ptr<UniqueNcryptKey> signer = openSigner(*location, &pin);
    if (signerOpens(signer, *location)) unlocked.emplace(identity, std::move(signer));
  }
  return unlocked;
}

void refreshObjects(ModuleState& state) {
  std::vector<TokenObject> read;
  readTokenObjects(read);
  state.objects.clear();
  state.loginRequired = false;
  for (TokenObject& object : read) {
    auto [entry, added] = state.handles.try_emplace(object.identity, state.nextObject);
    if (added) ++state.nextObject;
    state.loginRequired = state.loginRequired || object.isPrivate;
    state.objects[entry->second] = std::make_shared<const TokenObject>(std::move(object));
  }
}

bool visible(const ModuleState& state, const TokenObject& object) { return !object.isPrivate || state.loggedIn; }

std::shared_ptr<const TokenObject> findObject(const ModuleState& state, CK_OBJECT_HANDLE handle) {
  auto found = state.objects.find(handle);
  if (found == state.objects.end() || !visible(state, *found->second)) return nullptr;
  return found->second;
}

bool matches(const TokenObject& object, const CK_ATTRIBUTE* pattern, CK_ULONG count) {
  for (CK_ULONG index = 0; index < count; ++index) {
    auto found = object.attributes.find(pattern[index].type);
    if (found == object.attributes.end() || found->second.size() != pattern[index].ulValueLen) return false;
    if (!found->second.empty() && std::memcmp(found->second.data(), pattern[index].pValue, found->second.size()) != 0)
      return false;
  }
  return true;
}

CK_RV copyOut(const Bytes& value, CK_ATTRIBUTE& attribute) {
  if (attribute.pValue == nullptr) {
    attribute.ulValueLen = value.size();
    return CKR_OK;
  }
  if (attribute.ulValueLen < value.size()) {
    attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (!value.empty()) std::memcpy(attribute.pValue, value.data(), value.size());
  attribute.ulValueLen = value.size();
  return CKR_OK;
}

// Every entry point but C_Initialize, C_GetFunctionList and C_GetInfo's
// argument checks starts with this: the lock and the state.
#define LOCKED_STATE()                          \
  std::lock_guard<std::mutex> guard(gLock);     \
  ModuleState* state = current();               \
  if (state == nullptr) return CKR_CRYPTOKI_NOT_INITIALIZED

#define SESSION_OF(handle)                                       \
  auto sessionEntry = state->sessions.find(handle);              \
  if (sessionEntry == state->sessions.end()) return CKR_SESSION_HANDLE_INVALID; \
  Session& session = sessionEntry->second

// The token is the stores as the user's tools leave them: read-only here,
// though applications may open read-write sessions.
CK_RV refuseWrite(const Session& session) {
  return (session.flags & CKF_RW_SESSION) != 0 ? CKR_TOKEN_WRITE_PROTECTED : CKR_SESSION_READ_ONLY;
}

CK_RV checkSlot(CK_SLOT_ID slot) { return slot == kSlot ? CKR_OK : CKR_SLOT_ID_INVALID; }

// Runs a step of the session's signing operation without the lock, since
// the provider may take long; the operation ends unless `step` says not.
CK_RV withSignOperation(CK_SESSION_HANDLE handle, const std::function<CK_RV(SignOperation&, bool&)>& step) {
  std::unique_ptr<SignOperation> operation;
  {
    LOCKED_STATE();
    SESSION_OF(handle);
    if (!session.sign) return CKR_OPERATION_NOT_INITIALIZED;
    operation = std::move(session.sign);
    session.signing = true;
  }
  bool done = true;
  const CK_RV result = step(*operation, done);
  LOCKED_STATE();
  auto sessionEntry = state->sessions.find(handle);
  if (sessionEntry == state->sessions.end()) return CKR_SESSION_CLOSED;
  sessionEntry->second.signing = false;
  if (!done) sessionEntry->second.sign = std::move(operation);
  return result;
}

}  // namespace
}  // namespace tarvenholm::pkcs11

using namespace tarvenholm::pkcs11;

// ---- General ----

CK_RV C_Initialize(CK_VOID_PTR initArgs) {
  registerForkHandlers();
  std::unique_ptr<platform::PasswordText> pin;
  if (initArgs != nullptr) {
    const auto* args = static_cast<const CK_C_INITIALIZE_ARGS*>(initArgs);
    const int given = (args->CreateMutex != nullptr) + (args->DestroyMutex != nullptr) + (args->LockMutex != nullptr) +
                      (args->UnlockMutex != nullptr);
    if (given != 0 && given != 4) return CKR_ARGUMENTS_BAD;
    // Only the system's own locks are used.
    if (given == 4 && (args->flags & CKF_OS_LOCKING_OK) == 0) return CKR_CANT_LOCK;
    if (args->pReserved != nullptr)
      if (CK_RV result = readParameters(static_cast<const char*>(args->pReserved), pin); result != CKR_OK)
        return result;
  }
  std::lock_guard<std::mutex> guard(gLock);
  if (current() != nullptr) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  // A child after fork: the parent's sessions and key handles are not ours.
  // Their memory is left alone, since the parent's threads may have been in it.
  gState = new ModuleState;
  gState->process = getpid();
  gState->configuredPin = std::move(pin);
  return CKR_OK;
}

CK_RV C_Finalize(CK_VOID_PTR reserved) {
  if (reserved != nullptr) return CKR_ARGUMENTS_BAD;
  LOCKED_STATE();
  delete state;
  gState = nullptr;
  return CKR_OK;
}

CK_RV C_GetInfo(CK_INFO_PTR info) {
  LOCKED_STATE();
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  *info = CK_INFO{};
  info->cryptokiVersion = {2, 40};
  padded(info->manufacturerID, sizeof info->manufacturerID, "Tarvenholm");
  padded(info->libraryDescription, sizeof info->libraryDescription, "Tarvenholm stores and keys");
  info->libraryVersion = {1, 0};
  return CKR_OK;
}

// ---- Slots and tokens ----

CK_RV C_GetSlotList(CK_BBOOL, CK_SLOT_ID_PTR slots, CK_ULONG_PTR count) {
  LOCKED_STATE();
  if (count == nullptr) return CKR_ARGUMENTS_BAD;
  const CK_ULONG offered = *count;
  *count = 1;
  if (slots == nullptr) return CKR_OK;
  if (offered < 1) return CKR_BUFFER_TOO_SMALL;
  slots[0] = kSlot;
  return CKR_OK;
}

CK_RV C_GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  LOCKED_STATE();
  if (CK_RV result = checkSlot(slot); result != CKR_OK) return result;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  *info = CK_SLOT_INFO{};
  padded(info->slotDescription, sizeof info->slotDescription,
         "Tarvenholm certificate stores and key containers of " + platform::homeDirectory());
  padded(info->manufacturerID, sizeof info->manufacturerID, "Tarvenholm");
  info->flags = CKF_TOKEN_PRESENT;
  info->hardwareVersion = {1, 0};
  info->firmwareVersion = {1, 0};
  return CKR_OK;
}

CK_RV C_GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  LOCKED_STATE();
  if (CK_RV result = checkSlot(slot); result != CKR_OK) return result;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  if (state->sessions.empty()) refreshObjects(*state);
  *info = CK_TOKEN_INFO{};
  padded(info->label, sizeof info->label, tokenLabel());
  padded(info->manufacturerID, sizeof info->manufacturerID, "Tarvenholm");
  padded(info->model, sizeof info->model, "key containers");
  padded(info->serialNumber, sizeof info->serialNumber, tokenSerial());
  info->flags = CKF_RNG | CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_WRITE_PROTECTED |
                (state->loginRequired ? CKF_LOGIN_REQUIRED : 0);
  info->ulMaxSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulSessionCount = state->sessions.size();
  info->ulMaxRwSessionCount = CK_EFFECTIVELY_INFINITE;
  info->ulRwSessionCount = static_cast<CK_ULONG>(std::count_if(
      state->sessions.begin(), state->sessions.end(),
      [](const auto& entry) { return (entry.second.flags & CKF_RW_SESSION) != 0; }));
  info->ulMaxPinLen = kMaximumPin;
  info->ulMinPinLen = kMinimumPin;
  info->ulTotalPublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePublicMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulTotalPrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->ulFreePrivateMemory = CK_UNAVAILABLE_INFORMATION;
  info->hardwareVersion = {1, 0};
  info->firmwareVersion = {1, 0};
  return CKR_OK;
}

CK_RV C_GetMechanismList(CK_SLOT_ID slot, CK_MECHANISM_TYPE_PTR list, CK_ULONG_PTR count) {
  LOCKED_STATE();
  if (CK_RV result = checkSlot(slot); result != CKR_OK) return result;
  if (count == nullptr) return CKR_ARGUMENTS_BAD;
  const std::vector<CK_MECHANISM_TYPE>& mechanisms = signingMechanisms();
  const CK_ULONG offered = *count;
  *count = mechanisms.size();
  if (list == nullptr) return CKR_OK;
  if (offered < mechanisms.size()) return CKR_BUFFER_TOO_SMALL;
  std::copy(mechanisms.begin(), mechanisms.end(), list);
  return CKR_OK;
}

CK_RV C_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  LOCKED_STATE();
  if (CK_RV result = checkSlot(slot); result != CKR_OK) return result;
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  return mechanismInfo(type, *info) ? CKR_OK : CKR_MECHANISM_INVALID;
}

CK_RV C_InitToken(CK_SLOT_ID, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR) {
  LOCKED_STATE();
  return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_InitPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG) {
  LOCKED_STATE();
  return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_SetPIN(CK_SESSION_HANDLE, CK_UTF8CHAR_PTR, CK_ULONG, CK_UTF8CHAR_PTR, CK_ULONG) {
  LOCKED_STATE();
  return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_WaitForSlotEvent(CK_FLAGS, CK_SLOT_ID_PTR, CK_VOID_PTR) {
  LOCKED_STATE();
  return CKR_FUNCTION_NOT_SUPPORTED;
}

// ---- Sessions ----

CK_RV C_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR, CK_NOTIFY, CK_SESSION_HANDLE_PTR handle) {
  ProtectedKeys keys;
  std::string pin;
  {
    LOCKED_STATE();
    if (CK_RV result = checkSlot(slot); result != CKR_OK) return result;
    if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    if (handle == nullptr) return CKR_ARGUMENTS_BAD;
    // Each new session sees the stores as they are now.
    refreshObjects(*state);
    *handle = state->nextSession++;
    state->sessions[*handle].flags = flags;
    if (!state->configuredPin || state->loggedIn) return CKR_OK;
    keys = protectedKeys(*state);
    pin = state->configuredPin->text();
  }
  // The pin-file's login, as the application would have made it.
  UnlockedKeys unlocked = unlockKeys(keys, pin);
  OPENSSL_cleanse(pin.data(), pin.size());
  LOCKED_STATE();
  // Unless the session was closed meanwhile, which may have ended a login.
  if (!state->loggedIn && !unlocked.empty() && state->sessions.count(*handle) != 0) {
    state->loggedIn = true;
    state->unlocked = std::move(unlocked);
  }
  return CKR_OK;
}

CK_RV C_CloseSession(CK_SESSION_HANDLE handle) {
  LOCKED_STATE();
  if (state->sessions.erase(handle) == 0) return CKR_SESSION_HANDLE_INVALID;
  // The login belongs to the application while it has a session.
  if (state->sessions.empty()) {
    state->loggedIn = false;
    state->unlocked.clear();
  }
  return CKR_OK;
}

CK_RV C_CloseAllSessions(CK_SLOT_ID slot) {
  LOCKED_STATE();
  if (CK_RV result = checkSlot(slot); result != CKR_OK) return result;
  state->sessions.clear();
  state->loggedIn = false;
  state->unlocked.clear();
  return CKR_OK;
}

CK_RV C_GetSessionInfo(CK_SESSION_HANDLE handle, CK_SESSION_INFO_PTR info) {
  LOCKED_STATE();
  SESSION_OF(handle);
  if (info == nullptr) return CKR_ARGUMENTS_BAD;
  const bool readWrite = (session.flags & CKF_RW_SESSION) != 0;
  const CK_STATE sessionState = readWrite ? (state->loggedIn ? CKS_RW_USER_FUNCTIONS : CKS_RW_PUBLIC_SESSION)
                                          : (state->loggedIn ? CKS_RO_USER_FUNCTIONS : CKS_RO_PUBLIC_SESSION);
  *info = CK_SESSION_INFO{kSlot, sessionState, session.flags, 0};
  return CKR_OK;
}

CK_RV C_GetOperationState(CK_SESSION_HANDLE handle, CK_BYTE_PTR, CK_ULONG_PTR) {
  LOCKED_STATE();
  SESSION_OF(handle);
  (void)session;
  return CKR_FUNCTION_NOT_SUPPORTED;
}
CK_RV C_SetOperationState(CK_SESSION_HANDLE handle, CK_BYTE_PTR, CK_ULONG, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE) {
  LOCKED_STATE();
  SESSION_OF(handle);
  (void)session;
  return CKR_FUNCTION_NOT_SUPPORTED;
}

// ---- Login: the password of the user's protected keys ----

CK_RV C_Login(CK_SESSION_HANDLE handle, CK_USER_TYPE userType, CK_UTF8CHAR_PTR pin, CK_ULONG pinLength) {
  ProtectedKeys keys;
  {
    LOCKED_STATE();
    SESSION_OF(handle);
    (void)session;
    if (userType == CKU_SO) return CKR_USER_TYPE_INVALID;
    if (userType != CKU_USER) return userType == CKU_CONTEXT_SPECIFIC ? CKR_OPERATION_NOT_INITIALIZED
                                                                       : CKR_USER_TYPE_INVALID;
    if (state->loggedIn) return CKR_USER_ALREADY_LOGGED_IN;
    if (pin == nullptr && pinLength != 0) return CKR_ARGUMENTS_BAD;
    keys = protectedKeys(*state);
  }
  std::string text(reinterpret_cast<const char*>(pin), pin == nullptr ? 0 : pinLength);
  UnlockedKeys unlocked = unlockKeys(keys, text);
  OPENSSL_cleanse(text.data(), text.size());
  LOCKED_STATE();
  if (state->sessions.find(handle) == state->sessions.end()) return CKR_SESSION_HANDLE_INVALID;
  if (state->loggedIn) return CKR_USER_ALREADY_LOGGED_IN;
  if (!keys.empty() && unlocked.empty()) return CKR_PIN_INCORRECT;
  state->loggedIn = true;
  state->unlocked = std::move(unlocked);
  return CKR_OK;
}

CK_RV C_Logout(CK_SESSION_HANDLE handle) {
  LOCKED_STATE();
  SESSION_OF(handle);
  (void)session;
  if (!state->loggedIn) return CKR_USER_NOT_LOGGED_IN;
  state->loggedIn = false;
  state->unlocked.clear();
  return CKR_OK;
}

// ---- Objects ----

CK_RV C_FindObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR pattern, CK_ULONG count) {
  LOCKED_STATE();
  SESSION_OF(handle);
  if (pattern == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  if (session.find) return CKR_OPERATION_ACTIVE;
  for (CK_ULONG index = 0; index < count; ++index)
    if (pattern[index].pValue == nullptr && pattern[index].ulValueLen != 0) return CKR_ARGUMENTS_BAD;
  auto find = std::make_unique<FindState>();
  for (const auto& [objectHandle, object] : state->objects)
    if (visible(*state, *object) && matches(*object, pattern, count)) find->found.push_back(objectHandle);
  std::sort(find->found.begin(), find->found.end());
  session.find = std::move(find);
  return CKR_OK;
}

CK_RV C_FindObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR found, CK_ULONG maximum, CK_ULONG_PTR count) {
  LOCKED_STATE();
  SESSION_OF(handle);
  if (!session.find) return CKR_OPERATION_NOT_INITIALIZED;
  if (count == nullptr || (found == nullptr && maximum != 0)) return CKR_ARGUMENTS_BAD;
  FindState& find = *session.find;
  *count = 0;
  while (*count < maximum && find.next < find.found.size()) found[(*count)++] = find.found[find.next++];
  return CKR_OK;
}

CK_RV C_FindObjectsFinal(CK_SESSION_HANDLE handle) {
  LOCKED_STATE();
  SESSION_OF(handle);
  if (!session.find) return CKR_OPERATION_NOT_INITIALIZED;
  session.find.reset();
  return CKR_OK;
}

CK_RV C_GetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ATTRIBUTE_PTR attributes,
                          CK_ULONG count) {
  LOCKED_STATE();
  SESSION_OF(handle);
  (void)session;
  std::shared_ptr<const TokenObject> object = findObject(*state, objectHandle);
  if (!object) return CKR_OBJECT_HANDLE_INVALID;
  if (attributes == nullptr && count != 0) return CKR_ARGUMENTS_BAD;
  CK_RV result = CKR_OK;
  for (CK_ULONG index = 0; index < count; ++index) {
    CK_ATTRIBUTE& attribute = attributes[index];
    CK_RV one = CKR_OK;
    auto found = object->attributes.find(attribute.type);
    if (object->objectClass == CKO_PRIVATE_KEY && isSensitiveAttribute(attribute.type)) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      one = CKR_ATTRIBUTE_SENSITIVE;
    } else if (found == object->attributes.end()) {
      attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
      one = CKR_ATTRIBUTE_TYPE_INVALID;
    } else {
      one = copyOut(found->second, attribute);
    }
    if (result == CKR_OK) result = one;
  }
  return result;
}

CK_RV C_GetObjectSize(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ULONG_PTR size) {
  LOCKED_STATE();
  SESSION_OF(handle);
  (void)session;
  if (!findObject(*state, objectHandle)) return CKR_OBJECT_HANDLE_INVALID;
  if (size == nullptr) return CKR_ARGUMENTS_BAD;
  *size = CK_UNAVAILABLE_INFORMATION;
  return CKR_OK;
}

CK_RV C_CreateObject(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  LOCKED_STATE();
  SESSION_OF(handle);
  return refuseWrite(session);
}
CK_RV C_CopyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR) {
  LOCKED_STATE();
  SESSION_OF(handle);
  return refuseWrite(session);
}
CK_RV C_DestroyObject(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE) {
  LOCKED_STATE();
  SESSION_OF(handle);
  return refuseWrite(session);
}
CK_RV C_SetAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG) {
  LOCKED_STATE();
  SESSION_OF(handle);
  return refuseWrite(session);
}

// ---- Signing ----

CK_RV C_SignInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  LOCKED_STATE();
  SESSION_OF(handle);
  if (session.sign || session.signing) return CKR_OPERATION_ACTIVE;
  if (mechanism == nullptr) return CKR_ARGUMENTS_BAD;
  std::shared_ptr<const TokenObject> object = findObject(*state, key);
  if (!object) return CKR_KEY_HANDLE_INVALID;
  if (!object->key) return CKR_KEY_TYPE_INCONSISTENT;
  std::shared_ptr<UniqueNcryptKey> signer = object->key->signer;
  if (object->key->passwordProtected) {
    auto unlocked = state->unlocked.find(object->identity);
    if (unlocked == state->unlocked.end()) return CKR_USER_NOT_LOGGED_IN;
    signer = unlocked->second;
  }
  auto operation = std::make_unique<SignOperation>();
  if (CK_RV result = operation->start(*mechanism, std::move(signer), *object->key); result != CKR_OK)
    return result;
  session.sign = std::move(operation);
  return CKR_OK;
}

CK_RV C_Sign(CK_SESSION_HANDLE handle, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR signature,
             CK_ULONG_PTR signatureLength) {
  return withSignOperation(handle, [&](SignOperation& operation, bool& done) {
    if ((data == nullptr && dataLength != 0) || signatureLength == nullptr) return CKR_ARGUMENTS_BAD;
    return operation.finish(data, dataLength, signature, signatureLength, done);
  });
}

CK_RV C_SignUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR part, CK_ULONG partLength) {
  return withSignOperation(handle, [&](SignOperation& operation, bool& done) {
    if (part == nullptr && partLength != 0) return CKR_ARGUMENTS_BAD;
    const CK_RV result = operation.update(part, partLength);
    done = result != CKR_OK;
    return result;
  });
}

CK_RV C_SignFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature, CK_ULONG_PTR signatureLength) {
  return withSignOperation(handle, [&](SignOperation& operation, bool& done) {
    if (signatureLength == nullptr) return CKR_ARGUMENTS_BAD;
    return operation.finish(nullptr, 0, signature, signatureLength, done);
  });
}


// ---- What this token does not do ----

#define NOT_SUPPORTED(name, ...)           \
  CK_RV name(__VA_ARGS__) {                \
    LOCKED_STATE();                        \
    (void)state;                           \
    return CKR_FUNCTION_NOT_SUPPORTED;     \
  }

NOT_SUPPORTED(C_EncryptInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_Encrypt, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_EncryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_EncryptFinal, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DecryptInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_Decrypt, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DecryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DecryptFinal, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DigestInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR)
NOT_SUPPORTED(C_Digest, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DigestUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
NOT_SUPPORTED(C_DigestKey, CK_SESSION_HANDLE, CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_DigestFinal, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_SignRecoverInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_SignRecover, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_VerifyInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_Verify, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG)
NOT_SUPPORTED(C_VerifyUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
NOT_SUPPORTED(C_VerifyFinal, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG)
NOT_SUPPORTED(C_VerifyRecoverInit, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE)
NOT_SUPPORTED(C_VerifyRecover, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DigestEncryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DecryptDigestUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_SignEncryptUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_DecryptVerifyUpdate, CK_SESSION_HANDLE, CK_BYTE_PTR, CK_ULONG, CK_BYTE_PTR, CK_ULONG_PTR)
NOT_SUPPORTED(C_GenerateKey, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR)
NOT_SUPPORTED(C_GenerateKeyPair, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_ATTRIBUTE_PTR, CK_ULONG, CK_ATTRIBUTE_PTR,
              CK_ULONG, CK_OBJECT_HANDLE_PTR, CK_OBJECT_HANDLE_PTR)
NOT_SUPPORTED(C_WrapKey, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_OBJECT_HANDLE, CK_BYTE_PTR,
              CK_ULONG_PTR)
NOT_SUPPORTED(C_UnwrapKey, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_BYTE_PTR, CK_ULONG,
              CK_ATTRIBUTE_PTR, CK_ULONG, CK_OBJECT_HANDLE_PTR)
NOT_SUPPORTED(C_DeriveKey, CK_SESSION_HANDLE, CK_MECHANISM_PTR, CK_OBJECT_HANDLE, CK_ATTRIBUTE_PTR, CK_ULONG,
              CK_OBJECT_HANDLE_PTR)

CK_RV C_SeedRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR, CK_ULONG) {
  LOCKED_STATE();
  SESSION_OF(handle);
  (void)session;
  return CKR_RANDOM_SEED_NOT_SUPPORTED;
}
CK_RV C_GenerateRandom(CK_SESSION_HANDLE handle, CK_BYTE_PTR buffer, CK_ULONG length) {
  {
    LOCKED_STATE();
    SESSION_OF(handle);
    (void)session;
  }
  if (buffer == nullptr && length != 0) return CKR_ARGUMENTS_BAD;
  UniqueCryptProv provider;
  if (!CryptAcquireContextA(provider.put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
    return CKR_FUNCTION_FAILED;
  for (CK_ULONG done = 0; done < length;) {
    const DWORD part = static_cast<DWORD>(std::min<CK_ULONG>(length - done, 1u << 20));
    if (!CryptGenRandom(provider.get(), part, buffer + done)) return CKR_FUNCTION_FAILED;
    done += part;
  }
  return CKR_OK;
}

CK_RV C_GetFunctionStatus(CK_SESSION_HANDLE) {
  LOCKED_STATE();
  return CKR_FUNCTION_NOT_PARALLEL;
}
CK_RV C_CancelFunction(CK_SESSION_HANDLE) {
  LOCKED_STATE();
  return CKR_FUNCTION_NOT_PARALLEL;
}

// ---- The function list ----

namespace {

CK_FUNCTION_LIST functionList = {
    {2, 40},
    C_Initialize, C_Finalize, C_GetInfo, C_GetFunctionList, C_GetSlotList, C_GetSlotInfo, C_GetTokenInfo,
    C_GetMechanismList, C_GetMechanismInfo, C_InitToken, C_InitPIN, C_SetPIN, C_OpenSession, C_CloseSession,
    C_CloseAllSessions, C_GetSessionInfo, C_GetOperationState, C_SetOperationState, C_Login, C_Logout,
    C_CreateObject, C_CopyObject, C_DestroyObject, C_GetObjectSize, C_GetAttributeValue, C_SetAttributeValue,
    C_FindObjectsInit, C_FindObjects, C_FindObjectsFinal, C_EncryptInit, C_Encrypt, C_EncryptUpdate,
    C_EncryptFinal, C_DecryptInit, C_Decrypt, C_DecryptUpdate, C_DecryptFinal, C_DigestInit, C_Digest,
    C_DigestUpdate, C_DigestKey, C_DigestFinal, C_SignInit, C_Sign, C_SignUpdate, C_SignFinal, C_SignRecoverInit,
    C_SignRecover, C_VerifyInit, C_Verify, C_VerifyUpdate, C_VerifyFinal, C_VerifyRecoverInit, C_VerifyRecover,
    C_DigestEncryptUpdate, C_DecryptDigestUpdate, C_SignEncryptUpdate, C_DecryptVerifyUpdate, C_GenerateKey,
    C_GenerateKeyPair, C_WrapKey, C_UnwrapKey, C_DeriveKey, C_SeedRandom, C_GenerateRandom, C_GetFunctionStatus,
    C_CancelFunction, C_WaitForSlotEvent,
};

}  // namespace

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  if (list == nullptr) return CKR_ARGUMENTS_BAD;
  *list = &functionList;
  return CKR_OK;
}
