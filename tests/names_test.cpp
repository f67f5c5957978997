#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/names.h"
#include "platform/fault.h"
#include "platform/lasterror.h"
#include "support/errors.h"
#include "testlib/test_home.h"

namespace {

using tarvenholm::MessageLanguage;

struct Record {
  std::string oid;
  DWORD valueType;
  std::string value;
  bool operator==(const Record&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Record& record) {
  return out << "(" << record.oid << ", " << record.valueType << ", \"" << record.value << "\")";
}

constexpr DWORD kPrintable = CERT_RDN_PRINTABLE_STRING;
constexpr DWORD kUtf8 = CERT_RDN_UTF8_STRING;
constexpr DWORD kIa5 = CERT_RDN_IA5_STRING;

class NamesTest : public testing_support::HomeTest {
 protected:
  ~NamesTest() override { tarvenholm::setMessageLanguage(initialLanguage_); }

  // The records parseNames gives, read through the platform's CERT_RDN_ATTR
  // as the encoder reads them; the list is released afterwards.
  std::vector<Record> parse(const char* names) {
    DWORD count = 0xFFFF;
    tarvenholm::NameAttribute* list = tarvenholm::parseNames(names, &count);
    EXPECT_NE(list, nullptr) << names;
    if (list == nullptr) return {};
    std::vector<Record> records;
    const CERT_RDN rdn{count, reinterpret_cast<CERT_RDN_ATTR*>(list)};
    for (DWORD i = 0; i < rdn.cRDNAttr; ++i) {
      const CERT_RDN_ATTR& attribute = rdn.rgRDNAttr[i];
      const char* value = reinterpret_cast<const char*>(attribute.Value.pbData);
      EXPECT_EQ(value[attribute.Value.cbData], '\0');
      records.push_back({attribute.pszObjId, attribute.dwValueType, std::string(value, attribute.Value.cbData)});
    }
    tarvenholm::freeNameAttributes(list, count);
    return records;
  }

  const MessageLanguage initialLanguage_ = tarvenholm::messageLanguage();
};

TEST_F(NamesTest, EntriesBecomeRecordsInOrder) {
  const char* names = "2.5.4.3=Test User;2.5.4.10=Test Org;2.5.4.6=MX";
  EXPECT_TRUE(tarvenholm::checkNames(names));
  EXPECT_EQ(parse(names), (std::vector<Record>{{"2.5.4.3", kPrintable, "Test User"},
                                               {"2.5.4.10", kPrintable, "Test Org"},
                                               {"2.5.4.6", kPrintable, "MX"}}));
  EXPECT_EQ(parse("2.5.4.3=A;2.5.4.3=B"),
            (std::vector<Record>{{"2.5.4.3", kPrintable, "A"}, {"2.5.4.3", kPrintable, "B"}}));
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(NamesTest, TypeAndValueAreTrimmedAtBothEndsOnly) {
  EXPECT_EQ(parse(" 2.5.4.3 =  Test User  "), (std::vector<Record>{{"2.5.4.3", kPrintable, "Test User"}}));
  EXPECT_EQ(parse("\t2.5.4.3\x01=\x1F" "a b\x7F\x20"), (std::vector<Record>{{"2.5.4.3", kUtf8, "a b\x7F"}}));
  EXPECT_EQ(parse("2.5.4.3=a=b"), (std::vector<Record>{{"2.5.4.3", kPrintable, "a=b"}}));
  EXPECT_EQ(parse("2.5.4.3="), (std::vector<Record>{{"2.5.4.3", kPrintable, ""}}));
}

TEST_F(NamesTest, SemicolonsAndLineBreaksSeparateEntries) {
  const std::vector<Record> expected = {{"2.5.4.3", kPrintable, "Test"}, {"2.5.4.10", kPrintable, "X"}};
  for (const char* names : {"2.5.4.3=Test;2.5.4.10=X", "2.5.4.3=Test\r\n2.5.4.10=X", "2.5.4.3=Test\n2.5.4.10=X",
                            "2.5.4.3=Test\r2.5.4.10=X", "2.5.4.3=Test;2.5.4.10=X;", "2.5.4.3=Test\r\n2.5.4.10=X\r\n"}) {
    EXPECT_TRUE(tarvenholm::checkNames(names)) << names;
    EXPECT_EQ(parse(names), expected) << names;
  }
  // Two breaks leave an empty entry between them.
  for (const char* names : {"2.5.4.3=Test\n\r2.5.4.10=X", "2.5.4.3=Test\r\r2.5.4.10=X", "2.5.4.3=Test\n\n2.5.4.10=X",
                            "2.5.4.3=Test;;2.5.4.10=X", "2.5.4.3=Test;\n2.5.4.10=X", "2.5.4.3=Test\r;2.5.4.10=X",
                            ";2.5.4.3=Test", "\r\n2.5.4.3=Test", "2.5.4.3=Test; "}) {
    EXPECT_FALSE(tarvenholm::checkNames(names)) << names;
  }
  // A parsed empty entry has an empty type (the caller checks first).
  EXPECT_EQ(parse("2.5.4.3=T;;x"), (std::vector<Record>{{"2.5.4.3", kPrintable, "T"},
                                                        {"", kPrintable, ""},
                                                        {"", kPrintable, "x"}}));
}

TEST_F(NamesTest, OnlyWholeIdentifiersOfTheTableAreAccepted) {
  for (const char* names : {"CN=Test", "2.5.4.1=Test", "2.5.4=Test", "2.5.4.30=Test", "=Test", "2.5.4.3",
                            "2.5.4.3=ok;CN=x", "2. 5.4.3=Test", "OID.2.5.4.3=Test"})
    EXPECT_FALSE(tarvenholm::checkNames(names)) << names;
  for (const char* type : tarvenholm::knownAttributeTypes) {
    EXPECT_TRUE(tarvenholm::isKnownAttributeType(type)) << type;
    EXPECT_TRUE(tarvenholm::checkNames((std::string(type) + "=v").c_str())) << type;
  }
  for (const char* type : {"", "2.5.4.3 ", "2.5.4", "1.2.840.113549.1.9", "2.5.4.3\n"})
    EXPECT_FALSE(tarvenholm::isKnownAttributeType(type)) << type;
  EXPECT_FALSE(tarvenholm::isKnownAttributeType(nullptr));
  // A refused type shows no box of its own.
  EXPECT_TRUE(boxes_.boxes().empty());
}

TEST_F(NamesTest, ValueCharactersChooseTheStringType) {
  EXPECT_EQ(parse("2.5.4.3=Pe\xC3\xB1" "a Ni\xC3\xB1o;2.5.4.3=a_b;2.5.4.3=a&b;2.5.4.3=a*b;2.5.4.3=Pena (Nino)/'x':+,-.=?"),
            (std::vector<Record>{{"2.5.4.3", kUtf8, "Pe\xC3\xB1" "a Ni\xC3\xB1o"},
                                 {"2.5.4.3", kUtf8, "a_b"},
                                 {"2.5.4.3", kUtf8, "a&b"},
                                 {"2.5.4.3", kUtf8, "a*b"},
                                 {"2.5.4.3", kPrintable, "Pena (Nino)/'x':+,-.=?"}}));
  EXPECT_EQ(parse("1.2.840.113549.1.9.1=user@example.org;1.2.840.113549.1.9.1=ni\xC3\xB1o@x;1.2.840.113549.1.9.1=abc"),
            (std::vector<Record>{{"1.2.840.113549.1.9.1", kIa5, "user@example.org"},
                                 {"1.2.840.113549.1.9.1", kIa5, "ni\xC3\xB1o@x"},
                                 {"1.2.840.113549.1.9.1", kIa5, "abc"}}));
}

TEST(PrintableText, ExactlyTheSeventyFourCharactersOfTheSetPass) {
  const std::string set = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789 '()+,-./:=?";
  int printable = 0;
  for (int byte = 1; byte < 256; ++byte) {
    const char text[] = {'A', static_cast<char>(byte), 'z', '\0'};
    const bool inSet = set.find(static_cast<char>(byte)) != std::string::npos;
    EXPECT_EQ(tarvenholm::isPrintableText(text), inSet) << byte;
    printable += inSet;
  }
  EXPECT_EQ(printable, 74);
  EXPECT_TRUE(tarvenholm::isPrintableText(""));
}

TEST_F(NamesTest, EmptyStringIsRefusedWithAnInformationBoxInEitherLanguage) {
  tarvenholm::setMessageLanguage(MessageLanguage::English);
  EXPECT_FALSE(tarvenholm::checkNames(""));
  DWORD count = 77;
  EXPECT_EQ(tarvenholm::parseNames("", &count), nullptr);
  EXPECT_EQ(count, 77u);
  tarvenholm::setMessageLanguage(MessageLanguage::Spanish);
  EXPECT_FALSE(tarvenholm::checkNames(""));
  EXPECT_EQ(tarvenholm::parseNames(nullptr, &count), nullptr);
  EXPECT_EQ(count, 77u);

  EXPECT_EQ(boxes_.texts(), (std::vector<std::string>{"An invalid parameter was detected",
                                                       "An empty parameter was detected",
                                                       "La cadena de nombres no es correcta",
                                                       "La cadena de nombres no puede ser vacía"}));
  for (const testing_support::Box& box : boxes_.boxes()) {
    EXPECT_EQ(box.caption, "Tarvenholm");
    EXPECT_EQ(box.flags, 64u);
  }
}

// Every allocation of parseNames, failing in turn: no list, count untouched,
// nothing leaked (the sanitizer build checks the last part).
TEST_F(NamesTest, FailedAllocationReleasesEverythingAndGivesNoList) {
  const char* names = "2.5.4.3=Test User;2.5.4.10=Test Org;2.5.4.6=MX";
  const unsigned allocations = 1 + 2 * 3;
  for (unsigned nth = 1; nth <= allocations; ++nth) {
    platform::faultArm("LocalAlloc", nth, ERROR_NOT_ENOUGH_MEMORY);
    DWORD count = 77;
    EXPECT_EQ(tarvenholm::parseNames(names, &count), nullptr) << nth;
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    platform::faultReset();
  }
  platform::faultArm("LocalAlloc", allocations + 1, ERROR_NOT_ENOUGH_MEMORY);
  DWORD count = 0;
  tarvenholm::NameAttributeList list(tarvenholm::parseNames(names, &count), {});
  ASSERT_NE(list, nullptr);
  list.get_deleter().count = count;
  EXPECT_EQ(count, 3u);
  EXPECT_TRUE(boxes_.boxes().empty());
}

}  // namespace
