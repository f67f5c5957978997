// Decoding of certificate structures: CryptDecodeObject.
#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstring>

#include "platform/fault.h"
#include "platform/lasterror.h"
#include "platform/openssl_handles.h"
#include "platform/sized_output.h"
#include "platform/wincrypt.h"

using namespace platform;

namespace {

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// BasicConstraints ::= SEQUENCE { cA BOOLEAN DEFAULT FALSE, pathLenConstraint INTEGER (0..MAX) OPTIONAL }
DWORD decodeBasicConstraints2(const BYTE* encoded, DWORD length, CERT_BASIC_CONSTRAINTS2_INFO& info) {
  const unsigned char* cursor = encoded;
  UniqueBasicConstraints decoded(d2i_BASIC_CONSTRAINTS(nullptr, &cursor, static_cast<long>(length)));
  if (!decoded || cursor != encoded + length) {
    ERR_clear_error();
    return CRYPT_E_ASN1_CORRUPT;
  }
  info = {};
  info.fCA = decoded->ca ? TRUE : FALSE;
  if (decoded->pathlen != nullptr) {
    std::int64_t pathLength = 0;
    if (ASN1_INTEGER_get_int64(&pathLength, decoded->pathlen) != 1 || pathLength < 0 || pathLength > UINT32_MAX) {
      ERR_clear_error();
      return CRYPT_E_ASN1_CORRUPT;
    }
    info.fPathLenConstraint = TRUE;
    info.dwPathLenConstraint = static_cast<DWORD>(pathLength);
  }
  return ERROR_SUCCESS;
}

// Every structure a decoder fills.
union DecodedStruct {
  CERT_BASIC_CONSTRAINTS2_INFO basicConstraints2;
};

struct Decoder {
  LPCSTR structType;  // the numbered structure type
  LPCSTR objectId;    // the same structure named by its object identifier
  DWORD size;         // of the decoded structure
  DWORD (*decode)(const BYTE* encoded, DWORD length, DecodedStruct& decoded);
};

const Decoder decoders[] = {
    {X509_BASIC_CONSTRAINTS2, szOID_BASIC_CONSTRAINTS2, sizeof(CERT_BASIC_CONSTRAINTS2_INFO),
     [](const BYTE* encoded, DWORD length, DecodedStruct& decoded) {
       return decodeBasicConstraints2(encoded, length, decoded.basicConstraints2);
     }},
};

// Structure types below 0x10000 are numbers; above, they point to dotted text.
bool isNumberedType(LPCSTR structType) { return reinterpret_cast<ULONG_PTR>(structType) <= 0xFFFF; }

const Decoder* decoderFor(LPCSTR structType) {
  for (const Decoder& decoder : decoders) {
    if (isNumberedType(structType) ? structType == decoder.structType
                                   : std::strcmp(structType, decoder.objectId) == 0)
      return &decoder;
  }
  return nullptr;
}

}  // namespace

BOOL CryptDecodeObject(DWORD encoding, LPCSTR structType, const BYTE* encoded, DWORD encodedLength, DWORD,
                       void* structInfo, DWORD* structInfoLength) {
  if (FAULT("CryptDecodeObject", CRYPT_E_ASN1_ERROR)) return FALSE;
  // As on the original platform, a structure or encoding without a decoder
  // is "not found".
  const Decoder* decoder = (encoding & X509_ASN_ENCODING) != 0 ? decoderFor(structType) : nullptr;
  if (decoder == nullptr) return fail(ERROR_FILE_NOT_FOUND);
  if (encoded == nullptr && encodedLength != 0) return fail(ERROR_INVALID_PARAMETER);

  // Decoded even when only the size is asked, so that the sizing call
  // already refuses what the filling call would.
  DecodedStruct decoded{};
  const DWORD status = decoder->decode(encoded, encodedLength, decoded);
  if (status != ERROR_SUCCESS) return fail(status);

  BOOL result = FALSE;
  if (!callerBufferFits(decoder->size, structInfo, structInfoLength, result)) return result;
  std::memcpy(structInfo, &decoded, decoder->size);
  return TRUE;
}
