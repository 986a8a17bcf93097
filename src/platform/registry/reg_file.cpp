#include "platform/registry/reg_file.h"

#include <algorithm>
#include <cstdio>

#include "platform/text/text.h"

namespace Kestrilon::Platform {

namespace {

constexpr std::u16string_view kVersion5Header = u"Windows Registry Editor Version 5.00";
constexpr std::u16string_view kRegedit4Header = u"REGEDIT4";
// Hex data lines are wrapped so that no line passes this column before its trailing backslash.
constexpr size_t kHexLineWidth = 77;

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  return s;
}

std::u16string_view TrimRight(std::u16string_view s) {
  while (!s.empty() && (IsSpace(s.back()) || s.back() == u'\r' || s.back() == u'\0')) s.remove_suffix(1);
  return s;
}

int HexDigit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool StartsWithIgnoreCase(std::u16string_view s, std::u16string_view prefix) {
  return s.size() >= prefix.size() && EqualsIgnoreCase(s.substr(0, prefix.size()), prefix);
}

// The file as UTF-16 text: a UTF-16LE byte-order mark selects UTF-16LE, else UTF-8 (with or without mark).
std::u16string DecodeText(const uint8_t* data, size_t size) {
  if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
    std::u16string text;
    text.reserve(size / 2);
    for (size_t i = 2; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | data[i + 1] << 8);
    return text;
  }
  if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) {
    data += 3;
    size -= 3;
  }
  return ToUtf16(std::string_view(reinterpret_cast<const char*>(data), size));
}

std::vector<std::u16string_view> SplitLines(std::u16string_view text) {
  std::vector<std::u16string_view> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(u'\n', start);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// A quoted text starting at s[pos] == '"'; \\ and \" are escapes. On success pos is past the closing quote.
bool ParseQuoted(std::u16string_view s, size_t& pos, std::u16string& out) {
  out.clear();
  for (size_t i = pos + 1; i < s.size(); ++i) {
    char16_t c = s[i];
    if (c == u'\\' && i + 1 < s.size() && (s[i + 1] == u'\\' || s[i + 1] == u'"')) {
      out += s[++i];
    } else if (c == u'"') {
      pos = i + 1;
      return true;
    } else {
      out += c;
    }
  }
  return false;
}

std::vector<uint8_t> Utf16Le(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() * 2);
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

// Text kinds that REGEDIT4 writes as 8-bit text in hex form.
bool IsTextKind(uint32_t type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

bool ParseHexBytes(std::u16string_view s, std::vector<uint8_t>& out) {
  out.clear();
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsSpace(s[i])) ++i;
    if (i == s.size()) break;
    int high = HexDigit(s[i]);
    if (high < 0) return false;
    int value = high;
    ++i;
    if (i < s.size() && HexDigit(s[i]) >= 0) value = value * 16 + HexDigit(s[i++]);
    out.push_back(static_cast<uint8_t>(value));
    while (i < s.size() && IsSpace(s[i])) ++i;
    if (i < s.size()) {
      if (s[i] != u',') return false;
      ++i;
    }
  }
  return true;
}

class Parser {
 public:
  explicit Parser(RegFile& file) : file_(file) {}

  bool Run(std::u16string_view text, std::string* error) {
    std::vector<std::u16string_view> lines = SplitLines(text);
    size_t index = 0;
    while (index < lines.size() && TrimRight(TrimLeft(lines[index])).empty()) ++index;
    if (index == lines.size()) return Fail(error, "the file is empty");
    std::u16string_view header = TrimRight(TrimLeft(lines[index]));
    if (header == kVersion5Header) {
      file_.format = RegFileFormat::Version5;
    } else if (header == kRegedit4Header) {
      file_.format = RegFileFormat::Regedit4;
    } else {
      return Fail(error, "not a registry file (the first line is neither \"Windows Registry Editor Version 5.00\""
                         " nor \"REGEDIT4\")");
    }
    for (++index; index < lines.size(); ++index) {
      lineNumber_ = index + 1;
      std::u16string_view line = TrimLeft(lines[index]);
      if (TrimRight(line).empty() || line.front() == u';') continue;
      if (line.front() == u'[') {
        KeyLine(TrimRight(line));
        continue;
      }
      if (line.front() != u'"' && line.front() != u'@') {
        Problem("not a key or a value");
        continue;
      }
      // Hex data may continue on the following lines after a trailing backslash.
      std::u16string joined(TrimRight(line));
      while (!joined.empty() && joined.back() == u'\\' && IsHexContinuation(joined) && index + 1 < lines.size()) {
        joined.pop_back();
        joined += TrimRight(TrimLeft(lines[++index]));
      }
      ValueLine(joined);
    }
    return true;
  }

 private:
  static bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
  }

  void Problem(const std::string& what) { file_.problems.push_back("line " + std::to_string(lineNumber_) + ": " + what); }

  // A value line whose data is hex: only those continue onto the next line.
  static bool IsHexContinuation(std::u16string_view line) {
    size_t pos = 0;
    std::u16string name;
    if (line.front() == u'@') {
      pos = 1;
    } else if (!ParseQuoted(line, pos, name)) {
      return false;
    }
    std::u16string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != u'=') return false;
    return StartsWithIgnoreCase(TrimLeft(rest.substr(1)), u"hex");
  }

  void KeyLine(std::u16string_view line) {
    current_ = nullptr;
    size_t close = line.rfind(u']');
    if (close == std::u16string_view::npos || close == 0) return Problem("a key line without ']'");
    std::u16string_view name = line.substr(1, close - 1);
    bool remove = !name.empty() && name.front() == u'-';
    if (remove) name.remove_prefix(1);
    RegistryRoot root;
    std::u16string path;
    if (name.empty() || !SplitRegistryName(name, root, path)) return Problem("not a registry key name");
    file_.keys.push_back({std::u16string(name), remove, {}});
    if (!remove) current_ = &file_.keys.back();
  }

  void ValueLine(std::u16string_view line) {
    if (!current_) return Problem("a value outside a key");
    RegFileValue value;
    size_t pos = 0;
    if (line.front() == u'@') {
      pos = 1;
    } else if (!ParseQuoted(line, pos, value.name)) {
      return Problem("a value name without its closing quote");
    }
    std::u16string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != u'=') return Problem("a value without '='");
    rest = TrimRight(TrimLeft(rest.substr(1)));
    if (!ParseData(rest, value)) return;
    current_->values.push_back(std::move(value));
  }

  bool ParseData(std::u16string_view data, RegFileValue& value) {
    if (data == u"-") {
      value.remove = true;
      return true;
    }
    if (!data.empty() && data.front() == u'"') {
      size_t pos = 0;
      std::u16string text;
      if (!ParseQuoted(data, pos, text) || !TrimLeft(data.substr(pos)).empty()) {
        Problem("a text value without its closing quote");
        return false;
      }
      value.type = REG_SZ;
      value.data = EncodeRegString(text);
      return true;
    }
    if (StartsWithIgnoreCase(data, u"dword:")) {
      std::u16string_view digits = data.substr(6);
      uint32_t number = 0;
      if (digits.empty() || digits.size() > 8 ||
          !std::all_of(digits.begin(), digits.end(), [](char16_t c) { return HexDigit(c) >= 0; })) {
        Problem("a dword that is not 1 to 8 hexadecimal digits");
        return false;
      }
      for (char16_t c : digits) number = number << 4 | static_cast<uint32_t>(HexDigit(c));
      value.type = REG_DWORD;
      value.data = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                    static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
      return true;
    }
    if (StartsWithIgnoreCase(data, u"hex")) {
      std::u16string_view rest = data.substr(3);
      uint32_t type = REG_BINARY;
      if (!rest.empty() && rest.front() == u'(') {
        size_t close = rest.find(u')');
        std::u16string_view digits = rest.substr(1, close == std::u16string_view::npos ? 0 : close - 1);
        if (close == std::u16string_view::npos || digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(), [](char16_t c) { return HexDigit(c) >= 0; })) {
          Problem("a hex(kind) without a hexadecimal kind");
          return false;
        }
        type = 0;
        for (char16_t c : digits) type = type << 4 | static_cast<uint32_t>(HexDigit(c));
        rest = rest.substr(close + 1);
      }
      if (rest.empty() || rest.front() != u':') {
        Problem("hex data without ':'");
        return false;
      }
      if (!ParseHexBytes(rest.substr(1), value.data)) {
        Problem("hex data that are not comma-separated bytes");
        return false;
      }
      if (file_.format == RegFileFormat::Regedit4 && IsTextKind(type)) {
        // 8-bit text; stored as the registry keeps text, in UTF-16LE.
        value.data = Utf16Le(ToUtf16(std::string_view(reinterpret_cast<const char*>(value.data.data()), value.data.size())));
      }
      value.type = type;
      return true;
    }
    Problem("data of an unknown form");
    return false;
  }

  RegFile& file_;
  RegFileKey* current_ = nullptr;  // null after a deleted or unreadable key: its values are skipped
  size_t lineNumber_ = 0;
};

std::u16string Escape(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() + 2);
  for (char16_t c : text) {
    if (c == u'\\' || c == u'"') out += u'\\';
    out += c;
  }
  return out;
}

// REG_SZ data the editor writes as "text": UTF-16LE ending in its only null.
bool IsPlainString(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2) return false;
  for (size_t i = 0; i + 2 < data.size(); i += 2)
    if (data[i] == 0 && data[i + 1] == 0) return false;
  return data[data.size() - 2] == 0 && data[data.size() - 1] == 0;
}

void AppendHex(std::u16string& out, size_t lineStart, std::u16string_view prefix, const std::vector<uint8_t>& bytes) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  out += prefix;
  size_t column = out.size() - lineStart;
  for (size_t i = 0; i < bytes.size(); ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 0xF];
    column += 2;
    if (i + 1 == bytes.size()) break;
    out += u',';
    ++column;
    if (column + 3 > kHexLineWidth) {
      out += u"\\\r\n  ";
      column = 2;
    }
  }
}

void FormatValue(std::u16string& out, const RegFileValue& value, RegFileFormat format) {
  size_t lineStart = out.size();
  out += value.name.empty() ? std::u16string(u"@") : u"\"" + Escape(value.name) + u"\"";
  out += u'=';
  if (value.remove) {
    out += u'-';
  } else if (value.type == REG_SZ && IsPlainString(value.data)) {
    out += u"\"" + Escape(DecodeRegString(value.data.data(), value.data.size())) + u"\"";
  } else if (value.type == REG_DWORD && value.data.size() == 4) {
    uint32_t number = static_cast<uint32_t>(value.data[0]) | static_cast<uint32_t>(value.data[1]) << 8 |
                      static_cast<uint32_t>(value.data[2]) << 16 | static_cast<uint32_t>(value.data[3]) << 24;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
    out += ToUtf16(buffer);
  } else {
    std::vector<uint8_t> bytes = value.data;
    if (format == RegFileFormat::Regedit4 && IsTextKind(value.type)) {
      std::u16string text;
      for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
      std::string eightBit = ToUtf8(text);
      bytes.assign(eightBit.begin(), eightBit.end());
    }
    std::u16string prefix = u"hex:";
    if (value.type != REG_BINARY) {
      char buffer[24];
      std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
      prefix = ToUtf16(buffer);
    }
    AppendHex(out, lineStart, prefix, bytes);
  }
  out += u"\r\n";
}

}  // namespace

bool SplitRegistryName(std::u16string_view fullName, RegistryRoot& root, std::u16string& path) {
  size_t slash = fullName.find(u'\\');
  std::u16string_view rootName = fullName.substr(0, slash);
  static const std::pair<std::u16string_view, RegistryRoot> kRoots[] = {
      {u"HKLM", RegistryRoot::LocalMachine},  {u"HKEY_LOCAL_MACHINE", RegistryRoot::LocalMachine},
      {u"HKCU", RegistryRoot::CurrentUser},   {u"HKEY_CURRENT_USER", RegistryRoot::CurrentUser},
      {u"HKCR", RegistryRoot::ClassesRoot},   {u"HKEY_CLASSES_ROOT", RegistryRoot::ClassesRoot},
      {u"HKU", RegistryRoot::Users},          {u"HKEY_USERS", RegistryRoot::Users},
  };
  for (const auto& [name, value] : kRoots) {
    if (EqualsIgnoreCase(rootName, name)) {
      root = value;
      path = slash == std::u16string_view::npos ? std::u16string() : std::u16string(fullName.substr(slash + 1));
      return true;
    }
  }
  return false;
}

bool ParseRegFile(const uint8_t* data, size_t size, RegFile& file, std::string* error) {
  file = RegFile();
  return Parser(file).Run(DecodeText(data, size), error);
}

std::u16string FormatRegFile(const RegFile& file) {
  std::u16string out(file.format == RegFileFormat::Version5 ? kVersion5Header : kRegedit4Header);
  out += u"\r\n\r\n";
  for (const RegFileKey& key : file.keys) {
    out += key.remove ? u"[-" : u"[";
    out += key.name;
    out += u"]\r\n";
    for (const RegFileValue& value : key.values) FormatValue(out, value, file.format);
    out += u"\r\n";
  }
  return out;
}

std::vector<uint8_t> EncodeRegFile(const RegFile& file, bool utf16) {
  std::u16string text = FormatRegFile(file);
  if (file.format == RegFileFormat::Version5 && utf16) {
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
    std::vector<uint8_t> body = Utf16Le(text);
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
  }
  std::string utf8 = ToUtf8(text);
  return std::vector<uint8_t>(utf8.begin(), utf8.end());
}

int32_t ImportRegFile(const RegFile& file, uint32_t view) {
  int32_t first = ERROR_SUCCESS;
  auto note = [&first](int32_t result) {
    if (result != ERROR_SUCCESS && first == ERROR_SUCCESS) first = result;
  };
  for (const RegFileKey& entry : file.keys) {
    RegistryRoot root;
    std::u16string path;
    if (!SplitRegistryName(entry.name, root, path)) {
      note(ERROR_INVALID_PARAMETER);
      continue;
    }
    if (entry.remove) {
      size_t slash = path.rfind(u'\\');
      std::u16string parentPath = slash == std::u16string::npos ? std::u16string() : path.substr(0, slash);
      std::u16string leaf = slash == std::u16string::npos ? path : path.substr(slash + 1);
      if (leaf.empty()) {
        note(ERROR_ACCESS_DENIED);  // a root cannot be deleted
        continue;
      }
      RegistryKey parent;
      int32_t result = RegistryKey::Open(root, parentPath, KEY_ALL_ACCESS | view, parent);
      if (result == ERROR_SUCCESS) result = parent.DeleteTree(leaf);
      if (result != ERROR_FILE_NOT_FOUND) note(result);
      continue;
    }
    RegistryKey key;
    int32_t result = RegistryKey::Create(root, path, KEY_ALL_ACCESS | view, key);
    if (result != ERROR_SUCCESS) {
      note(result);
      continue;
    }
    for (const RegFileValue& value : entry.values) {
      if (value.remove) {
        int32_t removed = key.DeleteValue(value.name);
        if (removed != ERROR_FILE_NOT_FOUND) note(removed);
      } else {
        note(key.SetValue(value.name, value.type, value.data.data(), static_cast<uint32_t>(value.data.size())));
      }
    }
  }
  return first;
}

namespace {

int32_t ExportKey(const RegistryKey& key, const std::u16string& name, RegFile& file) {
  RegFileKey entry{name, false, {}};
  for (uint32_t index = 0;; ++index) {
    RegFileValue value;
    int32_t result = key.EnumValue(index, value.name, &value.type, &value.data);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return result;
    entry.values.push_back(std::move(value));
  }
  file.keys.push_back(std::move(entry));
  for (uint32_t index = 0;; ++index) {
    std::u16string child;
    int32_t result = key.EnumKey(index, child);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS) return result;
    RegistryKey sub;
    if (int32_t opened = key.OpenSubKey(child, KEY_READ, sub); opened) return opened;
    if (int32_t exported = ExportKey(sub, name + u"\\" + child, file); exported) return exported;
  }
  return ERROR_SUCCESS;
}

}  // namespace

int32_t ExportRegFile(RegistryRoot root, std::u16string_view path, uint32_t view, RegFileFormat format,
                      RegFile& file) {
  file = RegFile();
  file.format = format;
  RegistryKey key;
  if (int32_t result = RegistryKey::Open(root, path, KEY_READ | view, key); result) return result;
  return ExportKey(key, key.FullName(), file);
}

}  // namespace Kestrilon::Platform
