// Page addresses as the host compares them.
#include <cctype>

#include "ui/window.h"

namespace Kestrilon::UI {
namespace {

// A scheme of two or more characters followed by ':' (one letter before ':' is a drive).
bool IsUrl(std::u16string_view text) {
  size_t colon = text.find(u':');
  if (colon == std::u16string_view::npos || colon < 2) return false;
  auto isAlpha = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); };
  if (!isAlpha(text[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    char16_t c = text[i];
    if (!isAlpha(c) && !(c >= u'0' && c <= u'9') && c != u'+' && c != u'-' && c != u'.') return false;
  }
  return true;
}

// The file URL of an absolute path (a drive path or a Linux path); empty when it is none.
std::u16string FileUrlFromPath(std::u16string_view path) {
  std::u16string slashed(path);
  for (auto& c : slashed) {
    if (c == u'\\') c = u'/';
  }
  std::u16string url;
  if (slashed.size() >= 3 && slashed[1] == u':' && slashed[2] == u'/') {
    url = u"file:///";
  } else if (!slashed.empty() && slashed[0] == u'/') {
    url = u"file://";
  } else {
    return {};
  }
  for (char16_t c : slashed) {
    if (c == u' ') {
      url += u"%20";
    } else if (c == u'%') {
      url += u"%25";
    } else {
      url += c;
    }
  }
  return url;
}

}  // namespace

std::u16string NormalizeUrl(std::u16string_view address) {
  std::u16string text(address.substr(0, address.rfind(u'#')));
  for (auto& c : text) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  }
  if (!IsUrl(text)) {
    std::u16string file = FileUrlFromPath(text);
    if (!file.empty()) text = std::move(file);
  }
  return text;
}

bool SamePageAddress(std::u16string_view current, std::u16string_view target) {
  auto trim = [](std::u16string_view s) {
    if (!s.empty() && s.back() == u'/') s.remove_suffix(1);
    return s;
  };
  return !current.empty() && trim(current) == trim(target);
}

}  // namespace Kestrilon::UI
