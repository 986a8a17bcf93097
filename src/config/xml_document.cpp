// XmlDocument: the one-pass parse into the element table, the cursor and the readers.
#include "config/xml_document.h"

#include <cstring>
#include <limits>

#include "config/xml_scan.h"

namespace Kestrilon::Config {

using Detail::IsXmlSpace;
using Detail::NodeKind;
using Detail::ScanNode;
using Detail::ScannedNode;

namespace {

constexpr uint32_t kMaxStartTagLength = (1u << 22) - 1;
constexpr uint32_t kMaxEndTagLength = (1u << 10) - 1;
constexpr size_t kReportLimit = 999;

struct ElementRecord {
  uint32_t start;
  uint32_t length;
  uint32_t startTagLength : 22;
  uint32_t endTagLength : 10;
  uint16_t level;
  uint16_t flags;
  uint32_t parent;
  uint32_t firstChild;
  uint32_t nextSibling;
  uint32_t previousSibling;  // of a first child: the last child of the same parent
};
static_assert(sizeof(ElementRecord) == 32);

}  // namespace

// Records in blocks of 65,536 addressed by the upper and lower 16 bits of their index, so that a record
// never moves once written, however far the table grows.
struct XmlDocument::ElementTable {
  static constexpr uint32_t kBlockShift = 16;
  static constexpr uint32_t kBlockSize = 1u << kBlockShift;

  std::vector<std::unique_ptr<ElementRecord[]>> blocks;
  uint64_t capacity = 0;
  uint32_t count = 0;

  ElementRecord& operator[](uint32_t index) { return blocks[index >> kBlockShift][index & (kBlockSize - 1)]; }
  const ElementRecord& operator[](uint32_t index) const {
    return blocks[index >> kBlockShift][index & (kBlockSize - 1)];
  }

  void Reset(size_t textLength) {
    count = 0;
    capacity = textLength / 64 + 8;
    Cover();
  }

  // Allocates the blocks the capacity reaches into (uninitialised: each record is written when added).
  void Cover() {
    const uint64_t needed = (capacity + kBlockSize - 1) / kBlockSize;
    while (blocks.size() < needed) blocks.push_back(TakeBlock());
  }

  ~ElementTable() {
    if (!blocks.empty() && !SpareBlock()) SpareBlock() = std::move(blocks.front());
  }

  // Most documents fit one block; the thread keeps the last one freed so that parsing many small
  // documents does not allocate (and release) 2 MiB each time.
  static std::unique_ptr<ElementRecord[]>& SpareBlock() {
    thread_local std::unique_ptr<ElementRecord[]> spare;
    return spare;
  }
  static std::unique_ptr<ElementRecord[]> TakeBlock() {
    if (SpareBlock()) return std::move(SpareBlock());
    return std::make_unique_for_overwrite<ElementRecord[]>(kBlockSize);
  }

  uint32_t Add() {
    if (count == capacity) {
      capacity += capacity / 2;
      if (capacity > uint64_t{1} << 32) capacity = uint64_t{1} << 32;
      Cover();
    }
    const uint32_t index = count++;
    ElementRecord& record = (*this)[index];
    std::memset(&record, 0, sizeof record);
    return index;
  }
};

namespace {

using Table = XmlDocument::ElementTable;

class Report {
 public:
  explicit Report(std::string& text) : text_(text) {}

  void Add(const char* word, std::initializer_list<std::pair<const char*, std::string_view>> attributes) {
    if (text_.size() > kReportLimit) return;
    text_ += '<';
    text_ += word;
    for (const auto& [name, value] : attributes) {
      text_ += ' ';
      text_ += name;
      text_ += "=\"";
      AppendEscaped(value);
      text_ += '"';
    }
    text_ += "/>";
  }

 private:
  void AppendEscaped(std::string_view value) {
    // A long tag name is cut, so that one entry cannot make the report large.
    constexpr size_t kLongestValue = 64;
    if (value.size() > kLongestValue) value = value.substr(0, kLongestValue);
    for (char c : value) {
      switch (c) {
        case '&': text_ += "&amp;"; break;
        case '<': text_ += "&lt;"; break;
        case '>': text_ += "&gt;"; break;
        case '"': text_ += "&quot;"; break;
        default: text_ += c;
      }
    }
  }

  std::string& text_;
};

std::string Number(size_t value) { return std::to_string(value); }

// One pass over the text that builds the element table.
class Parser {
 public:
  Parser(std::string_view text, Table& table, Report& report) : text_(text), table_(table), report_(report) {}

  bool Run() {
    table_.Reset(text_.size());
    const uint32_t document = table_.Add();
    table_[document].length = static_cast<uint32_t>(text_.size());
    if (text_.empty()) return false;  // an empty text: no root, nothing reported

    size_t pos = 0;
    while (pos < text_.size()) {
      const ScannedNode node = ScanNode(text_, pos);
      if (node.error != nullptr) Problem(node.error, {{"offset", Number(node.errorOffset)}});
      if (node.kind == NodeKind::Unterminated) {
        Problem("unterminated_tag_syntax", {{"type", node.unterminatedType}, {"offset", Number(pos)}});
        break;
      }
      if (node.kind == NodeKind::StartTag) {
        StartTag(pos, node);
      } else if (node.kind == NodeKind::EndTag) {
        EndTag(pos, node);
      }
      pos = node.end;
    }
    if (!open_.empty()) CloseOff(0, text_.size());

    const ElementRecord& root = table_[0];
    if (root.firstChild == 0) {
      Problem("no_root_element", {});
    } else if (table_[root.firstChild].nextSibling != 0) {
      Problem("root_has_sibling", {});
    }
    return !illFormed_ && root.firstChild != 0 && table_[root.firstChild].nextSibling == 0;
  }

 private:
  struct OpenElement {
    uint32_t index;
    uint32_t nameLength;
  };

  void Problem(const char* word, std::initializer_list<std::pair<const char*, std::string_view>> attributes) {
    if (std::strcmp(word, "root_has_sibling") != 0 && std::strcmp(word, "no_root_element") != 0) {
      illFormed_ = true;
      table_[0].flags |= kDocumentIllFormed;
    }
    report_.Add(word, attributes);
  }

  uint32_t Innermost() const { return open_.empty() ? 0 : open_.back().index; }

  void AppendChild(uint32_t parent, uint32_t child) {
    ElementRecord& record = table_[child];
    ElementRecord& owner = table_[parent];
    record.parent = parent;
    if (owner.firstChild == 0) {
      owner.firstChild = child;
      record.flags |= kElementFirstChild;
      record.previousSibling = child;
    } else {
      ElementRecord& first = table_[owner.firstChild];
      const uint32_t last = first.previousSibling;
      table_[last].nextSibling = child;
      record.previousSibling = last;
      first.previousSibling = child;
    }
  }

  // A tag longer than its record field can hold would leave the record pointing into the wrong bytes.
  bool Fits(size_t length, uint32_t limit, size_t pos) {
    if (length <= limit) return true;
    Problem("tag_too_long", {{"offset", Number(pos)}});
    return false;
  }

  void StartTag(size_t pos, const ScannedNode& node) {
    const size_t tagLength = node.end - pos;
    const uint32_t parent = Innermost();
    const uint32_t index = table_.Add();
    ElementRecord& record = table_[index];
    record.start = static_cast<uint32_t>(pos);
    record.length = static_cast<uint32_t>(tagLength);
    record.startTagLength = Fits(tagLength, kMaxStartTagLength, pos) ? tagLength : kMaxStartTagLength;
    const size_t depth = open_.size() + 1;
    record.level = static_cast<uint16_t>(depth < 0xFFFF ? depth : 0xFFFF);
    AppendChild(parent, index);
    if (node.emptyElement) {
      table_[index].flags |= kElementEmptyTag;
    } else {
      open_.push_back({index, static_cast<uint32_t>(node.nameLength)});
    }
  }

  std::string_view OpenName(const OpenElement& element) const {
    return text_.substr(table_[element.index].start + 1, element.nameLength);
  }

  void EndTag(size_t pos, const ScannedNode& node) {
    const std::string_view name = text_.substr(pos + 2, node.nameLength);
    size_t match = open_.size();
    while (match > 0 && OpenName(open_[match - 1]) != name) --match;
    if (match == 0) {
      Problem("lone_end_tag", {{"tagname", name}, {"offset", Number(pos)}});
      return;
    }
    CloseOff(match, pos);
    ElementRecord& record = table_[open_[match - 1].index];
    record.length = static_cast<uint32_t>(node.end - record.start);
    const size_t endLength = node.end - pos;
    record.endTagLength = Fits(endLength, kMaxEndTagLength, pos) ? endLength : kMaxEndTagLength;
    open_.resize(match - 1);
  }

  // Marks the open elements from stack position `from` inward as never closed. Going outermost first,
  // each one's children move up to follow it under its parent; so every element moves at most once.
  void CloseOff(size_t from, size_t closedAt) {
    for (size_t k = from; k < open_.size(); ++k) {
      const uint32_t index = open_[k].index;
      ElementRecord& record = table_[index];
      record.flags |= kElementNeverClosed;
      record.length = record.startTagLength;
      Problem("unended_start_tag", {{"tagname", OpenName(open_[k])},
                                    {"offset", Number(record.start)},
                                    {"offset2", Number(closedAt)}});
      MoveChildrenUp(index);
    }
    open_.resize(from);
  }

  // `index` is the last child of its parent (it is still open), so its children append after it.
  void MoveChildrenUp(uint32_t index) {
    ElementRecord& record = table_[index];
    const uint32_t first = record.firstChild;
    if (first == 0) return;
    const uint32_t parent = record.parent;
    const uint32_t last = table_[first].previousSibling;
    for (uint32_t child = first; child != 0; child = table_[child].nextSibling) table_[child].parent = parent;
    table_[first].flags &= static_cast<uint16_t>(~kElementFirstChild);
    table_[first].previousSibling = index;
    record.nextSibling = first;
    record.firstChild = 0;
    table_[table_[parent].firstChild].previousSibling = last;
  }

  std::string_view text_;
  Table& table_;
  Report& report_;
  std::vector<OpenElement> open_;
  bool illFormed_ = false;
};

// The attributes of a start tag, one at a time in document order.
class AttributeScanner {
 public:
  // `tag` is the whole start tag, from '<' to '>'.
  // `resumeAt` (when not 0) is a Position() of an earlier scan of the same tag.
  explicit AttributeScanner(std::string_view tag, size_t resumeAt = 0) {
    size_t end = tag.size();
    if (end > 0 && tag[end - 1] == '>') --end;
    tag_ = tag.substr(0, end);
    pos_ = resumeAt;
    if (pos_ == 0) {
      pos_ = 1;
      while (pos_ < end && tag[pos_] != '/' && !IsXmlSpace(tag[pos_])) ++pos_;
    }
  }

  size_t Position() const { return pos_; }

  bool Next(std::string_view& name, std::string_view& rawValue) {
    for (;;) {
      while (pos_ < tag_.size() && IsXmlSpace(tag_[pos_])) ++pos_;
      if (pos_ >= tag_.size()) return false;
      const size_t nameStart = pos_;
      while (pos_ < tag_.size() && !IsNameEnd(tag_[pos_])) ++pos_;
      if (pos_ == nameStart) {  // a stray '/', '=', '?' or '>'
        ++pos_;
        continue;
      }
      name = tag_.substr(nameStart, pos_ - nameStart);
      rawValue = {};
      size_t look = pos_;
      while (look < tag_.size() && IsXmlSpace(tag_[look])) ++look;
      if (look >= tag_.size() || tag_[look] != '=') return true;  // a name without a value
      pos_ = look + 1;
      while (pos_ < tag_.size() && IsXmlSpace(tag_[pos_])) ++pos_;
      if (pos_ < tag_.size() && (tag_[pos_] == '"' || tag_[pos_] == '\'')) {
        const char quote = tag_[pos_];
        const size_t valueStart = pos_ + 1;
        size_t close = tag_.find(quote, valueStart);
        if (close == std::string_view::npos) close = tag_.size();
        rawValue = tag_.substr(valueStart, close - valueStart);
        pos_ = close + 1;
      } else {
        const size_t valueStart = pos_;
        while (pos_ < tag_.size() && !IsXmlSpace(tag_[pos_]) && tag_[pos_] != '>') ++pos_;
        rawValue = tag_.substr(valueStart, pos_ - valueStart);
      }
      return true;
    }
  }

 private:
  static bool IsNameEnd(char c) { return IsXmlSpace(c) || c == '/' || c == '=' || c == '>' || c == '?'; }

  std::string_view tag_;
  size_t pos_ = 0;
};

bool IsWhitespaceOnly(std::string_view text) {
  for (char c : text)
    if (!IsXmlSpace(c)) return false;
  return true;
}

}  // namespace

XmlDocument::XmlDocument() : table_(std::make_unique<ElementTable>()) {
  table_->Reset(0);
  table_->Add();  // record 0, the document, with nothing in it
}

XmlDocument::~XmlDocument() = default;

bool XmlDocument::Parse(std::string text) {
  text_ = std::move(text);
  attributeScan_ = {};
  report_.clear();
  parent_ = current_ = child_ = 0;
  if (text_.size() > std::numeric_limits<uint32_t>::max()) {
    // Offsets are 32-bit: a larger text cannot be indexed.
    text_.clear();
    table_->Reset(0);
    table_->Add();
    (*table_)[0].flags |= kDocumentIllFormed;
    Report(report_).Add("document_too_large", {});
    return false;
  }
  Report report(report_);
  return Parser(text_, *table_, report).Run();
}

bool XmlDocument::FindElement(std::string_view name) {
  const ElementTable& table = *table_;
  uint32_t candidate = current_ != 0 ? table[current_].nextSibling : table[parent_].firstChild;
  for (; candidate != 0; candidate = table[candidate].nextSibling) {
    const ElementRecord& record = table[candidate];
    if (!name.empty()) {
      // The tag name must match over its whole length and `name` must end right there.
      const std::string_view tag(text_.data() + record.start + 1, record.startTagLength - 1);
      if (tag.size() < name.size() || tag.compare(0, name.size(), name) != 0) continue;
      if (tag.size() > name.size()) {
        const char after = tag[name.size()];
        if (after != '>' && after != '/' && !IsXmlSpace(after)) continue;
      }
    }
    current_ = candidate;
    child_ = 0;
    return true;
  }
  return false;
}

bool XmlDocument::EnterElement() {
  if (current_ == 0) return false;
  parent_ = current_;
  current_ = child_;
  child_ = 0;
  return true;
}

bool XmlDocument::LeaveElement() {
  if (parent_ == 0) return false;
  child_ = current_;
  current_ = parent_;
  parent_ = (*table_)[parent_].parent;
  return true;
}

void XmlDocument::ResetSiblingScan() {
  current_ = 0;
  child_ = 0;
}

std::string XmlDocument::GetAttribute(std::string_view name) const {
  if (current_ == 0) return {};
  const ElementRecord& record = (*table_)[current_];
  AttributeScanner scanner(std::string_view(text_).substr(record.start, record.startTagLength));
  std::string_view attributeName;
  std::string_view rawValue;
  while (scanner.Next(attributeName, rawValue))
    if (attributeName == name) return DecodeXmlText(rawValue);
  return {};
}

bool XmlDocument::GetAttributeAt(uint32_t index, std::string& name, std::string& value) const {
  if (current_ == 0) return false;
  const ElementRecord& record = (*table_)[current_];
  // Reading attributes 0, 1, 2, ... in turn goes on from where the last one ended.
  const bool resume = attributeScan_.element == current_ && attributeScan_.next <= index;
  AttributeScanner scanner(std::string_view(text_).substr(record.start, record.startTagLength),
                           resume ? attributeScan_.offset : 0);
  uint32_t next = resume ? attributeScan_.next : 0;
  std::string_view attributeName;
  std::string_view rawValue;
  for (; scanner.Next(attributeName, rawValue); ++next) {
    if (next == index) {
      name.assign(attributeName);
      value.clear();
      AppendDecodedXmlText(rawValue, value);
      attributeScan_ = {current_, index + 1, scanner.Position()};
      return true;
    }
  }
  return false;
}

std::string XmlDocument::GetText() const {
  if (current_ == 0) return {};
  const ElementRecord& record = (*table_)[current_];
  if ((record.flags & kElementEmptyTag) != 0 || record.firstChild != 0) return {};
  const size_t contentStart = record.start + record.startTagLength;
  const size_t contentEnd = record.start + record.length - record.endTagLength;
  if (contentEnd <= contentStart) return {};
  const std::string_view content = std::string_view(text_).substr(contentStart, contentEnd - contentStart);
  if (content.find('<') == std::string_view::npos) return DecodeXmlText(content);

  std::string out;
  size_t pos = 0;
  while (pos < content.size()) {
    const ScannedNode node = ScanNode(content, pos);
    if (node.kind == NodeKind::Unterminated) break;
    if (node.kind == NodeKind::Text) {
      const std::string_view text = content.substr(pos, node.end - pos);
      if (!IsWhitespaceOnly(text)) AppendDecodedXmlText(text, out);
    } else if (node.kind == NodeKind::Cdata) {
      out.append(content.substr(node.contentStart, node.contentEnd - node.contentStart));
    }
    pos = node.end;
  }
  return out;
}

bool XmlDocument::CurrentElement(XmlElementInfo& info) const {
  if (current_ == 0) return false;
  const ElementRecord& record = (*table_)[current_];
  info.start = record.start;
  info.length = record.length;
  info.startTagLength = record.startTagLength;
  info.endTagLength = record.endTagLength;
  info.level = record.level;
  info.flags = record.flags;
  return true;
}

std::string_view XmlDocument::CurrentName() const {
  if (current_ == 0) return {};
  const ElementRecord& record = (*table_)[current_];
  size_t end = record.start + 1;
  const size_t tagEnd = record.start + record.startTagLength;
  while (end < tagEnd && text_[end] != '>' && text_[end] != '/' && !IsXmlSpace(text_[end])) ++end;
  return std::string_view(text_).substr(record.start + 1, end - record.start - 1);
}

}  // namespace Kestrilon::Config
