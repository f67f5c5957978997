#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/application.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "support/errors.h"
#include "testlib/test_home.h"

namespace {

using tarvenholm::MessageLanguage;

// Leaves the module-wide language as each case found it.
class ErrorsTest : public testing_support::HomeTest {
 protected:
  ~ErrorsTest() override { tarvenholm::setMessageLanguage(initialLanguage_); }

  static std::string textOf(int code) {
    return tarvenholm::errorText(tarvenholm::messageBuffer(), tarvenholm::kMessageBufferSize, code);
  }

  const MessageLanguage initialLanguage_ = tarvenholm::messageLanguage();
};

constexpr const char* kFallbackEnglish = "A wrong error code was supplied";
constexpr const char* kFallbackSpanish = "Se proporcionó un código de error inválido";

TEST_F(ErrorsTest, LanguageIsSpanishUntilTheHostSetsIt) {
  EXPECT_EQ(initialLanguage_, MessageLanguage::Spanish);
  EXPECT_EQ(textOf(tarvenholm::kInvalidProviderName), "Se proporcionó un CSP inválido");
}

TEST_F(ErrorsTest, PropertyValueOneSelectsSpanishEveryOtherEnglish) {
  for (const std::int32_t value : {0, 2, -1, 0x101}) {
    tarvenholm::setMessageLanguage(MessageLanguage::Spanish);
    tarvenholm::setMessageLanguageFromProperty(value);
    EXPECT_EQ(tarvenholm::messageLanguage(), MessageLanguage::English) << value;
    EXPECT_EQ(textOf(-27), "An invalid name was found") << value;
  }
  tarvenholm::setMessageLanguageFromProperty(1);
  EXPECT_EQ(textOf(-27), "Se localizó un nombre incorrecto");
}

struct ExpectedText {
  int code;
  const char* english;
  const char* spanish;
};

TEST_F(ErrorsTest, EveryCodeHasItsTextInBothLanguages) {
  const ExpectedText table[] = {
      {-28, "An invalid CSP name was supplied", "Se proporcionó un CSP inválido"},
      {-27, "An invalid name was found", "Se localizó un nombre incorrecto"},
      {-26, "RDN Chain should not be empty", "La cadena de Names no debe ser vacía"},
      {-25, "Error while creating key container", "Error al crear el contenedor para la llave"},
      {-24, "Error while creating key pair", "Error al crear el par de llaves"},
      {-23, "Error during key destruction", "Error al liberar la llave"},
      {-22, "Error during csp destruction", "Error al liberar el CSP"},
      {-21, "Error while encoding rdn(0)", "Error al codificar los rdn(0)"},
      {-20, "Error while encoding rdn(1)", "Error al codificar los rdn(1)"},
      {-19, "Error while encoding request(0)", "Error al codificar el requerimiento(0)"},
      {-18, "Error while encoding rdn, there is no memory enough", "Error al codificar los rdn, memoria insuficiente"},
      {-17, "Error while encoding request(2)", "Error al codificar el requerimiento(2)"},
      {-16, "Error while signing request(0)", "Error al firmar el requerimiento(0)"},
      {-15, "No memory for binary request", "No hay memoria para el requerimiento binario"},
      {-14, "Error while signing request(2)", "Error al firmar el requerimiento(2)"},
      {-13, "No memory for request in b64", "No hay memoria para el requerimiento en base 64"},
      {-12, "Error while giving b64 format", "Error al convertir en base 64"},
      {-11, kFallbackEnglish, kFallbackSpanish},
      {-10, "An empty certificate cannot be processed", "Parametrice un certificado correcto"},
      {-9, "Error while opening certificate chain", "Error al abrir la cadena de certificados parametrizada"},
      {-8, "Error while opening certificate store", "Error al abrir el contenedor de certificados"},
      {-7, kFallbackEnglish, kFallbackSpanish},
      {-6, "There is no memory enough to complete this process", "No hay memoria suficiente para completar el proceso"},
      {-5, "An invalid Private Key's Size was supplied", "El tamaño solicitado para la Llave Privada es inválido"},
      {-4, "Error while hashing data", "Error al digerir datos"},
      {-3, "Error while setting user certificate", "Error al instalar el certificado de usuario"},
      {-2, "Unable to link certificate due to missing data",
       "No es posible instalar el certificado debido a un dato faltante"},
      {-1, "Unable to install your certificate on this computer",
       "No es posible instalar el certificado en este equipo"},
  };
  for (const ExpectedText& expected : table) {
    tarvenholm::setMessageLanguage(MessageLanguage::English);
    EXPECT_EQ(textOf(expected.code), expected.english) << expected.code;
    tarvenholm::setMessageLanguage(MessageLanguage::Spanish);
    EXPECT_EQ(textOf(expected.code), expected.spanish) << expected.code;
  }
}

TEST_F(ErrorsTest, CodesWithoutTextGiveTheFallback) {
  for (const int code : {0, 1, -29, -100, 127, tarvenholm::kSuccess}) {
    tarvenholm::setMessageLanguage(MessageLanguage::English);
    EXPECT_EQ(textOf(code), kFallbackEnglish) << code;
    tarvenholm::setMessageLanguage(MessageLanguage::Spanish);
    EXPECT_EQ(textOf(code), kFallbackSpanish) << code;
  }
}

TEST_F(ErrorsTest, OnlyTheLowByteOfACodeSelectsItsText) {
  tarvenholm::setMessageLanguage(MessageLanguage::English);
  EXPECT_EQ(textOf(228), "An invalid CSP name was supplied");       // 228 - 256 = -28
  EXPECT_EQ(textOf(255), "Unable to install your certificate on this computer");
  EXPECT_EQ(textOf(-28 - 512), "An invalid CSP name was supplied");
  EXPECT_EQ(textOf(0x7FFFFF00 - 5), "An invalid Private Key's Size was supplied");
}

TEST_F(ErrorsTest, LookupZeroFillsTheWholeBuffer) {
  char* buffer = tarvenholm::messageBuffer();
  std::memset(buffer, 'x', tarvenholm::kMessageBufferSize);
  tarvenholm::setMessageLanguage(MessageLanguage::Spanish);
  EXPECT_EQ(tarvenholm::errorText(buffer, tarvenholm::kMessageBufferSize, -5), buffer);
  const std::size_t length = std::strlen(buffer);
  EXPECT_EQ(std::string(buffer, length), "El tamaño solicitado para la Llave Privada es inválido");
  for (std::size_t i = length; i < tarvenholm::kMessageBufferSize; ++i) ASSERT_EQ(buffer[i], '\0') << i;
}

TEST_F(ErrorsTest, ShortBufferGetsACutTextAndNothingBeyondItsSize) {
  char buffer[12];
  std::memset(buffer, 'x', sizeof buffer);
  tarvenholm::setMessageLanguage(MessageLanguage::English);
  tarvenholm::errorText(buffer, 8, -4);
  EXPECT_STREQ(buffer, "Error w");
  EXPECT_EQ(std::string(buffer + 8, 4), "xxxx");
  tarvenholm::errorText(buffer, 0, -4);
  EXPECT_EQ(buffer[0], 'E');
}

TEST_F(ErrorsTest, SystemErrorShowsTheSystemTextInAnErrorBox) {
  tarvenholm::setMessageLanguage(MessageLanguage::Spanish);
  SetLastError(NTE_BAD_KEYSET);
  tarvenholm::showSystemError(textOf(-25).c_str());
  ASSERT_EQ(boxes_.boxes().size(), 1u);
  EXPECT_EQ(boxes_.boxes()[0].text, "Keyset does not exist.\r\n");
  EXPECT_EQ(boxes_.boxes()[0].caption, "Tarvenholm");
  EXPECT_EQ(boxes_.boxes()[0].flags, 16u);
}

TEST_F(ErrorsTest, SystemErrorWithoutSystemTextShowsTheGivenText) {
  tarvenholm::setMessageLanguage(MessageLanguage::Spanish);
  SetLastError(0xDEADBEEF);
  tarvenholm::showSystemError(textOf(-24).c_str());
  // The system cannot hand out its text when its buffer cannot be allocated.
  SetLastError(NTE_BAD_KEYSET);
  platform::faultArm("LocalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
  tarvenholm::showSystemError("ERROR - CryptEnumProviders");
  ASSERT_EQ(boxes_.boxes().size(), 2u);
  EXPECT_EQ(boxes_.boxes()[0].text, "Error al crear el par de llaves");
  EXPECT_EQ(boxes_.boxes()[0].flags, 16u);
  EXPECT_EQ(boxes_.boxes()[1].text, "ERROR - CryptEnumProviders");
}

TEST_F(ErrorsTest, ErrorAndInformationBoxesCarryTitleAndIcon) {
  tarvenholm::showErrorBox("Se localizó un nombre incorrecto");
  tarvenholm::showInfoBox("La cadena de nombres no es correcta");
  ASSERT_EQ(boxes_.boxes().size(), 2u);
  EXPECT_EQ(boxes_.boxes()[0].caption, "Tarvenholm");
  EXPECT_EQ(boxes_.boxes()[0].flags, static_cast<UINT>(MB_ICONERROR));
  EXPECT_EQ(boxes_.boxes()[1].caption, "Tarvenholm");
  EXPECT_EQ(boxes_.boxes()[1].flags, static_cast<UINT>(MB_ICONINFORMATION));
  EXPECT_EQ(boxes_.texts()[1], "La cadena de nombres no es correcta");
}

}  // namespace
