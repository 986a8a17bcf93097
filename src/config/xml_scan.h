#pragma once
// Cutting XML text into nodes; shared by the parse and by the reading of mixed content.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Kestrilon::Config::Detail {

enum class NodeKind : uint8_t {
  Text,
  StartTag,
  EndTag,
  Cdata,
  ProcessingInstruction,
  Comment,
  DocumentType,
  Unterminated,  // the text ended inside the node
};

struct ScannedNode {
  NodeKind kind = NodeKind::Text;
  size_t end = 0;              // one past the node's last byte
  size_t nameLength = 0;       // start and end tags: the tag name after "<" or "</"
  size_t contentStart = 0;     // CDATA: its content
  size_t contentEnd = 0;
  bool emptyElement = false;   // start tag written as <name/>
  const char* error = nullptr;         // report word of a syntax problem, if any
  size_t errorOffset = 0;
  const char* unterminatedType = nullptr;  // for Unterminated: the kind of node
};

inline bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The node that starts at `pos` (pos < text.size()).
ScannedNode ScanNode(std::string_view text, size_t pos);

}  // namespace Kestrilon::Config::Detail
