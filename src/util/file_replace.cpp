// Replacing a file that may be in use, and the renames left for the next start.
//
// On Linux, rename(2) replaces a target atomically even while it runs as a program, so the common case
// is one call. When the target cannot be replaced directly it is moved aside to ".old" first, as on
// Windows; when even that fails, the move is recorded where Windows keeps moves for the next restart
// (Session Manager's PendingFileRenameOperations in the image's registry) and ApplyPendingFileRenames
// carries it out when the program starts again.
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "platform/fs/fs.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "util/file_helpers.h"
#include "util/file_helpers_internal.h"

namespace Kestrilon::Util {
namespace {

namespace fs = std::filesystem;
using namespace Platform;

constexpr char16_t kSessionManager[] = u"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr char16_t kPendingRenames[] = u"PendingFileRenameOperations";
constexpr char16_t kNtPrefix[] = u"\\??\\";

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

// The value is a list of pairs: source, then target ("!" before it: replace an existing file; empty:
// delete the source). Empty strings are entries here, so the list is read by pairs, not up to the first
// empty string.
std::vector<std::u16string> DecodePairs(const std::vector<uint8_t>& data) {
  std::vector<std::u16string> strings;
  std::u16string current;
  for (size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) {
      strings.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  if (strings.size() % 2) strings.pop_back();  // the list's final terminator
  return strings;
}

std::vector<uint8_t> EncodePairs(const std::vector<std::u16string>& strings) {
  std::vector<uint8_t> data;
  for (const auto& s : strings) {
    for (const char16_t c : s) {
      data.push_back(static_cast<uint8_t>(c));
      data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.push_back(0);
    data.push_back(0);
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

bool RecordPendingRename(const fs::path& source, const fs::path* target) {
  RegistryKey key;
  if (RegistryKey::Create(HKEY_LOCAL_MACHINE, kSessionManager, KEY_READ | KEY_WRITE, key) != ERROR_SUCCESS)
    return false;
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  std::vector<std::u16string> pairs;
  if (key.QueryValue(kPendingRenames, &type, data) == ERROR_SUCCESS && type == REG_MULTI_SZ) pairs = DecodePairs(data);
  pairs.push_back(kNtPrefix + ToUtf16(source.string()));
  pairs.push_back(target ? u"!" + std::u16string(kNtPrefix) + ToUtf16(target->string()) : std::u16string());
  data = EncodePairs(pairs);
  return key.SetValue(kPendingRenames, REG_MULTI_SZ, data.data(), static_cast<uint32_t>(data.size())) ==
         ERROR_SUCCESS;
}

fs::path FromRecorded(std::u16string_view text) {
  if (text.starts_with(u"!")) text.remove_prefix(1);
  if (text.starts_with(kNtPrefix)) text.remove_prefix(4);
  return fs::path(ToUtf8(text));
}

// Copies the source beside the target and renames it over, for a source on another file system.
HRESULT MoveAcrossFileSystems(const fs::path& source, const fs::path& target) {
  fs::path temporary = target;
  temporary += ".move-" + std::to_string(::getpid());
  std::error_code error;
  if (!fs::copy_file(source, temporary, fs::copy_options::overwrite_existing, error)) {
    fs::remove(temporary, error);
    return HResultFromErrno(error.value());
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const int renameError = errno;
    fs::remove(temporary, error);
    return HResultFromErrno(renameError);
  }
  fs::remove(source, error);
  return S_OK;
}

}  // namespace

HRESULT MoveIntoPlace(std::u16string_view sourcePath, std::u16string_view targetPath) {
  const fs::path source = ToHostPath(sourcePath);
  const fs::path target = ToHostPath(targetPath);
  if (source.empty() || !Exists(source)) return E_FAIL;
  if (target.empty()) return HResultFromWin32(ERROR_PATH_NOT_FOUND);

  if (::rename(source.c_str(), target.c_str()) == 0) return S_OK;
  const int directError = errno;
  if (directError == EXDEV) return MoveAcrossFileSystems(source, target);
  if (!Exists(target)) return directError == ENOENT ? HResultFromWin32(ERROR_PATH_NOT_FOUND) : HResultFromErrno(directError);

  // The target cannot be replaced directly: move it aside, then move the new file in.
  fs::path old = target;
  old += ".old";
  std::error_code ignored;
  fs::remove(old, ignored);
  if (::rename(target.c_str(), old.c_str()) != 0) {
    if (!RecordPendingRename(source, &target)) return HResultFromErrno(directError);
    return S_FALSE;  // replaced at the next start; the target stays as it is until then
  }
  if (::rename(source.c_str(), target.c_str()) != 0) {
    const int moveError = errno;
    ::rename(old.c_str(), target.c_str());  // put the original back: the target is never left missing
    return HResultFromErrno(moveError);
  }
  RecordPendingRename(old, nullptr);
  return S_OK;
}

int ApplyPendingFileRenames() {
  RegistryKey key;
  if (RegistryKey::Open(HKEY_LOCAL_MACHINE, kSessionManager, KEY_READ | KEY_WRITE, key) != ERROR_SUCCESS) return 0;
  uint32_t type = REG_NONE;
  std::vector<uint8_t> data;
  if (key.QueryValue(kPendingRenames, &type, data) != ERROR_SUCCESS) return 0;
  key.DeleteValue(kPendingRenames);
  if (type != REG_MULTI_SZ) return 0;
  const std::vector<std::u16string> pairs = DecodePairs(data);
  int done = 0;
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
    const fs::path source = FromRecorded(pairs[i]);
    std::error_code error;
    if (pairs[i + 1].empty()) {
      if (fs::remove(source, error)) ++done;
    } else if (::rename(source.c_str(), FromRecorded(pairs[i + 1]).c_str()) == 0) {
      ++done;
    }
  }
  return done;
}

}  // namespace Kestrilon::Util
