// The PKCS#11 module driven by arbitrary input: templates, mechanisms and
// their parameters, object handles, PINs and buffer sizes, against a home
// with an RSA and an EC certificate, each bound to its key container. Every
// call must return, without a crash or a leak, whatever it is given.
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "pkcs11/cryptoki.h"
#include "platform/oletext.h"
#include "platform/openssl_handles.h"
#include "platform/key_storage.h"
#include "platform/public_key_info.h"
#include "platform/wincrypt.h"

namespace {

using fuzzing::check;

// The keys of the home: an RSA key of a legacy provider and an EC key of
// the key storage provider.
struct FuzzKey {
  const char* container;
  const char* provider;
  DWORD providerType;
  ALG_ID algorithm;
  DWORD flags;
  DWORD keySpec;
};
constexpr FuzzKey kKeys[] = {
    {"3b7e1f0a-9c2d-4e5f-8a1b-2c3d4e5f6a7b", "Microsoft Enhanced Cryptographic Provider v1.0", PROV_RSA_FULL,
     AT_KEYEXCHANGE, 1024u << 16, AT_KEYEXCHANGE},
    {"5d2c8e4f-1a3b-4c5d-9e6f-7a8b9c0d1e2f", platform::kKeyStorageProviderName, PROV_KEY_STORAGE, CALG_ECDSA,
     platform::kP256Bits << 16, AT_SIGNATURE},
};

// Reads the input from the front; zeros once it is used up.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return size_ == 0; }
  uint8_t byte() { return size_ == 0 ? 0 : (--size_, *data_++); }
  CK_ULONG number() {
    CK_ULONG value = 0;
    for (int index = 0; index < 2; ++index) value = (value << 8) | byte();
    return value;
  }
  std::vector<unsigned char> bytes(size_t most) {
    const size_t length = std::min<size_t>(byte() % (most + 1), size_);
    std::vector<unsigned char> taken(data_, data_ + length);
    data_ += length;
    size_ -= length;
    return taken;
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

constexpr CK_ATTRIBUTE_TYPE kTypes[] = {CKA_CLASS, CKA_ID, CKA_LABEL, CKA_KEY_TYPE, CKA_SIGN, CKA_PRIVATE,
                                        CKA_VALUE, CKA_MODULUS, CKA_PRIVATE_EXPONENT, CKA_CERTIFICATE_TYPE,
                                        CKA_ALLOWED_MECHANISMS, CKA_TOKEN};
constexpr CK_MECHANISM_TYPE kMechanisms[] = {CKM_RSA_PKCS, CKM_RSA_PKCS_PSS, CKM_SHA256_RSA_PKCS,
                                             CKM_SHA384_RSA_PKCS, CKM_SHA512_RSA_PKCS, CKM_SHA256_RSA_PKCS_PSS,
                                             CKM_SHA384_RSA_PKCS_PSS, CKM_SHA512_RSA_PKCS_PSS, CKM_ECDSA,
                                             CKM_ECDSA_SHA256,    CKM_ECDSA_SHA384};

// A key container and a certificate in MY bound to it. The certificate is
// signed by a throwaway key: the module never checks it.
void enrol(const FuzzKey& made) {
  UniqueCryptProv context;
  check(CryptAcquireContextA(context.put(), made.container, made.provider, made.providerType,
                             CRYPT_NEWKEYSET | CRYPT_SILENT),
        "acquire a new key container");
  const HCRYPTPROV prov = context.get();
  check(CryptGenKey(prov, made.algorithm, made.flags, UniqueCryptKey().put()), "generate a key");
  DWORD length = 0;
  CryptExportPublicKeyInfo(prov, made.keySpec, X509_ASN_ENCODING, nullptr, &length);
  std::vector<std::uint64_t> buffer(length / 8 + 1);
  auto* info = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(buffer.data());
  check(CryptExportPublicKeyInfo(prov, made.keySpec, X509_ASN_ENCODING, info, &length), "export the public key");
  std::vector<BYTE> publicKeyDer;
  check(platform::encodePublicKeyInfo(*info, publicKeyDer), "encode the public key");
  const unsigned char* cursor = publicKeyDer.data();
  platform::UniquePkey publicKey(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(publicKeyDer.size())));
  platform::UniquePkey signer(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(1024)));
  platform::UniqueX509 certificate(X509_new());
  check(publicKey && signer && certificate, "keys and certificate");
  X509_set_version(certificate.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 7);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>("Fuzz"), -1, -1, 0);
  X509_set_issuer_name(certificate.get(), X509_get_subject_name(certificate.get()));
  X509_gmtime_adj(X509_getm_notBefore(certificate.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 86400);
  X509_set_pubkey(certificate.get(), publicKey.get());
  check(X509_sign(certificate.get(), signer.get(), EVP_sha256()) > 0, "sign the certificate");
  const std::vector<unsigned char> der = platform::derOf<X509, i2d_X509>(certificate.get());
  check(!der.empty(), "encode the certificate");
  UniqueCertContext created(
      CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
  UniqueCertStore store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, u"MY"));
  PCCERT_CONTEXT stored = nullptr;
  check(created && store && CertAddCertificateContextToStore(store.get(), created.get(), CERT_STORE_ADD_NEW, &stored),
        "add the certificate to MY");
  UniqueCertContext storedOwner(stored);
  std::u16string container = platform::utf8ToWide(made.container);
  std::u16string provider = platform::utf8ToWide(made.provider);
  CRYPT_KEY_PROV_INFO binding{container.data(), provider.data(), made.providerType, 0, 0, nullptr, made.keySpec};
  check(CertSetCertificateContextProperty(stored, CERT_KEY_PROV_INFO_PROP_ID, 0, &binding), "bind the key");
}

CK_FUNCTION_LIST_PTR module() {
  static CK_FUNCTION_LIST_PTR functions = [] {
    fuzzing::useProcessHome();
    for (const FuzzKey& made : kKeys) enrol(made);
    void* library = dlopen(TARVENHOLM_PKCS11_MODULE, RTLD_NOW | RTLD_LOCAL);
    check(library != nullptr, "load the module");
    auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"));
    CK_FUNCTION_LIST_PTR list = nullptr;
    check(getList != nullptr && getList(&list) == CKR_OK, "the function list");
    return list;
  }();
  return functions;
}

// A buffer of the size the input asks for, or none.
struct Buffer {
  std::vector<unsigned char> bytes;
  CK_ULONG length = 0;
  unsigned char* data() { return bytes.empty() ? nullptr : bytes.data(); }
};
Buffer bufferFrom(Input& input) {
  Buffer buffer;
  const uint8_t choice = input.byte();
  buffer.length = choice & 0x7F;
  if (choice & 0x80) buffer.length *= 4;
  if ((choice & 0x3) != 0) buffer.bytes.resize(buffer.length);
  return buffer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CK_FUNCTION_LIST_PTR p11 = module();
  Input input(data, size);
  check(p11->C_Initialize(nullptr) == CKR_OK, "initialise");
  CK_SESSION_HANDLE session = 0;
  check(p11->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &session) == CKR_OK, "open a session");
  std::vector<CK_OBJECT_HANDLE> handles = {0, 1, 2, 3, 4, 5, 6, 7};
  for (int step = 0; step < 32 && !input.empty(); ++step) {
    const CK_SESSION_HANDLE target = (input.byte() & 0xF) == 0 ? input.number() : session;
    switch (input.byte() % 9) {
      case 0: {  // a template of chosen types and arbitrary values
        std::vector<std::vector<unsigned char>> values;
        std::vector<CK_ATTRIBUTE> pattern;
        const int count = input.byte() % 4;
        for (int index = 0; index < count; ++index) values.push_back(input.bytes(16));
        for (int index = 0; index < count; ++index)
          pattern.push_back({kTypes[input.byte() % std::size(kTypes)], values[index].data(), values[index].size()});
        p11->C_FindObjectsInit(target, pattern.data(), pattern.size());
        break;
      }
      case 1: {
        CK_OBJECT_HANDLE found[8];
        CK_ULONG count = 0;
        if (p11->C_FindObjects(target, found, input.byte() % 9, &count) == CKR_OK)
          handles.insert(handles.end(), found, found + count);
        p11->C_FindObjectsFinal(target);
        break;
      }
      case 2: {
        Buffer buffer = bufferFrom(input);
        CK_ATTRIBUTE attributes[2] = {{kTypes[input.byte() % std::size(kTypes)], buffer.data(), buffer.length},
                                      {static_cast<CK_ATTRIBUTE_TYPE>(input.number()), nullptr, 0}};
        p11->C_GetAttributeValue(target, handles[input.byte() % handles.size()], attributes, 1 + input.byte() % 2);
        break;
      }
      case 3: {
        std::vector<unsigned char> parameters = input.bytes(sizeof(CK_RSA_PKCS_PSS_PARAMS));
        if (input.byte() & 1) {  // well-formed PSS parameters with chosen values
          CK_RSA_PKCS_PSS_PARAMS pss{CKM_SHA256 + input.byte() % 3, CKG_MGF1_SHA256 + input.byte() % 3,
                                     input.byte()};
          parameters.assign(reinterpret_cast<unsigned char*>(&pss), reinterpret_cast<unsigned char*>(&pss + 1));
        }
        CK_MECHANISM mechanism{kMechanisms[input.byte() % std::size(kMechanisms)],
                               parameters.empty() ? nullptr : parameters.data(), parameters.size()};
        p11->C_SignInit(target, &mechanism, handles[input.byte() % handles.size()]);
        break;
      }
      case 4: {
        std::vector<unsigned char> message = input.bytes(80);
        Buffer signature = bufferFrom(input);
        p11->C_Sign(target, message.data(), message.size(), signature.data(), &signature.length);
        break;
      }
      case 5: {
        std::vector<unsigned char> part = input.bytes(40);
        p11->C_SignUpdate(target, part.data(), part.size());
        break;
      }
      case 6: {
        Buffer signature = bufferFrom(input);
        p11->C_SignFinal(target, signature.data(), &signature.length);
        break;
      }
      case 7: {
        std::vector<unsigned char> pin = input.bytes(8);
        p11->C_Login(target, input.byte() % 3, pin.data(), pin.size());
        p11->C_Logout(target);
        break;
      }
      default: {
        CK_SESSION_INFO info;
        p11->C_GetSessionInfo(target, &info);
        CK_TOKEN_INFO token;
        p11->C_GetTokenInfo(input.byte() % 3, &token);
        break;
      }
    }
  }
  check(p11->C_Finalize(nullptr) == CKR_OK, "finalise");
  return 0;
}
