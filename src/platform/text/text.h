#pragma once
// Text conversion between the UTF-16 of the platform and script boundaries and the UTF-8 used inside.
// Conversions always use UTF-8 (code page 65001), never a locale's code page. Invalid sequences become
// U+FFFD, so a conversion never fails.
#include <string>
#include <string_view>

namespace Kestrilon::Platform {

std::string ToUtf8(std::u16string_view text);
std::u16string ToUtf16(std::string_view utf8);
// Appends one code point (at most U+10FFFF, no surrogate) as UTF-8.
void AppendUtf8(std::string& out, char32_t c);

// ASCII-only case folding, as the registry and Windows paths compare names (good enough for the
// names the program uses; non-ASCII letters are compared exactly).
char16_t AsciiLower(char16_t c);
std::u16string AsciiLower(std::u16string_view text);
std::string AsciiLower(std::string_view text);
bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace Kestrilon::Platform
