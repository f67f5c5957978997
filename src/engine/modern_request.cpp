#include "engine/modern_request.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <optional>

#include "engine/keyid.h"
#include "engine/keyrecords.h"
#include "engine/subject_name.h"
#include "platform/certificate_request.h"
#include "platform/key_storage.h"
#include "platform/lasterror.h"

namespace tarvenholm {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kKeyFlags = CRYPT_EXPORTABLE | CRYPT_USER_PROTECTED;

struct KeyChoice {
  const char* name;
  ALG_ID algorithm;
  DWORD bits;
};

constexpr KeyChoice kKeyChoices[] = {
    {"rsa:2048", AT_KEYEXCHANGE, 2048}, {"rsa:3072", AT_KEYEXCHANGE, 3072}, {"rsa:4096", AT_KEYEXCHANGE, 4096},
    {"ec:p256", CALG_ECDSA, platform::kP256Bits}, {"ec:p384", CALG_ECDSA, platform::kP384Bits},
};

struct NamedValue {
  const char* name;
  DWORD value;
};

constexpr NamedValue kHashes[] = {{"sha256", CALG_SHA_256}, {"sha384", CALG_SHA_384}, {"sha512", CALG_SHA_512}};

constexpr NamedValue kKeyUsages[] = {
    {"digitalSignature", 0}, {"nonRepudiation", 1}, {"keyEncipherment", 2}, {"dataEncipherment", 3},
    {"keyAgreement", 4},     {"keyCertSign", 5},    {"cRLSign", 6},         {"encipherOnly", 7},
    {"decipherOnly", 8},
};

struct Purpose {
  const char* name;
  const char* oid;
};

constexpr Purpose kPurposes[] = {
    {"serverAuth", "1.3.6.1.5.5.7.3.1"},
    {"clientAuth", "1.3.6.1.5.5.7.3.2"},
    {"codeSigning", "1.3.6.1.5.5.7.3.3"},
    {"emailProtection", "1.3.6.1.5.5.7.3.4"},
};

constexpr Purpose kAltNameKinds[] = {{"email", nullptr}, {"dns", nullptr}, {"uri", nullptr}, {"ip", nullptr}};

template <class Table>
auto findNamed(const Table& table, const std::string& name) -> decltype(&table[0]) {
  for (const auto& entry : table)
    if (::strcasecmp(entry.name, name.c_str()) == 0) return &entry;
  return nullptr;
}

std::vector<std::string> commaList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= text.size() && !text.empty()) {
    const std::size_t end = std::min(text.find(',', start), text.size());
    std::string item = text.substr(start, end - start);
    item.erase(0, item.find_first_not_of(' '));
    item.erase(item.find_last_not_of(' ') + 1);
    items.push_back(item);
    start = end + 1;
  }
  return items;
}

bool isDotted(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos && text.front() != '.' &&
         text.back() != '.' && text.find("..") == std::string::npos && text.find('.') != std::string::npos;
}

std::string systemText(DWORD error) {
  char text[512] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                      text, sizeof text, nullptr);
  std::string line(text, length);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == '.')) line.pop_back();
  char number[16];
  std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(error));
  return (line.empty() ? "error" : line) + " (" + number + ")";
}

// Everything a request needs, read from the options before anything is made.
struct Plan {
  const KeyChoice* key = nullptr;
  platform::CertificateRequestSpec spec;
};

std::string planFromOptions(const std::string& subject, const ModernRequestOptions& options, Plan& plan) {
  plan.key = findNamed(kKeyChoices, options.key);
  if (options.renewContainer.empty() && plan.key == nullptr && options.key.rfind("rsa:", 0) == 0 &&
      std::atoi(options.key.c_str() + 4) > 0 && std::atoi(options.key.c_str() + 4) < static_cast<int>(kModernMinRsaBits))
    return "the key '" + options.key + "' is too weak: RSA keys have at least 2048 bits";
  if (options.renewContainer.empty() && plan.key == nullptr)
    return "the key '" + options.key + "' is not offered; choose rsa:2048, rsa:3072, rsa:4096, ec:p256 or ec:p384";
  const NamedValue* hash = findNamed(kHashes, options.hash);
  if (hash == nullptr) return "the hash '" + options.hash + "' is not offered; choose sha256, sha384 or sha512";
  plan.spec.hash = hash->value;
  plan.spec.pss = options.pss;
  if (options.renewContainer.empty() && plan.key->algorithm == CALG_ECDSA) {
    if (options.pss) return "RSASSA-PSS is for RSA keys, not " + options.key;
    if (plan.spec.hash == CALG_SHA_512) return "EC keys sign with sha256 or sha384, not sha512";
  }

  const ParsedSubject parsed = parseSubject(subject, options.singleRdn);
  if (!parsed.problem.empty()) return parsed.problem;
  const std::optional<std::vector<BYTE>> encoded = encodeSubject(parsed.rdns);
  if (!encoded) return "the subject cannot be encoded: " + systemText(GetLastError());
  plan.spec.subject = *encoded;

  for (const std::string& entry : options.altNames) {
    const std::size_t colon = entry.find(':');
    const Purpose* kind = colon == std::string::npos ? nullptr : findNamed(kAltNameKinds, entry.substr(0, colon));
    if (kind == nullptr) return "the subject alternative name '" + entry + "' is not email:, dns:, uri: or ip:";
    platform::RequestAltName altName{static_cast<platform::AltNameKind>(kind - kAltNameKinds), entry.substr(colon + 1)};
    if (altName.value.empty()) return "the subject alternative name '" + entry + "' has no value";
    if (altName.kind == platform::AltNameKind::Ip) {
      unsigned char address[16] = {};
      const bool v4 = ::inet_pton(AF_INET, altName.value.c_str(), address) == 1;
      if (!v4 && ::inet_pton(AF_INET6, altName.value.c_str(), address) != 1)
        return "'" + altName.value + "' is not an IPv4 or IPv6 address";
      altName.value.assign(reinterpret_cast<const char*>(address), v4 ? 4 : 16);
    } else {
      for (const char c : altName.value)
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) >= 0x7F)
          return "the subject alternative name '" + entry + "' must be ASCII without spaces";
    }
    plan.spec.altNames.push_back(std::move(altName));
  }
  for (const std::string& usage : commaList(options.keyUsage)) {
    const NamedValue* bit = findNamed(kKeyUsages, usage);
    if (bit == nullptr) return "the key usage '" + usage + "' is not known";
    plan.spec.keyUsage |= 1u << bit->value;
  }
  for (const std::string& purpose : commaList(options.extendedKeyUsage)) {
    const Purpose* known = findNamed(kPurposes, purpose);
    if (known == nullptr && !isDotted(purpose)) return "the extended key usage '" + purpose + "' is not known";
    plan.spec.extendedKeyUsage.push_back(known != nullptr ? known->oid : purpose);
  }
  plan.spec.challengePassword = options.challengePassword;
  return {};
}

ModernRequestResult refused(std::string problem) {
  return ModernRequestResult{ModernRequestStatus::Refused, std::move(problem), {}, {}, {}};
}

ModernRequestResult failed(const std::string& step) {
  return ModernRequestResult{ModernRequestStatus::Failed, step + ": " + systemText(GetLastError()), {}, {}, {}};
}

std::string providerParam(HCRYPTPROV context, DWORD param) {
  DWORD length = 0;
  if (!CryptGetProvParam(context, param, nullptr, &length, 0)) return {};
  std::string text(length, '\0');
  if (!CryptGetProvParam(context, param, reinterpret_cast<BYTE*>(text.data()), &length, 0)) return {};
  text.resize(text.find('\0'));
  return text;
}

// Opens the container to renew: a key storage container, else one of the
// RSA providers' shared name space. Its key must be EC or RSA of 2048 bits
// and more.
ModernRequestResult openForRenewal(const std::string& container, UniqueCryptProv& context) {
  if (!CryptAcquireContextA(context.put(), container.c_str(), platform::kKeyStorageProviderName,
                            PROV_KEY_STORAGE, 0) &&
      !CryptAcquireContextA(context.put(), container.c_str(), nullptr, PROV_RSA_FULL, 0)) {
    if (GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET) || GetLastError() == static_cast<DWORD>(NTE_BAD_KEYSET_PARAM))
      return refused("there is no key container named '" + container + "'");
    return failed("cannot open the key container " + container);
  }
  UniqueCryptKey key;
  if (!CryptGetUserKey(context.get(), AT_KEYEXCHANGE, key.put()))
    return refused("the key container '" + container + "' holds no key pair");
  DWORD bits = 0;
  DWORD length = sizeof bits;
  if (!CryptGetKeyParam(key.get(), KP_KEYLEN, reinterpret_cast<BYTE*>(&bits), &length, 0))
    return failed("cannot read the key of container " + container);
  ModernRequestResult opened{ModernRequestStatus::Made, {}, {}, container, providerParam(context.get(), platform::PP_CREATOR_NAME)};
  if (opened.provider.empty()) opened.provider = providerParam(context.get(), PP_NAME);
  const bool ec = opened.provider == platform::kKeyStorageProviderName &&
                  (bits == platform::kP256Bits || bits == platform::kP384Bits);
  if (!ec && bits < kModernMinRsaBits)
    return refused("the key in container '" + container + "' has " + std::to_string(bits) +
                   " bits; requests on this path need at least 2048");
  return opened;
}

ModernRequestResult createKey(const KeyChoice& key, UniqueCryptProv& context) {
  ModernRequestResult made{ModernRequestStatus::Made, {}, {}, newContainerName(), platform::kKeyStorageProviderName};
  if (!CryptAcquireContextA(context.put(), made.container.c_str(), platform::kKeyStorageProviderName,
                            PROV_KEY_STORAGE, CRYPT_NEWKEYSET))
    return failed("cannot create a key container");
  UniqueCryptKey generated;
  if (!CryptGenKey(context.get(), key.algorithm, key.bits << 16 | kKeyFlags, generated.put()))
    return failed("cannot generate the key pair");
  return made;
}

// The record that lets the certificate issued for the request be bound to its key.
bool recordKey(HCRYPTPROV context, const ModernRequestResult& result) {
  DWORD length = 0;
  if (!CryptExportPublicKeyInfo(context, AT_KEYEXCHANGE, kEncoding, nullptr, &length)) return false;
  std::vector<BYTE> buffer(length);
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
  std::string keyId;
  if (!CryptExportPublicKeyInfo(context, AT_KEYEXCHANGE, kEncoding, info, &length) || !publicKeyId(info, keyId))
    return false;
  writeKeyRecord(keyId, result.container, result.provider);
  const std::string path = keyRecordPath(keyId);
  return regReadString(HKEY_LOCAL_MACHINE, path, kContainerValueName) == result.container &&
         regReadString(HKEY_LOCAL_MACHINE, path, kProviderValueName) == result.provider;
}

}  // namespace

ModernRequestResult buildModernRequest(const std::string& subject, const ModernRequestOptions& options) {
  Plan plan;
  const std::string problem = planFromOptions(subject, options, plan);
  if (!problem.empty()) return refused(problem);

  // Checked before a container is made, so that none is left behind.
  if (!keyRecordsWritable()) return failed("cannot record the key of the request");
  UniqueCryptProv context;
  ModernRequestResult result =
      options.renewContainer.empty() ? createKey(*plan.key, context) : openForRenewal(options.renewContainer, context);
  if (result.status != ModernRequestStatus::Made) return result;
  if (!CryptSignCertificateRequest(context.get(), AT_KEYEXCHANGE, plan.spec, result.der)) {
    if (GetLastError() == static_cast<DWORD>(NTE_BAD_ALGID))
      return refused("the key in container '" + result.container + "' cannot sign with " + options.hash +
                     (options.pss ? " and RSASSA-PSS" : ""));
    return failed("cannot sign the request");
  }
  if (!recordKey(context.get(), result)) return failed("cannot record the key of the request");
  return result;
}

}  // namespace tarvenholm
