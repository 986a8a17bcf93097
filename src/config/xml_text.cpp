// Decoding of attribute values and text: character references, applied on every read.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "config/xml_document.h"
#include "platform/text/text.h"

namespace Kestrilon::Config {
namespace {

int DigitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A numeric reference's code point ("#65", "#x41"), 0 when it is none. A value that is no Unicode
// scalar (a surrogate, or past U+10FFFF) counts as none too, so that decoded text stays valid UTF-8.
char32_t NumericReference(std::string_view body) {
  const bool hex = body.size() >= 2 && (body[1] == 'x' || body[1] == 'X');
  const size_t first = hex ? 2 : 1;
  if (body.size() <= first) return 0;
  uint32_t value = 0;
  for (size_t i = first; i < body.size(); ++i) {
    const int digit = DigitValue(body[i], hex);
    if (digit < 0) return 0;
    value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
    if (value > 0x10FFFF) return 0;  // at most 8 digits, so this cannot wrap first
  }
  if (value >= 0xD800 && value <= 0xDFFF) return 0;
  return value;
}

}  // namespace

void AppendDecodedXmlText(std::string_view raw, std::string& out) {
  size_t pos = 0;
  while (pos < raw.size()) {
    const void* amp = std::memchr(raw.data() + pos, '&', raw.size() - pos);
    if (amp == nullptr) {
      out.append(raw.substr(pos));
      return;
    }
    const size_t at = static_cast<size_t>(static_cast<const char*>(amp) - raw.data());
    out.append(raw.substr(pos, at - pos));
    // Up to 9 bytes before ';'; a byte of 0x80 or above ends the attempt.
    size_t semicolon = 0;
    for (size_t i = at + 1; i < raw.size() && i <= at + 10; ++i) {
      const unsigned char c = static_cast<unsigned char>(raw[i]);
      if (c == ';') {
        semicolon = i;
        break;
      }
      if (c >= 0x80) break;
    }
    char32_t decoded = 0;
    if (semicolon != 0) {
      const std::string_view body = raw.substr(at + 1, semicolon - at - 1);
      decoded = !body.empty() && body[0] == '#' ? NumericReference(body) : LookupNamedReference(body);
    }
    if (decoded == 0) {
      out += '&';
      pos = at + 1;
    } else {
      Platform::AppendUtf8(out, decoded);
      pos = semicolon + 1;
    }
  }
}

std::string DecodeXmlText(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  AppendDecodedXmlText(raw, out);
  return out;
}

}  // namespace Kestrilon::Config
