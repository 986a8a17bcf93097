// kestrilon-machine reg: the registry of the image with the syntax and output of Windows reg.exe.
//   reg query KEY [/v NAME | /ve] [/s] [/t TYPE] [/reg:32 | /reg:64]
//   reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f] [/reg:32 | /reg:64]
//   reg delete KEY [/v NAME | /ve | /va] [/f] [/reg:32 | /reg:64]
//   reg import FILE [/reg:32 | /reg:64]
//   reg export KEY FILE [/y] [/regedit4] [/reg:32 | /reg:64]
// Like the 64-bit reg.exe, the tool works in the 64-bit view unless /reg:32 asks for the 32-bit one.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry/reg_file.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "tools/kestrilon-machine/commands.h"

namespace Kestrilon::Tools {

namespace {

using namespace Kestrilon::Platform;

constexpr const char* kNotFound = "ERROR: The system was unable to find the specified registry key or value.";
constexpr const char* kDone = "The operation completed successfully.";

int SyntaxError(const std::string& operation) {
  std::fprintf(stderr, "ERROR: Invalid syntax.\nType \"REG %s /?\" for usage.\n", operation.c_str());
  return 1;
}

int Failure(int32_t error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      std::fprintf(stderr, "%s\n", kNotFound);
      break;
    case ERROR_ACCESS_DENIED:
      std::fprintf(stderr, "ERROR: Access is denied.\n");
      break;
    case ERROR_INVALID_PARAMETER:
      std::fprintf(stderr, "ERROR: Invalid key name.\n");
      break;
    default:
      std::fprintf(stderr, "ERROR: The registry could not be used (error %d).\n", error);
      break;
  }
  return 1;
}

bool AskYesNo(const std::string& question) {
  std::printf("%s (Yes/No)? ", question.c_str());
  std::fflush(stdout);
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::printf("\n");
    return false;
  }
  std::string lower = AsciiLower(std::string_view(answer));
  return lower == "y" || lower == "yes";
}

// The switches of one reg.exe operation. Switch names compare without regard to case.
struct Options {
  std::vector<std::string> positional;
  std::optional<std::string> valueName;  // /v
  bool defaultValue = false;             // /ve
  bool allValues = false;                // /va
  bool recursive = false;                // /s in query
  std::optional<std::string> type;       // /t
  std::optional<std::string> data;       // /d
  std::optional<std::string> separator;  // /s in add
  bool force = false;                    // /f, /y
  bool regedit4 = false;                 // /regedit4
  uint32_t view = KEY_WOW64_64KEY;       // /reg:32, /reg:64
};

bool IsSwitch(const std::string& arg) { return arg.size() > 1 && (arg[0] == '/' || arg[0] == '-'); }

bool ParseOptions(const std::string& operation, const Arguments& args, Options& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (!IsSwitch(arg)) {
      options.positional.push_back(arg);
      continue;
    }
    std::string name = AsciiLower(std::string_view(arg).substr(1));
    auto takeValue = [&](std::optional<std::string>& slot) {
      if (i + 1 >= args.size() || slot) return false;
      slot = args[++i];
      return true;
    };
    bool ok = true;
    if (name == "v") {
      ok = takeValue(options.valueName);
    } else if (name == "ve") {
      options.defaultValue = true;
    } else if (name == "va" && operation == "delete") {
      options.allValues = true;
    } else if (name == "s" && operation == "query") {
      options.recursive = true;
    } else if (name == "s" && operation == "add") {
      ok = takeValue(options.separator);
    } else if (name == "t" && (operation == "add" || operation == "query")) {
      ok = takeValue(options.type);
    } else if (name == "d" && operation == "add") {
      ok = takeValue(options.data);
    } else if (name == "f" && (operation == "add" || operation == "delete")) {
      options.force = true;
    } else if (name == "y" && operation == "export") {
      options.force = true;
    } else if (name == "regedit4" && operation == "export") {
      options.regedit4 = true;
    } else if (name == "reg:32") {
      options.view = KEY_WOW64_32KEY;
    } else if (name == "reg:64") {
      options.view = KEY_WOW64_64KEY;
    } else if (arg[0] == '/') {
      options.positional.push_back(arg);  // an absolute Linux path, not a switch
    } else {
      ok = false;
    }
    if (!ok) return false;
  }
  int valueChoices = (options.valueName ? 1 : 0) + (options.defaultValue ? 1 : 0) + (options.allValues ? 1 : 0);
  return valueChoices <= 1;
}

struct KeyName {
  RegistryRoot root;
  std::u16string path;
};

bool ParseKeyName(const std::string& text, KeyName& key) {
  return SplitRegistryName(ToUtf16(text), key.root, key.path);
}

std::optional<uint32_t> TypeFromName(std::string name) {
  name = AsciiLower(std::string_view(name));
  static const std::pair<const char*, uint32_t> kTypes[] = {
      {"reg_sz", REG_SZ},       {"reg_expand_sz", REG_EXPAND_SZ}, {"reg_multi_sz", REG_MULTI_SZ},
      {"reg_dword", REG_DWORD}, {"reg_qword", REG_QWORD},         {"reg_binary", REG_BINARY},
      {"reg_none", REG_NONE},
  };
  for (const auto& [typeName, type] : kTypes)
    if (name == typeName) return type;
  return std::nullopt;
}

std::string TypeName(uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  if (type < std::size(kNames)) return kNames[type];
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%x", type);
  return buffer;
}

uint64_t LittleEndian(const std::vector<uint8_t>& data) {
  uint64_t value = 0;
  for (size_t i = data.size(); i-- > 0;) value = value << 8 | data[i];
  return value;
}

// The data as reg.exe shows it.
std::string RenderData(uint32_t type, const std::vector<uint8_t>& data) {
  char buffer[32];
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return ToUtf8(DecodeRegString(data.data(), data.size()));
    case REG_MULTI_SZ: {
      std::string joined;
      for (const std::u16string& text : DecodeRegMultiString(data.data(), data.size())) {
        if (!joined.empty()) joined += "\\0";
        joined += ToUtf8(text);
      }
      return joined;
    }
    case REG_DWORD:
      if (data.size() != 4) break;
      std::snprintf(buffer, sizeof buffer, "0x%x", static_cast<uint32_t>(LittleEndian(data)));
      return buffer;
    case REG_QWORD:
      if (data.size() != 8) break;
      std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(LittleEndian(data)));
      return buffer;
    default:
      break;
  }
  std::string hex;
  for (uint8_t byte : data) {
    std::snprintf(buffer, sizeof buffer, "%02X", byte);
    hex += buffer;
  }
  return hex;
}

void PrintValue(const std::u16string& name, uint32_t type, const std::vector<uint8_t>& data) {
  std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : ToUtf8(name).c_str(), TypeName(type).c_str(),
              RenderData(type, data).c_str());
}

struct ValueEntry {
  std::u16string name;
  uint32_t type;
  std::vector<uint8_t> data;
};

std::vector<ValueEntry> ValuesOf(const RegistryKey& key, std::optional<uint32_t> typeFilter) {
  std::vector<ValueEntry> values;
  for (uint32_t index = 0;; ++index) {
    ValueEntry value;
    if (key.EnumValue(index, value.name, &value.type, &value.data) != ERROR_SUCCESS) break;
    if (!typeFilter || *typeFilter == value.type) values.push_back(std::move(value));
  }
  return values;
}

std::vector<std::u16string> SubKeysOf(const RegistryKey& key) {
  std::vector<std::u16string> names;
  for (uint32_t index = 0;; ++index) {
    std::u16string name;
    if (key.EnumKey(index, name) != ERROR_SUCCESS) break;
    names.push_back(std::move(name));
  }
  return names;
}

// /s: every key below with its values; with a value name only the keys holding it. Counts matches.
void QueryTree(const RegistryKey& key, const std::u16string& name, const Options& options,
               std::optional<uint32_t> typeFilter, size_t& matches) {
  std::vector<ValueEntry> values = ValuesOf(key, typeFilter);
  if (options.valueName || options.defaultValue) {
    std::u16string wanted = options.defaultValue ? std::u16string() : ToUtf16(*options.valueName);
    std::erase_if(values, [&](const ValueEntry& value) { return !EqualsIgnoreCase(value.name, wanted); });
    if (!values.empty()) {
      std::printf("%s\n", ToUtf8(name).c_str());
      for (const ValueEntry& value : values) PrintValue(value.name, value.type, value.data);
      std::printf("\n");
      matches += values.size();
    }
  } else {
    std::printf("%s\n", ToUtf8(name).c_str());
    for (const ValueEntry& value : values) PrintValue(value.name, value.type, value.data);
    std::printf("\n");
    matches += values.size() + 1;
  }
  for (const std::u16string& child : SubKeysOf(key)) {
    RegistryKey sub;
    if (key.OpenSubKey(child, KEY_READ, sub) == ERROR_SUCCESS)
      QueryTree(sub, name + u"\\" + child, options, typeFilter, matches);
  }
}

int Query(const Arguments& args) {
  Options options;
  if (!ParseOptions("query", args, options) || options.positional.size() != 1) return SyntaxError("QUERY");
  KeyName name;
  if (!ParseKeyName(options.positional[0], name)) return Failure(ERROR_INVALID_PARAMETER);
  std::optional<uint32_t> typeFilter;
  if (options.type && !(typeFilter = TypeFromName(*options.type))) return SyntaxError("QUERY");
  RegistryKey key;
  if (int32_t result = RegistryKey::Open(name.root, name.path, KEY_READ | options.view, key); result)
    return Failure(result);
  std::u16string fullName = key.FullName();

  if (options.recursive) {
    size_t matches = 0;
    std::printf("\n");
    QueryTree(key, fullName, options, typeFilter, matches);
    if (options.valueName || options.defaultValue) {
      std::printf("End of search: %zu match(es) found.\n", matches);
      return matches ? 0 : 1;
    }
    return 0;
  }
  if (options.valueName || options.defaultValue) {
    std::u16string valueName = options.defaultValue ? std::u16string() : ToUtf16(*options.valueName);
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;
    int32_t result = key.QueryValue(valueName, &type, data);
    if (result == ERROR_FILE_NOT_FOUND && options.defaultValue) {
      std::printf("\n%s\n    (Default)    REG_SZ    (value not set)\n\n", ToUtf8(fullName).c_str());
      return 0;
    }
    if (result != ERROR_SUCCESS) return Failure(result);
    if (typeFilter && *typeFilter != type) return Failure(ERROR_FILE_NOT_FOUND);
    std::printf("\n%s\n", ToUtf8(fullName).c_str());
    PrintValue(valueName, type, data);
    std::printf("\n");
    return 0;
  }
  std::vector<ValueEntry> values = ValuesOf(key, typeFilter);
  std::printf("\n");
  if (!values.empty()) {
    std::printf("%s\n", ToUtf8(fullName).c_str());
    for (const ValueEntry& value : values) PrintValue(value.name, value.type, value.data);
    std::printf("\n");
  }
  for (const std::u16string& child : SubKeysOf(key)) std::printf("%s\\%s\n", ToUtf8(fullName).c_str(), ToUtf8(child).c_str());
  return 0;
}

std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max) {
  if (text.empty()) return std::nullopt;
  size_t used = 0;
  unsigned long long value = 0;
  try {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text[0] == '-' || text[0] == '+') return std::nullopt;
    value = std::stoull(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
    if (used != (hex ? text.size() - 2 : text.size())) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (value > max) return std::nullopt;
  return value;
}

std::optional<std::vector<uint8_t>> EncodeData(uint32_t type, const std::string& text, const std::string& separator) {
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      return EncodeRegString(ToUtf16(text));
    case REG_MULTI_SZ: {
      std::vector<std::u16string> parts;
      if (!text.empty()) {
        size_t start = 0;
        while (true) {
          size_t end = separator.empty() ? std::string::npos : text.find(separator, start);
          parts.push_back(ToUtf16(text.substr(start, end == std::string::npos ? std::string::npos : end - start)));
          if (end == std::string::npos) break;
          start = end + separator.size();
        }
      }
      for (const std::u16string& part : parts)
        if (part.empty()) return std::nullopt;  // an empty string would end the list early
      return EncodeRegMultiString(parts);
    }
    case REG_DWORD: {
      auto value = ParseNumber(text.empty() ? "0" : text, 0xFFFFFFFFull);
      if (!value) return std::nullopt;
      std::vector<uint8_t> bytes(4);
      for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(*value >> (8 * i));
      return bytes;
    }
    case REG_QWORD: {
      auto value = ParseNumber(text.empty() ? "0" : text, ~0ull);
      if (!value) return std::nullopt;
      std::vector<uint8_t> bytes(8);
      for (int i = 0; i < 8; ++i) bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(*value >> (8 * i));
      return bytes;
    }
    default: {
      if (text.size() % 2) return std::nullopt;
      std::vector<uint8_t> bytes;
      for (size_t i = 0; i < text.size(); i += 2) {
        auto digit = [](char c) {
          if (c >= '0' && c <= '9') return c - '0';
          if (c >= 'a' && c <= 'f') return c - 'a' + 10;
          if (c >= 'A' && c <= 'F') return c - 'A' + 10;
          return -1;
        };
        int high = digit(text[i]), low = digit(text[i + 1]);
        if (high < 0 || low < 0) return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
      }
      return bytes;
    }
  }
}

int Add(const Arguments& args) {
  Options options;
  if (!ParseOptions("add", args, options) || options.positional.size() != 1 || options.allValues)
    return SyntaxError("ADD");
  KeyName name;
  if (!ParseKeyName(options.positional[0], name)) return Failure(ERROR_INVALID_PARAMETER);
  uint32_t type = REG_SZ;
  if (options.type) {
    auto parsed = TypeFromName(*options.type);
    if (!parsed) return SyntaxError("ADD");
    type = *parsed;
  }
  std::optional<std::vector<uint8_t>> data;
  bool setsValue = options.valueName || options.defaultValue;
  if (setsValue) {
    data = EncodeData(type, options.data.value_or(""), options.separator.value_or("\\0"));
    if (!data) {
      std::fprintf(stderr, "ERROR: Invalid value for the type %s.\n", TypeName(type).c_str());
      return 1;
    }
  } else if (options.data || options.type || options.separator) {
    return SyntaxError("ADD");
  }
  RegistryKey key;
  if (int32_t result = RegistryKey::Create(name.root, name.path, KEY_ALL_ACCESS | options.view, key); result)
    return Failure(result);
  if (setsValue) {
    std::u16string valueName = options.defaultValue ? std::u16string() : ToUtf16(*options.valueName);
    if (!options.force && key.QueryValue(valueName, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
        !AskYesNo("Value " + (valueName.empty() ? std::string("(Default)") : ToUtf8(valueName)) + " exists, overwrite")) {
      std::printf("The operation was cancelled by the user.\n");
      return 1;
    }
    if (int32_t result = key.SetValue(valueName, type, data->data(), static_cast<uint32_t>(data->size())); result)
      return Failure(result);
  }
  std::printf("%s\n", kDone);
  return 0;
}

int Delete(const Arguments& args) {
  Options options;
  if (!ParseOptions("delete", args, options) || options.positional.size() != 1) return SyntaxError("DELETE");
  KeyName name;
  if (!ParseKeyName(options.positional[0], name)) return Failure(ERROR_INVALID_PARAMETER);
  RegistryKey key;
  if (int32_t result = RegistryKey::Open(name.root, name.path, KEY_ALL_ACCESS | options.view, key); result)
    return Failure(result);
  std::string keyName = ToUtf8(key.FullName());

  if (options.valueName || options.defaultValue) {
    std::u16string valueName = options.defaultValue ? std::u16string() : ToUtf16(*options.valueName);
    if (key.QueryValue(valueName, nullptr, nullptr, nullptr) != ERROR_SUCCESS) return Failure(ERROR_FILE_NOT_FOUND);
    if (!options.force &&
        !AskYesNo("Delete the registry value " + (valueName.empty() ? std::string("(Default)") : ToUtf8(valueName)))) {
      std::printf("The operation was cancelled by the user.\n");
      return 1;
    }
    if (int32_t result = key.DeleteValue(valueName); result) return Failure(result);
  } else if (options.allValues) {
    if (!options.force && !AskYesNo("Delete all values under the registry key " + keyName)) {
      std::printf("The operation was cancelled by the user.\n");
      return 1;
    }
    for (const ValueEntry& value : ValuesOf(key, std::nullopt))
      if (int32_t result = key.DeleteValue(value.name); result) return Failure(result);
  } else {
    size_t slash = name.path.rfind(u'\\');
    std::u16string leaf = slash == std::u16string::npos ? name.path : name.path.substr(slash + 1);
    std::u16string parentPath = slash == std::u16string::npos ? std::u16string() : name.path.substr(0, slash);
    if (leaf.empty()) return Failure(ERROR_ACCESS_DENIED);  // a root cannot be deleted
    if (!options.force && !AskYesNo("Permanently delete the registry key " + keyName)) {
      std::printf("The operation was cancelled by the user.\n");
      return 1;
    }
    key.Close();
    RegistryKey parent;
    int32_t result = RegistryKey::Open(name.root, parentPath, KEY_ALL_ACCESS | options.view, parent);
    if (result == ERROR_SUCCESS) result = parent.DeleteTree(leaf);
    if (result) return Failure(result);
  }
  std::printf("%s\n", kDone);
  return 0;
}

int Import(const Arguments& args) {
  Options options;
  if (!ParseOptions("import", args, options) || options.positional.size() != 1) return SyntaxError("IMPORT");
  std::ifstream in(options.positional[0], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "ERROR: Error opening the file. There may be a disk or file system error.\n");
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  RegFile file;
  std::string error;
  if (!ParseRegFile(bytes.data(), bytes.size(), file, &error)) {
    std::fprintf(stderr, "ERROR: %s: %s\n", options.positional[0].c_str(), error.c_str());
    return 1;
  }
  for (const std::string& problem : file.problems)
    std::fprintf(stderr, "%s: skipped %s\n", options.positional[0].c_str(), problem.c_str());
  if (int32_t result = ImportRegFile(file, options.view); result) {
    std::fprintf(stderr, "ERROR: Error accessing the registry (error %d).\n", result);
    return 1;
  }
  if (!file.problems.empty()) return 1;
  std::printf("%s\n", kDone);
  return 0;
}

int Export(const Arguments& args) {
  Options options;
  if (!ParseOptions("export", args, options) || options.positional.size() != 2 || options.valueName ||
      options.defaultValue)
    return SyntaxError("EXPORT");
  KeyName name;
  if (!ParseKeyName(options.positional[0], name)) return Failure(ERROR_INVALID_PARAMETER);
  RegFile file;
  if (int32_t result = ExportRegFile(name.root, name.path, options.view,
                                     options.regedit4 ? RegFileFormat::Regedit4 : RegFileFormat::Version5, file);
      result)
    return Failure(result);
  const std::string& target = options.positional[1];
  if (!options.force && std::ifstream(target).good() && !AskYesNo("File " + target + " already exists. Overwrite")) {
    std::printf("The operation was cancelled by the user.\n");
    return 1;
  }
  std::vector<uint8_t> bytes = EncodeRegFile(file);
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    std::fprintf(stderr, "ERROR: Error opening the file. There may be a disk or file system error.\n");
    return 1;
  }
  std::printf("%s\n", kDone);
  return 0;
}

}  // namespace

int RunReg(const Arguments& args) {
  if (args.empty()) return SyntaxError("");
  std::string operation = AsciiLower(std::string_view(args[0]));
  Arguments rest(args.begin() + 1, args.end());
  if (operation == "query") return Query(rest);
  if (operation == "add") return Add(rest);
  if (operation == "delete") return Delete(rest);
  if (operation == "import") return Import(rest);
  if (operation == "export") return Export(rest);
  std::fprintf(stderr, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n");
  return 1;
}

}  // namespace Kestrilon::Tools
