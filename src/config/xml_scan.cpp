#include "config/xml_scan.h"

#include <array>
#include <cstring>

namespace Kestrilon::Config::Detail {
namespace {

constexpr size_t npos = std::string_view::npos;

size_t FindByte(std::string_view text, size_t from, char c) {
  if (from >= text.size()) return npos;
  const void* hit = std::memchr(text.data() + from, c, text.size() - from);
  return hit == nullptr ? npos : static_cast<size_t>(static_cast<const char*>(hit) - text.data());
}

// Byte classes for the scans inside tags.
enum : uint8_t { kPlain = 0, kSpace = 1, kTagClose = 2, kSlash = 4, kEquals = 8, kQuote = 16 };

constexpr std::array<uint8_t, 256> MakeClasses() {
  std::array<uint8_t, 256> classes{};
  classes[' '] = classes['\t'] = classes['\n'] = classes['\r'] = kSpace;
  classes['>'] = kTagClose;
  classes['/'] = kSlash;
  classes['='] = kEquals;
  classes['"'] = classes['\''] = kQuote;
  return classes;
}
constexpr std::array<uint8_t, 256> kClasses = MakeClasses();

inline uint8_t ClassOf(char c) { return kClasses[static_cast<unsigned char>(c)]; }

// A tag name runs from `pos` up to whitespace, '/' or '>'.
size_t NameEnd(std::string_view text, size_t pos) {
  while (pos < text.size() && (ClassOf(text[pos]) & (kSpace | kSlash | kTagClose)) == 0) ++pos;
  return pos;
}

// The '>' that ends a tag, skipping quoted attribute values (a quote right after '=' and optional
// whitespace opens one); npos when the text ends first.
size_t TagEnd(std::string_view text, size_t pos) {
  const char* data = text.data();
  const size_t size = text.size();
  while (pos < size) {
    while (pos < size && (ClassOf(data[pos]) & (kTagClose | kQuote)) == 0) ++pos;
    if (pos >= size) break;
    if (data[pos] == '>') return pos;
    // A quote: it opens a value only when '=' comes before it, whitespace aside.
    size_t back = pos;
    while (back > 0 && ClassOf(data[back - 1]) == kSpace) --back;
    if (back > 0 && data[back - 1] == '=') {
      const size_t close = FindByte(text, pos + 1, data[pos]);
      if (close == npos) return npos;
      pos = close;
    }
    ++pos;
  }
  return npos;
}

ScannedNode Unterminated(const char* type) {
  ScannedNode node;
  node.kind = NodeKind::Unterminated;
  node.unterminatedType = type;
  return node;
}

// A '<' that opens nothing known: reported, and read as text up to the next '<'.
ScannedNode SyntaxError(std::string_view text, size_t pos, const char* word) {
  ScannedNode node;
  node.kind = NodeKind::Text;
  const size_t next = FindByte(text, pos + 1, '<');
  node.end = next == npos ? text.size() : next;
  node.error = word;
  node.errorOffset = pos;
  return node;
}

ScannedNode ScanDocumentType(std::string_view text, size_t pos) {
  ScannedNode node;
  node.kind = NodeKind::DocumentType;
  size_t i = pos + 2;
  while (i < text.size()) {
    const char c = text[i];
    if (c == '>') {
      node.end = i + 1;
      return node;
    }
    if (c == '<' && i + 1 < text.size() && text[i + 1] == '!') {
      if (i + 2 >= text.size()) break;
      const char kind = text[i + 2];
      if (kind == 'A' || kind == 'E' || kind == 'N') {  // ATTLIST, ELEMENT/ENTITY, NOTATION
        const size_t close = FindByte(text, i + 3, '>');
        if (close == npos) break;
        i = close + 1;
        continue;
      }
      if (kind == '-' && i + 3 < text.size() && text[i + 3] == '-') {
        const size_t close = text.find("-->", i + 4);
        if (close == npos) break;
        i = close + 3;
        continue;
      }
      if (node.error == nullptr) {
        node.error = "doctype_tag_syntax";
        node.errorOffset = i;
      }
      i += 2;
      continue;
    }
    ++i;
  }
  ScannedNode open = Unterminated("document_type");
  open.error = node.error;
  open.errorOffset = node.errorOffset;
  return open;
}

ScannedNode ScanExclamation(std::string_view text, size_t pos) {
  if (pos + 2 >= text.size()) return Unterminated("tag");
  const char c = text[pos + 2];
  if (c == '-') {
    if (pos + 3 >= text.size()) return Unterminated("comment");
    if (text[pos + 3] != '-') return SyntaxError(text, pos, "comment_tag_syntax");
    const size_t close = text.find("-->", pos + 4);
    if (close == npos) return Unterminated("comment");
    ScannedNode node;
    node.kind = NodeKind::Comment;
    node.end = close + 3;
    return node;
  }
  if (c == '[') {
    if (pos + 3 >= text.size()) return Unterminated("cdata_section");
    if (text[pos + 3] != 'C') return SyntaxError(text, pos, "cdata_section_syntax");
    const size_t close = text.find("]]>", pos + 4);
    if (close == npos) return Unterminated("cdata_section");
    ScannedNode node;
    node.kind = NodeKind::Cdata;
    node.end = close + 3;
    node.contentEnd = close;
    node.contentStart = pos + 9 < close ? pos + 9 : close;  // "<![CDATA[" is 9 bytes
    return node;
  }
  if (c == 'D') return ScanDocumentType(text, pos);
  return SyntaxError(text, pos, "exclamation_tag_syntax");
}

}  // namespace

ScannedNode ScanNode(std::string_view text, size_t pos) {
  ScannedNode node;
  if (text[pos] != '<') {
    const size_t next = FindByte(text, pos, '<');
    node.end = next == npos ? text.size() : next;
    return node;
  }
  if (pos + 1 >= text.size()) return Unterminated("tag");
  const unsigned char c = static_cast<unsigned char>(text[pos + 1]);
  if (c == '!') return ScanExclamation(text, pos);
  if (c == '?') {
    const size_t close = text.find("?>", pos + 2);
    if (close == npos) return Unterminated("processing_instruction");
    node.kind = NodeKind::ProcessingInstruction;
    node.end = close + 2;
    return node;
  }
  if (c == '/') {
    const size_t nameEnd = NameEnd(text, pos + 2);
    const size_t close = TagEnd(text, nameEnd);
    if (close == npos) return Unterminated("end_tag");
    node.kind = NodeKind::EndTag;
    node.nameLength = nameEnd - (pos + 2);
    node.end = close + 1;
    return node;
  }
  if (c == ':' || c == '_' || (c >= 'A' && c <= 'Z') || c >= 'a') {
    const size_t nameEnd = NameEnd(text, pos + 1);
    const size_t close = TagEnd(text, nameEnd);
    if (close == npos) return Unterminated("start_tag");
    node.kind = NodeKind::StartTag;
    node.nameLength = nameEnd - (pos + 1);
    node.end = close + 1;
    node.emptyElement = text[close - 1] == '/';
    return node;
  }
  return SyntaxError(text, pos, "first_tag_syntax");
}

}  // namespace Kestrilon::Config::Detail
