// The summary of a certificate: serial, issuer, subject and validity, as the page shows them.
#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <cstdio>
#include <ctime>

#include "platform/text/text.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

struct X509Free {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

std::string Hex(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

// The serial's content bytes exactly as encoded (a leading 00 that keeps it positive included), most
// significant first: what a little-endian serial blob printed from its last byte gives.
std::string SerialText(const X509* certificate) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(certificate);
  unsigned char* der = nullptr;
  const int length = i2d_ASN1_INTEGER(serial, &der);
  if (length <= 2) {
    OPENSSL_free(der);
    return {};
  }
  size_t offset = 2;  // tag, then the length in short or long form
  if (der[1] & 0x80) offset += der[1] & 0x7F;
  std::string text = offset < static_cast<size_t>(length) ? Hex(der + offset, length - offset) : std::string();
  OPENSSL_free(der);
  return text;
}

// Attribute names of X.500 name texts; others are written "OID.<dotted>".
const char* AttributeName(int nid) {
  switch (nid) {
    case NID_commonName: return "CN";
    case NID_localityName: return "L";
    case NID_organizationName: return "O";
    case NID_organizationalUnitName: return "OU";
    case NID_pkcs9_emailAddress: return "E";
    case NID_countryName: return "C";
    case NID_stateOrProvinceName: return "S";
    case NID_streetAddress: return "STREET";
    case NID_title: return "T";
    case NID_givenName: return "G";
    case NID_initials: return "I";
    case NID_surname: return "SN";
    case NID_domainComponent: return "DC";
    case NID_serialNumber: return "SERIALNUMBER";
    case NID_postalCode: return "PostalCode";
    case NID_description: return "Description";
    case NID_telephoneNumber: return "Phone";
    case NID_postOfficeBox: return "POBox";
    case NID_dnQualifier: return "dnQualifier";
    case NID_pkcs9_unstructuredName: return "unstructuredName";
    default: return nullptr;
  }
}

std::string AttributeValue(const X509_NAME_ENTRY* entry) {
  const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, data);
  if (length < 0) return "#" + Hex(ASN1_STRING_get0_data(data), ASN1_STRING_length(data));
  std::string value(reinterpret_cast<char*>(utf8), length);
  OPENSSL_free(utf8);
  // Values that would read as structure are quoted, an inner quote doubled.
  const bool quote = value.empty() || value.front() == ' ' || value.back() == ' ' ||
                     value.find_first_of(",+=\"\n<>#;") != std::string::npos;
  if (!quote) return value;
  std::string quoted = "\"";
  for (char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// The name with its relative names in reverse order (the most specific first), "A=x, B=y"; the
// attributes of one multi-valued relative name joined by " + ".
std::string NameText(const X509_NAME* name) {
  std::vector<std::vector<std::string>> rdns;
  int lastSet = -1;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const ASN1_OBJECT* object = X509_NAME_ENTRY_get_object(entry);
    std::string key;
    if (const char* known = AttributeName(OBJ_obj2nid(object))) {
      key = known;
    } else {
      char dotted[128];
      OBJ_obj2txt(dotted, sizeof dotted, object, 1);
      key = std::string("OID.") + dotted;
    }
    const int set = X509_NAME_ENTRY_set(entry);
    if (rdns.empty() || set != lastSet) rdns.emplace_back();
    lastSet = set;
    rdns.back().push_back(key + "=" + AttributeValue(entry));
  }
  std::string text;
  for (auto rdn = rdns.rbegin(); rdn != rdns.rend(); ++rdn) {
    if (!text.empty()) text += ", ";
    for (size_t i = 0; i < rdn->size(); ++i) text += (i ? " + " : "") + (*rdn)[i];
  }
  return text;
}

// One end of the validity period, as a local date "2017年03月02日"; empty when unreadable.
std::string LocalDate(const ASN1_TIME* time) {
  std::tm utc{};
  if (!time || ASN1_TIME_to_tm(time, &utc) != 1) return {};
  const time_t instant = timegm(&utc);
  std::tm local{};
  if (!localtime_r(&instant, &local)) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%d年%02d月%02d日", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  return text;
}

}  // namespace

std::u16string SummarizeCertificate(const std::vector<uint8_t>& der) {
  const unsigned char* cursor = der.data();
  X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  if (!certificate) return {};
  tzset();  // the zone may have changed since the last summary
  const std::string summary = SerialText(certificate.get()) + ";" + NameText(X509_get_issuer_name(certificate.get())) +
                              ";" + NameText(X509_get_subject_name(certificate.get())) + ";" +
                              LocalDate(X509_get0_notBefore(certificate.get())) + "到" +
                              LocalDate(X509_get0_notAfter(certificate.get()));
  return Platform::ToUtf16(summary);
}

}  // namespace Kestrilon::UsbKey
