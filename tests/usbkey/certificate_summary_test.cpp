// The certificate summary: serial, names and local dates exactly as the page shows them.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/text/text.h"
#include "usbkey/key_token_fixture.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

using Testing::CertificateSpec;
using Testing::MakeCertificate;

std::string Summary(const CertificateSpec& wanted) { return Platform::ToUtf8(SummarizeCertificate(MakeCertificate(wanted))); }

class CertificateSummaryTest : public ::testing::Test {
 protected:
  void SetUp() override { UseZone("CST-8"); }
  void TearDown() override { unsetenv("TZ"); }
  static void UseZone(const char* zone) { setenv("TZ", zone, 1); }
};

TEST_F(CertificateSummaryTest, FourFieldsInOrder) {
  EXPECT_EQ(Summary({}), "010203;CN=Test Root, O=Test CA, C=CN;CN=Holder, O=Bank, C=CN;2017年03月02日到2019年03月02日");
}

TEST_F(CertificateSummaryTest, SerialIsItsBytesMostSignificantFirst) {
  const struct {
    std::vector<uint8_t> serial;
    std::string text;
  } cases[] = {
      {{0x03, 0x02, 0x01}, "030201"},
      {{0x8F, 0x01}, "008f01"},  // the byte that keeps it positive is part of the stored serial
      {{0x7A}, "7a"},
      {{0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xAB},
       "010000000000000000000000000000" "00ab"},
  };
  for (const auto& c : cases) {
    CertificateSpec wanted;
    wanted.serial = c.serial;
    const std::string summary = Summary(wanted);
    EXPECT_EQ(summary.substr(0, summary.find(';')), c.text);
  }
}

TEST_F(CertificateSummaryTest, NamesAreWrittenMostSpecificFirst) {
  const struct {
    std::vector<std::pair<std::string, std::string>> name;
    std::string text;
  } cases[] = {
      {{{"C", "CN"}, {"ST", "北京"}, {"L", "海淀"}, {"O", "中国某银行"}, {"OU", "个人网银"}, {"CN", "张三"}},
       "CN=张三, OU=个人网银, O=中国某银行, L=海淀, S=北京, C=CN"},
      {{{"O", "Bank"}, {"CN", "Holder"}, {"+emailAddress", "holder@example.com"}},
       "CN=Holder + E=holder@example.com, O=Bank"},
      {{{"O", "Bank, Ltd."}, {"CN", "say \"hi\""}}, "CN=\"say \"\"hi\"\"\", O=\"Bank, Ltd.\""},
      {{{"DC", "example"}, {"serialNumber", "110101"}, {"1.2.3.4", "x"}}, "OID.1.2.3.4=x, SERIALNUMBER=110101, DC=example"},
  };
  for (const auto& c : cases) {
    CertificateSpec wanted;
    wanted.subject = c.name;
    const std::string summary = Summary(wanted);
    const size_t subjectStart = summary.find(';', summary.find(';') + 1) + 1;
    EXPECT_EQ(summary.substr(subjectStart, summary.rfind(';') - subjectStart), c.text);
  }
}

TEST_F(CertificateSummaryTest, DatesAreLocalDates) {
  const struct {
    const char* zone;
    time_t notBefore, notAfter;
    std::string validity;
  } cases[] = {
      {"CST-8", 1488414600, 1551486600, "2017年03月02日到2019年03月02日"},  // eight hours east of UTC
      {"EST5", 1488414600, 1551486600, "2017年03月01日到2019年03月01日"},   // five hours west
      {"UTC0", 1488414600, 1551486600, "2017年03月02日到2019年03月02日"},
      {"EST5", 2556144000, 2556144000, "2050年12月31日到2050年12月31日"},   // 2051-01-01 00:00 UTC, a GeneralizedTime
      {"CST-8", 946684799, 946684799, "2000年01月01日到2000年01月01日"},    // 1999-12-31 23:59:59 UTC
  };
  for (const auto& c : cases) {
    UseZone(c.zone);
    CertificateSpec wanted;
    wanted.notBefore = c.notBefore;
    wanted.notAfter = c.notAfter;
    const std::string summary = Summary(wanted);
    EXPECT_EQ(summary.substr(summary.rfind(';') + 1), c.validity) << c.zone;
  }
}

TEST_F(CertificateSummaryTest, UndecodableCertificateGivesNothing) {
  EXPECT_EQ(SummarizeCertificate({}), u"");
  EXPECT_EQ(SummarizeCertificate({0x30, 0x03, 0x02, 0x01, 0x01}), u"");
  auto truncated = MakeCertificate({});
  truncated.resize(truncated.size() / 2);
  EXPECT_EQ(SummarizeCertificate(truncated), u"");
}

}  // namespace
}  // namespace Kestrilon::UsbKey
