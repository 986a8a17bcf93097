// The settings store over the machine image's registry.
#include "app/commands.h"
#include "platform/registry/registry.h"

namespace Kestrilon::App {
namespace {

using namespace Platform;

// Opens (creating what is missing) the section's key for reading and writing.
bool OpenSection(std::u16string_view section, RegistryKey& key) {
  return RegistryKey::Create(HKEY_CURRENT_USER, SettingsKeyPath(section), KEY_READ | KEY_WRITE, key) ==
         ERROR_SUCCESS;
}

}  // namespace

std::u16string ApplicationName() { return u"kestrilon-assistant"; }

std::u16string SettingsKeyPath(std::u16string_view section) {
  std::u16string path = u"Software\\Kestrilon\\" + ApplicationName();
  if (!section.empty()) path.append(u"\\").append(section);
  return path;
}

int32_t GetProfileInt(std::u16string_view section, std::u16string_view key, int32_t defaultValue) {
  RegistryKey sectionKey;
  if (!OpenSection(section, sectionKey)) return defaultValue;
  uint32_t value = 0;
  if (sectionKey.GetDword(key, value) != ERROR_SUCCESS) return defaultValue;
  return static_cast<int32_t>(value);
}

std::u16string GetProfileString(std::u16string_view section, std::u16string_view key,
                                std::u16string_view defaultValue) {
  RegistryKey sectionKey;
  std::u16string value;
  if (!OpenSection(section, sectionKey) || sectionKey.GetString(key, value) != ERROR_SUCCESS)
    return std::u16string(defaultValue);
  return value;
}

bool WriteProfileInt(std::u16string_view section, std::u16string_view key, int32_t value) {
  RegistryKey sectionKey;
  return OpenSection(section, sectionKey) && sectionKey.SetDword(key, static_cast<uint32_t>(value)) == ERROR_SUCCESS;
}

bool WriteProfileString(std::u16string_view section, std::u16string_view key, std::u16string_view value) {
  RegistryKey sectionKey;
  return OpenSection(section, sectionKey) && sectionKey.SetString(key, value, REG_SZ) == ERROR_SUCCESS;
}

}  // namespace Kestrilon::App
