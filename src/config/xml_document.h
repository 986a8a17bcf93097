#pragma once
// XmlDocument: a small, forgiving XML reader over one byte string.
//
// Parse indexes every element in one pass as a record of offsets into the text (nothing is copied into
// a node tree); a cursor then walks the tree. Attribute values and text are decoded when read: named
// character references (case-insensitive), numeric references written as UTF-8, and a `&` that starts
// no reference kept as it is. Names are compared byte for byte. Parse never throws: problems go into a
// short report (itself XML, one empty element per problem) and make the answer no.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Kestrilon::Config {

// Flags of an element record.
inline constexpr uint16_t kElementFirstChild = 0x0001;    // first child of its parent
inline constexpr uint16_t kElementEmptyTag = 0x0002;      // written as <name .../>
inline constexpr uint16_t kElementNeverClosed = 0x0004;   // no matching end tag; cut to its start tag
inline constexpr uint16_t kDocumentIllFormed = 0x0008;    // kept on record 0 for the whole document

// What a caller may see of the current element's record.
struct XmlElementInfo {
  uint32_t start = 0;           // offset of its '<'
  uint32_t length = 0;          // start tag to end tag's '>' (the start tag alone when empty or unclosed)
  uint32_t startTagLength = 0;
  uint32_t endTagLength = 0;    // 0 when there is none
  uint16_t level = 0;           // nesting depth at which the start tag was read (1 for top level)
  uint16_t flags = 0;
};

class XmlDocument {
 public:
  XmlDocument();
  ~XmlDocument();
  XmlDocument(const XmlDocument&) = delete;
  XmlDocument& operator=(const XmlDocument&) = delete;

  // Replaces the text, clears the report, rebuilds the element table and puts the cursor at the top.
  // Answers whether the document is well-formed: no problem found and exactly one top-level element.
  // The element table is usable either way.
  bool Parse(std::string text);

  // Moves to the next sibling element named `name` (any element when empty): after the current element,
  // or from the parent's first child when there is no current one. On no match the cursor stays.
  bool FindElement(std::string_view name);
  // Steps into the current element (refused when there is none) and out of the parent (refused at top).
  bool EnterElement();
  bool LeaveElement();
  // The next FindElement starts again at the parent's first child.
  void ResetSiblingScan();

  // Decoded value of an attribute of the current element's start tag; empty when missing.
  std::string GetAttribute(std::string_view name) const;
  // The n-th attribute (from 0) in document order; false past the last or without a current element.
  bool GetAttributeAt(uint32_t index, std::string& name, std::string& value) const;
  // Decoded text of the current element; empty for an empty-element tag or one with child elements.
  // Mixed content joins text nodes and CDATA contents, skipping comments, processing instructions and
  // whitespace-only text.
  std::string GetText() const;

  // The problems recorded by the last parse.
  const std::string& GetReport() const { return report_; }

  // The current element's record; false when the cursor is on no element.
  bool CurrentElement(XmlElementInfo& info) const;
  // The current element's tag name (raw bytes); empty when there is none.
  std::string_view CurrentName() const;

  struct ElementTable;  // private to the reader

 private:
  std::string text_;
  std::string report_;
  std::unique_ptr<ElementTable> table_;
  uint32_t parent_ = 0;
  uint32_t current_ = 0;
  uint32_t child_ = 0;
  // Where the last GetAttributeAt stopped, so that reading the attributes in turn scans the tag once.
  struct AttributeScan {
    uint32_t element = 0;
    uint32_t next = 0;
    size_t offset = 0;
  };
  mutable AttributeScan attributeScan_;
};

// The decoding applied to attribute values and text.
std::string DecodeXmlText(std::string_view raw);
void AppendDecodedXmlText(std::string_view raw, std::string& out);

// The named character reference `name` (as written, without '&' and ';'), or 0 when it names none.
// Lookup ignores case; where two names differ only in case the one written exactly wins, else the
// capitalised one.
char32_t LookupNamedReference(std::string_view name);

}  // namespace Kestrilon::Config
