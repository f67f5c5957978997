#include "platform/lasterror.h"

#include <cstdlib>
#include <cstring>

#include "platform/fault.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

struct SystemText {
  DWORD number;
  const char* text;
};

// A text, in our own words, for every error number the stand-in sets.
constexpr SystemText systemTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_FILENAME_EXCED_RANGE, "The file name is too long."},
    {ERROR_BAD_FILE_TYPE, "The path is not a regular file."},
    {ERROR_DIRECTORY, "The path is a folder, not a file."},
    {ERROR_STOPPED_ON_SYMLINK, "The path is a symbolic link; links are not followed."},
    {ERROR_REVISION_MISMATCH, "The file was written by a newer version of this program."},
    {ERROR_INVALID_OWNER, "The path is owned by another user."},
    {ERROR_INVALID_SECURITY_DESCR, "The path can be written by other users."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory is available to process this command."},
    {ERROR_BAD_FORMAT, "The data is not in the expected format."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory is available to complete this operation."},
    {ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DISK_FULL, "There is not enough space left on the disk."},
    {ERROR_BAD_PATHNAME, "The path given is not a valid key path."},
    {ERROR_INVALID_PASSWORD, "The password is not correct."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_MOD_NOT_FOUND, "No loadable module was found at the path given."},
    {ERROR_PROC_NOT_FOUND, "The module exports nothing by that name."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_MORE_DATA, "More data is available."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_BADDB, "The configuration registry database is corrupt."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_CANTREAD, "The configuration registry key could not be read."},
    {ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {ERROR_REGISTRY_IO_FAILED, "An I/O operation on the registry failed."},
    {ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {ERROR_KEY_HAS_CHILDREN, "Cannot create a symbolic link in a registry key that already has subkeys or values."},
    {ERROR_CANCELLED, "The operation was canceled by the user."},
    {ERROR_RESOURCE_TYPE_NOT_FOUND, "The module holds no data of the kind asked for."},
    {NTE_BAD_UID, "Bad UID."},
    {NTE_BAD_HASH, "Bad hash."},
    {NTE_BAD_KEY, "Bad key."},
    {NTE_BAD_LEN, "Bad length."},
    {NTE_BAD_DATA, "Bad data."},
    {NTE_BAD_SIGNATURE, "Invalid signature."},
    {NTE_BAD_ALGID, "Invalid algorithm specified."},
    {NTE_BAD_FLAGS, "Invalid flags specified."},
    {NTE_BAD_TYPE, "Invalid type specified."},
    {NTE_BAD_KEY_STATE, "Key not valid for use in specified state."},
    {NTE_BAD_HASH_STATE, "The hash is finished and can take no more data."},
    {NTE_NO_KEY, "Key does not exist."},
    {NTE_NO_MEMORY, "Insufficient memory was available."},
    {NTE_EXISTS, "Object already exists."},
    {NTE_PERM, "Access denied."},
    {NTE_NOT_FOUND, "Object was not found."},
    {NTE_BAD_PROVIDER, "Invalid provider specified."},
    {NTE_BAD_PROV_TYPE, "Invalid provider type specified."},
    {NTE_BAD_KEYSET, "Keyset does not exist."},
    {NTE_PROV_TYPE_NOT_DEF, "Provider type not defined."},
    {NTE_PROV_TYPE_ENTRY_BAD, "The provider's registered type is missing or unreadable."},
    {NTE_KEYSET_NOT_DEF, "The keyset is not defined."},
    {NTE_KEYSET_ENTRY_BAD, "The stored keyset is damaged."},
    {NTE_PROV_TYPE_NO_MATCH, "The provider type given does not match the provider's registered type."},
    {NTE_BAD_KEYSET_PARAM, "The keyset parameter is invalid."},
    {NTE_FAIL, "An internal error occurred."},
    {NTE_SILENT_CONTEXT, "The provider could not perform the action since the context was acquired as silent."},
    {TRUST_E_CERT_SIGNATURE, "The signature of the certificate cannot be verified."},
    {CRYPT_E_UNKNOWN_ALGO, "The cryptographic algorithm is not known."},
    {CRYPT_E_BAD_ENCODE, "An error occurred during encode or decode operation."},
    {CRYPT_E_NOT_FOUND, "Cannot find object or property."},
    {CRYPT_E_EXISTS, "The object or property already exists."},
    {CRYPT_E_UNEXPECTED_MSG_TYPE, "An unexpected message type was encountered."},
    {CRYPT_E_PENDING_CLOSE, "The store was closed while some of its certificates were still in use."},
    {CRYPT_E_OID_FORMAT, "The object identifier is poorly formatted."},
    {CRYPT_E_ASN1_BADTAG, "ASN1 bad tag value met."},
    {CRYPT_E_INVALID_NUMERIC_STRING, "The string contains a non-numeric character."},
    {CRYPT_E_INVALID_PRINTABLE_STRING, "The string contains a non-printable character."},
    {CRYPT_E_INVALID_IA5_STRING, "The string contains a character not in the 7 bit ASCII character set."},
    {CRYPT_E_ASN1_ERROR, "ASN1 internal encode or decode error."},
    {CRYPT_E_ASN1_EOD, "ASN1 unexpected end of data."},
    {CRYPT_E_ASN1_CORRUPT, "ASN1 corrupted data."},
};

const char* systemText(DWORD number) {
  for (const SystemText& entry : systemTexts)
    if (entry.number == number) return entry.text;
  return nullptr;
}

}  // namespace

DWORD GetLastError() { return lastError; }

void SetLastError(DWORD error) { lastError = error; }

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, void*) {
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const char* text = systemText(messageId);
  if (text == nullptr) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  // The original platform ends system texts with CR LF; callers show them as they are.
  const std::size_t length = std::strlen(text) + 2;
  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    auto* copy = static_cast<char*>(LocalAlloc(LPTR, length + 1));
    if (copy == nullptr) return 0;
    std::memcpy(copy, text, length - 2);
    std::memcpy(copy + length - 2, "\r\n", 2);
    *reinterpret_cast<char**>(buffer) = copy;
    return static_cast<DWORD>(length);
  }
  if (size < length + 1) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, text, length - 2);
  std::memcpy(buffer + length - 2, "\r\n", 3);
  return static_cast<DWORD>(length);
}

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if (FAULT("LocalAlloc", ERROR_NOT_ENOUGH_MEMORY)) return nullptr;
  void* memory = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1) : std::malloc(bytes ? bytes : 1);
  if (memory == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return memory;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}
