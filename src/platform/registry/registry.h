#pragma once
// The registry of the machine image: Windows registry semantics over a SQLite database.
//
// Keys and values keep Windows' layout and rules: names are case-insensitive and case-preserving, value
// data are the bytes Windows stores (REG_SZ is UTF-16LE with its terminating null), results are Win32
// error codes (platform/status.h), and a 32-bit process on 64-bit Windows sees the Wow6432Node view of
// HKLM\Software and HKCR unless it passes KEY_WOW64_64KEY (KEY_WOW64_32KEY asks for it from a 64-bit
// one). As on Windows 7 and later, the keys Windows shares between the views are not split: Classes
// (except CLSID, Interface, DirectShow, Media Type, MediaFoundation), Clients, Policies,
// RegisteredApplications, Microsoft\SystemCertificates and Windows NT\CurrentVersion\ProfileList.
// HKCR is HKCU\Software\Classes merged over HKLM\Software\Classes: values and sub-keys of both, the
// user's first; changes go to the user's key when it exists, else to the machine's. HKCU is
// HKEY_USERS\<kImageUserSid>. A key opened without a right refuses what needs it with ERROR_ACCESS_DENIED
// (deleting needs KEY_SET_VALUE, KEY_CREATE_SUB_KEY or DELETE). Every change is one transaction, so
// several processes can share one image.
//
// The registry used is the one of the current machine image (platform/machine/machine_image.h).
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace Kestrilon::Platform {

// Value kinds.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_EXPAND_SZ = 2;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;
inline constexpr uint32_t REG_MULTI_SZ = 7;
inline constexpr uint32_t REG_QWORD = 11;

// Access masks, as Windows defines them.
inline constexpr uint32_t KEY_QUERY_VALUE = 0x0001;
inline constexpr uint32_t KEY_SET_VALUE = 0x0002;
inline constexpr uint32_t KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr uint32_t KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr uint32_t KEY_NOTIFY = 0x0010;
inline constexpr uint32_t KEY_CREATE_LINK = 0x0020;
inline constexpr uint32_t KEY_WOW64_64KEY = 0x0100;
inline constexpr uint32_t KEY_WOW64_32KEY = 0x0200;
inline constexpr uint32_t DELETE = 0x00010000;
inline constexpr uint32_t READ_CONTROL = 0x00020000;
inline constexpr uint32_t KEY_READ = 0x00020019;
inline constexpr uint32_t KEY_WRITE = 0x00020006;
inline constexpr uint32_t KEY_EXECUTE = KEY_READ;
inline constexpr uint32_t KEY_ALL_ACCESS = 0x000F003F;

enum class RegistryRoot : uint32_t {
  ClassesRoot,   // HKEY_CLASSES_ROOT
  CurrentUser,   // HKEY_CURRENT_USER
  LocalMachine,  // HKEY_LOCAL_MACHINE
  Users,         // HKEY_USERS
};
inline constexpr RegistryRoot HKEY_CLASSES_ROOT = RegistryRoot::ClassesRoot;
inline constexpr RegistryRoot HKEY_CURRENT_USER = RegistryRoot::CurrentUser;
inline constexpr RegistryRoot HKEY_LOCAL_MACHINE = RegistryRoot::LocalMachine;
inline constexpr RegistryRoot HKEY_USERS = RegistryRoot::Users;

class RegistryDatabase;  // the image's SQLite store; private to platform/registry

// Where a registry lives and how its views behave: the database file, whether the Windows it stands for
// is 64-bit, whether the calling program is a 32-bit process on it, and the SID whose HKEY_USERS key is
// HKEY_CURRENT_USER. The current image gives these; RegistryScope names another one.
struct RegistryLocation {
  std::filesystem::path database;
  bool native64 = false;
  bool wow64Process = false;
  std::u16string userSid;
};
// The SID of the image's one user.
inline constexpr std::u16string_view kImageUserSid = u"S-1-5-21-2147483647-1073741823-536870911-1001";

// While it lives, registry calls made on this thread use the given database instead of the current
// image's (creating an image, tools working on a named image). Keys opened inside keep using it after.
class RegistryScope {
 public:
  explicit RegistryScope(const RegistryLocation& location);
  ~RegistryScope();
  RegistryScope(const RegistryScope&) = delete;
  RegistryScope& operator=(const RegistryScope&) = delete;
  // ERROR_SUCCESS, or why the database could not be opened (then registry calls fail with it).
  int32_t Status() const { return status_; }

 private:
  std::shared_ptr<RegistryDatabase> database_;
  std::shared_ptr<RegistryDatabase> previous_;
  int32_t status_ = 0;
  int32_t previousStatus_ = 0;
  bool hadPrevious_ = false;
};

// An open key: the handle Windows would give (HKEY), closed when the object goes.
class RegistryKey {
 public:
  RegistryKey();
  ~RegistryKey();
  RegistryKey(RegistryKey&&) noexcept;
  RegistryKey& operator=(RegistryKey&&) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // RegOpenKeyExW / RegCreateKeyExW. `path` may be empty (the root itself) and may hold several
  // components separated by backslashes. `created` (optional) tells whether the key was new.
  static int32_t Open(RegistryRoot root, std::u16string_view path, uint32_t access, RegistryKey& key);
  static int32_t Create(RegistryRoot root, std::u16string_view path, uint32_t access, RegistryKey& key,
                        bool* created = nullptr);
  int32_t OpenSubKey(std::u16string_view path, uint32_t access, RegistryKey& key) const;
  int32_t CreateSubKey(std::u16string_view path, uint32_t access, RegistryKey& key,
                       bool* created = nullptr) const;

  bool IsOpen() const;
  void Close();
  // The key's full name as reg.exe prints it, e.g. u"HKEY_LOCAL_MACHINE\\SOFTWARE\\Wow6432Node\\X".
  std::u16string FullName() const;

  // RegQueryValueExW: `type`, `data` and `size` may each be null. With data given and *size too small,
  // the answer is ERROR_MORE_DATA and *size is the size needed. An empty name is the default value.
  int32_t QueryValue(std::u16string_view name, uint32_t* type, void* data, uint32_t* size) const;
  // The whole value, sized as needed.
  int32_t QueryValue(std::u16string_view name, uint32_t* type, std::vector<uint8_t>& data) const;
  // RegSetValueExW.
  int32_t SetValue(std::u16string_view name, uint32_t type, const void* data, uint32_t size);
  int32_t DeleteValue(std::u16string_view name);

  // RegDeleteKeyExW (a key with sub-keys is refused with ERROR_ACCESS_DENIED, as Windows does) and
  // RegDeleteTreeW (an empty path deletes this key's sub-keys and values, keeping the key).
  int32_t DeleteSubKey(std::u16string_view path);
  int32_t DeleteTree(std::u16string_view path);

  // RegEnumKeyExW / RegEnumValueW in Windows' order: sub-keys sorted without regard to case, values in
  // the order they were first written; ERROR_NO_MORE_ITEMS past the end. QueryInfo needs KEY_QUERY_VALUE.
  int32_t EnumKey(uint32_t index, std::u16string& name) const;
  int32_t EnumValue(uint32_t index, std::u16string& name, uint32_t* type, std::vector<uint8_t>* data) const;
  int32_t QueryInfo(uint32_t* subKeyCount, uint32_t* valueCount) const;

  // Typed shortcuts over QueryValue/SetValue.
  // GetString reads REG_SZ, REG_EXPAND_SZ (not expanded) and REG_MULTI_SZ's first string; another kind
  // gives ERROR_INVALID_PARAMETER. GetDword reads REG_DWORD (and a 4-byte REG_BINARY, as Windows apps do).
  int32_t GetString(std::u16string_view name, std::u16string& value) const;
  int32_t GetDword(std::u16string_view name, uint32_t& value) const;
  int32_t GetQword(std::u16string_view name, uint64_t& value) const;
  int32_t GetMultiString(std::u16string_view name, std::vector<std::u16string>& value) const;
  int32_t SetString(std::u16string_view name, std::u16string_view value, uint32_t type = REG_SZ);
  int32_t SetDword(std::u16string_view name, uint32_t value);
  int32_t SetQword(std::u16string_view name, uint64_t value);
  int32_t SetMultiString(std::u16string_view name, const std::vector<std::u16string>& value);

  struct State;  // private to platform/registry

 private:
  std::unique_ptr<State> state_;
};

// SHRegGetUSValueW: the value under HKCU\subKey first, then HKLM\subKey (only the machine when
// ignoreCurrentUser). Same data conventions as RegistryKey::QueryValue.
int32_t RegGetUSValue(std::u16string_view subKey, std::u16string_view valueName, uint32_t* type,
                      std::vector<uint8_t>& data, bool ignoreCurrentUser = false);

// Encoders of the value data Windows stores for the text kinds.
std::vector<uint8_t> EncodeRegString(std::u16string_view text);  // UTF-16LE + terminating null
std::vector<uint8_t> EncodeRegMultiString(const std::vector<std::u16string>& texts);
std::u16string DecodeRegString(const uint8_t* data, size_t size);  // stops at the first null
std::vector<std::u16string> DecodeRegMultiString(const uint8_t* data, size_t size);

}  // namespace Kestrilon::Platform
