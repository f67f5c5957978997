#include "support/errors.h"

#include <algorithm>
#include <cstring>

#include "platform/application.h"
#include "platform/lasterror.h"
#include "support/local_memory.h"

namespace tarvenholm {
namespace {

struct ErrorMessage {
  int code;
  const char* english;
  const char* spanish;
};

constexpr ErrorMessage kErrorMessages[] = {
    {kInvalidProviderName, "An invalid CSP name was supplied", "Se proporcionó un CSP inválido"},
    {kInvalidName, "An invalid name was found", "Se localizó un nombre incorrecto"},
    {kEmptyNames, "RDN Chain should not be empty", "La cadena de Names no debe ser vacía"},
    {kCreateContainerFailed, "Error while creating key container", "Error al crear el contenedor para la llave"},
    {kGenerateKeyPairFailed, "Error while creating key pair", "Error al crear el par de llaves"},
    {kDestroyKeyFailed, "Error during key destruction", "Error al liberar la llave"},
    {kReleaseProviderFailed, "Error during csp destruction", "Error al liberar el CSP"},
    {kEncodeNameSizeFailed, "Error while encoding rdn(0)", "Error al codificar los rdn(0)"},
    {kEncodeNameFailed, "Error while encoding rdn(1)", "Error al codificar los rdn(1)"},
    {kExportPublicKeySizeFailed, "Error while encoding request(0)", "Error al codificar el requerimiento(0)"},
    {kNoMemoryForPublicKey, "Error while encoding rdn, there is no memory enough",
     "Error al codificar los rdn, memoria insuficiente"},
    {kExportPublicKeyFailed, "Error while encoding request(2)", "Error al codificar el requerimiento(2)"},
    {kSignRequestSizeFailed, "Error while signing request(0)", "Error al firmar el requerimiento(0)"},
    {kNoMemoryForRequest, "No memory for binary request", "No hay memoria para el requerimiento binario"},
    {kSignRequestFailed, "Error while signing request(2)", "Error al firmar el requerimiento(2)"},
    {kNoMemoryForBase64Request, "No memory for request in b64", "No hay memoria para el requerimiento en base 64"},
    {kBase64EncodeFailed, "Error while giving b64 format", "Error al convertir en base 64"},
    {kEmptyCertificate, "An empty certificate cannot be processed", "Parametrice un certificado correcto"},
    {kOpenCollectionFailed, "Error while opening certificate chain",
     "Error al abrir la cadena de certificados parametrizada"},
    {kOpenStoreFailed, "Error while opening certificate store", "Error al abrir el contenedor de certificados"},
    {kNoMemoryForCertificate, "There is no memory enough to complete this process",
     "No hay memoria suficiente para completar el proceso"},
    {kInvalidKeySize, "An invalid Private Key's Size was supplied",
     "El tamaño solicitado para la Llave Privada es inválido"},
    {kHashFailed, "Error while hashing data", "Error al digerir datos"},
    {kBindCertificateFailed, "Error while setting user certificate", "Error al instalar el certificado de usuario"},
    {kKeyRecordIncomplete, "Unable to link certificate due to missing data",
     "No es posible instalar el certificado debido a un dato faltante"},
    {kNoKeyRecord, "Unable to install your certificate on this computer",
     "No es posible instalar el certificado en este equipo"},
};

constexpr ErrorMessage kUnknownCode = {0, "A wrong error code was supplied",
                                       "Se proporcionó un código de error inválido"};

MessageLanguage language = MessageLanguage::Spanish;

char sharedMessageBuffer[kMessageBufferSize];

const ErrorMessage& messageFor(int code) {
  // Only the low byte of a code selects its text.
  const int lowByte = static_cast<std::int8_t>(code);
  const auto found = std::find_if(std::begin(kErrorMessages), std::end(kErrorMessages),
                                  [lowByte](const ErrorMessage& entry) { return entry.code == lowByte; });
  return found != std::end(kErrorMessages) ? *found : kUnknownCode;
}

}  // namespace

MessageLanguage messageLanguage() { return language; }

void setMessageLanguage(MessageLanguage newLanguage) { language = newLanguage; }

void setMessageLanguageFromProperty(std::int32_t value) {
  setMessageLanguage(value == 1 ? MessageLanguage::Spanish : MessageLanguage::English);
}

const char* localized(const char* english, const char* spanish) {
  return language == MessageLanguage::Spanish ? spanish : english;
}

char* errorText(char* buffer, std::size_t size, int code) {
  if (buffer == nullptr || size == 0) return buffer;
  std::memset(buffer, 0, size);
  const ErrorMessage& message = messageFor(code);
  const char* text = localized(message.english, message.spanish);
  std::memcpy(buffer, text, std::min(std::strlen(text), size - 1));
  return buffer;
}

char* messageBuffer() { return sharedMessageBuffer; }

void showSystemError(const char* text) {
  char* received = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
      GetLastError(), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&received), 0, nullptr);
  const LocalPtr<char> systemText(received);
  showErrorBox(length != 0 && systemText ? systemText.get() : text);
}

void showErrorBox(const char* text) { platform::applicationMessageBox(text, kMessageBoxTitle, MB_ICONERROR); }

void showInfoBox(const char* text) { platform::applicationMessageBox(text, kMessageBoxTitle, MB_ICONINFORMATION); }

}  // namespace tarvenholm
