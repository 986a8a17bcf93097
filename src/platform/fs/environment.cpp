// The Windows environment of the image, looked up name by name.
//
// Layers, first match wins: the values Windows computes for the process itself (system folders, the
// user's profile folders, the architecture, with the 32-bit ProgramFiles for a WOW64 process), the
// user's variables (HKCU\Environment), the machine's (Session Manager\Environment), defaults for what
// Windows normally keeps there (TEMP, TMP, OS, ComSpec, ...), then the process environment.
#include <unistd.h>

#include <thread>
#include <vector>

#include "platform/fs/fs.h"
#include "platform/machine/machine_image.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"

extern char** environ;

namespace Kestrilon::Platform {
namespace {

struct Variable {
  std::u16string name;
  std::u16string value;
};

std::u16string ComputerName() {
  RegistryKey key;
  std::u16string name;
  if (RegistryKey::Open(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ComputerName",
                        KEY_READ, key) == ERROR_SUCCESS &&
      key.GetString(u"ComputerName", name) == ERROR_SUCCESS && !name.empty())
    return name;
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == 0) return u"KESTRILON-PC";
  std::string text(host);
  text = text.substr(0, text.find('.')).substr(0, 15);  // NetBIOS names have at most 15 characters
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return ToUtf16(text);
}

// What Windows sets for the process itself; these are not taken from the registry.
std::vector<Variable> ComputedVariables(const MachineImage& image) {
  const MachineProfile& profile = image.Profile();
  const bool xp = profile.majorVersion < 6;
  const std::u16string user = image.UserName();
  const std::u16string windir = xp ? u"C:\\WINDOWS" : u"C:\\Windows";
  const std::u16string native = u"C:\\Program Files";
  const std::u16string x86 = u"C:\\Program Files (x86)";
  const std::u16string programFiles = profile.native64 && profile.wow64Process ? x86 : native;
  const std::u16string profiles = xp ? u"C:\\Documents and Settings" : u"C:\\Users";
  const std::u16string userProfile = profiles + u"\\" + user;

  std::vector<Variable> v = {
      {u"SystemDrive", u"C:"},
      {u"SystemRoot", windir},
      {u"windir", windir},
      {u"ProgramFiles", programFiles},
      {u"CommonProgramFiles", programFiles + u"\\Common Files"},
      {u"USERNAME", user},
      {u"USERPROFILE", userProfile},
      {u"HOMEDRIVE", u"C:"},
      {u"HOMEPATH", userProfile.substr(2)},
      {u"PROCESSOR_ARCHITECTURE", profile.native64 && !profile.wow64Process ? u"AMD64" : u"x86"},
  };
  if (profile.native64) {
    v.push_back({u"ProgramFiles(x86)", x86});
    v.push_back({u"ProgramW6432", native});
    v.push_back({u"CommonProgramFiles(x86)", x86 + u"\\Common Files"});
    v.push_back({u"CommonProgramW6432", native + u"\\Common Files"});
    if (profile.wow64Process) v.push_back({u"PROCESSOR_ARCHITEW6432", u"AMD64"});
  }
  if (xp) {
    v.push_back({u"ALLUSERSPROFILE", profiles + u"\\All Users"});
    v.push_back({u"APPDATA", userProfile + u"\\Application Data"});
  } else {
    v.push_back({u"ALLUSERSPROFILE", u"C:\\ProgramData"});
    v.push_back({u"ProgramData", u"C:\\ProgramData"});
    v.push_back({u"PUBLIC", u"C:\\Users\\Public"});
    v.push_back({u"APPDATA", userProfile + u"\\AppData\\Roaming"});
    v.push_back({u"LOCALAPPDATA", userProfile + u"\\AppData\\Local"});
  }
  return v;
}

// What Windows keeps in the registry's environment keys; used when the image's registry lacks them.
std::vector<Variable> DefaultVariables(const MachineImage& image) {
  const bool xp = image.Profile().majorVersion < 6;
  const std::u16string windir = xp ? u"C:\\WINDOWS" : u"C:\\Windows";
  const std::u16string profile = (xp ? u"C:\\Documents and Settings\\" : u"C:\\Users\\") + image.UserName();
  const std::u16string temp = profile + (xp ? u"\\Local Settings\\Temp" : u"\\AppData\\Local\\Temp");
  return {
      {u"TEMP", temp},
      {u"TMP", temp},
      {u"OS", u"Windows_NT"},
      {u"ComSpec", windir + u"\\system32\\cmd.exe"},
      {u"PATHEXT", u".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC"},
      {u"NUMBER_OF_PROCESSORS", ToUtf16(std::to_string(std::max(1u, std::thread::hardware_concurrency())))},
  };
}

std::optional<std::u16string> Find(const std::vector<Variable>& variables, std::u16string_view name) {
  for (const Variable& variable : variables)
    if (EqualsIgnoreCase(variable.name, name)) return variable.value;
  return std::nullopt;
}

std::optional<std::u16string> ProcessVariable(std::u16string_view name) {
  std::optional<std::u16string> caseless;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    const std::u16string entryName = ToUtf16(text.substr(0, equals));
    if (entryName == name) return ToUtf16(text.substr(equals + 1));  // an exact match wins
    if (!caseless && EqualsIgnoreCase(entryName, name)) caseless = ToUtf16(text.substr(equals + 1));
  }
  return caseless;
}

std::optional<std::u16string> Lookup(std::u16string_view name, bool withRegistry);

std::u16string Expand(std::u16string_view text, bool withRegistry) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != u'%') {
      out += text[i++];
      continue;
    }
    const size_t close = text.find(u'%', i + 1);
    if (close == std::u16string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    const std::u16string_view name = text.substr(i + 1, close - i - 1);
    std::optional<std::u16string> value;
    if (!name.empty()) value = Lookup(name, withRegistry);
    if (value) {
      out += *value;
      i = close + 1;
    } else {
      // Not a variable: keep the first '%' and the name; the closing '%' may open the next one.
      out.append(text.substr(i, close - i));
      i = close;
    }
  }
  return out;
}

// A value of the registry's environment keys; REG_EXPAND_SZ values are expanded (without the registry,
// so that values naming each other cannot loop).
std::optional<std::u16string> RegistryVariable(RegistryRoot root, std::u16string_view path,
                                               std::u16string_view name) {
  RegistryKey key;
  if (RegistryKey::Open(root, path, KEY_READ, key) != ERROR_SUCCESS) return std::nullopt;
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  if (key.QueryValue(name, &type, data) != ERROR_SUCCESS) return std::nullopt;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return std::nullopt;
  std::u16string value = DecodeRegString(data.data(), data.size());
  if (type == REG_EXPAND_SZ) value = Expand(value, /*withRegistry=*/false);
  return value;
}

std::optional<std::u16string> Lookup(std::u16string_view name, bool withRegistry) {
  const MachineImage& image = MachineImage::Current();
  if (EqualsIgnoreCase(name, u"COMPUTERNAME") || EqualsIgnoreCase(name, u"USERDOMAIN")) return ComputerName();
  if (auto value = Find(ComputedVariables(image), name)) return value;
  if (withRegistry) {
    if (auto value = RegistryVariable(HKEY_CURRENT_USER, u"Environment", name)) return value;
    if (auto value = RegistryVariable(HKEY_LOCAL_MACHINE,
                                      u"SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", name))
      return value;
  }
  if (auto value = Find(DefaultVariables(image), name)) return value;
  return ProcessVariable(name);
}

}  // namespace

std::optional<std::u16string> GetWindowsEnvironmentVariable(std::u16string_view name) {
  if (name.empty() || name.find(u'=') != std::u16string_view::npos) return std::nullopt;
  return Lookup(name, /*withRegistry=*/true);
}

std::u16string ExpandEnvironmentStrings(std::u16string_view text) { return Expand(text, /*withRegistry=*/true); }

}  // namespace Kestrilon::Platform
