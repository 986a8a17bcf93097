// Environment expansion, download paths, the redirection pair and version blocks.
#include <atomic>
#include <system_error>

#include "platform/fs/fs.h"
#include "platform/text/text.h"
#include "util/file_helpers.h"

namespace Kestrilon::Util {
namespace {

namespace fs = std::filesystem;
using namespace Platform;

// The previous redirection state from the last disabling call, for the reverting call.
std::atomic<void*> redirectionSlot{nullptr};

bool FitsPathBuffer(std::u16string_view path) { return path.size() < kMaxPathChars; }

}  // namespace

HRESULT ExpandEnvironmentPath(std::u16string_view text, std::u16string& expanded) {
  expanded.clear();
  if (text.empty()) return S_OK;
  std::u16string result = ExpandEnvironmentStrings(text);
  if (!FitsPathBuffer(result)) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
  expanded = std::move(result);
  return S_OK;
}

std::u16string ExpandEnvironmentPath(std::u16string_view text) {
  std::u16string expanded;
  ExpandEnvironmentPath(text, expanded);
  return expanded;
}

HRESULT DownloadTargetPath(std::u16string_view url, std::u16string& path) {
  path.clear();
  // "..\Download" appended to the program file's path: the folder Download beside the program.
  const fs::path folder = ModuleFileName().parent_path() / "Download";
  std::error_code error;
  if (!fs::exists(folder, error)) fs::create_directory(folder, error);  // not reported: the download fails later

  const size_t slash = url.rfind(u'/');
  std::u16string_view name = slash == std::u16string_view::npos ? url : url.substr(slash + 1);
  // PathAppendW would resolve ".." and treat "\" as a separator; a name from a URL must not leave the
  // folder, so such names are not used.
  if (name == u"." || name == u".." || name.find(u'\\') != std::u16string_view::npos) name = {};

  std::u16string result = ToWindowsPath(folder);
  if (!name.empty()) {
    result += result.find(u'\\') != std::u16string::npos ? u'\\' : u'/';
    result += name;
  }
  if (!FitsPathBuffer(result)) return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
  path = std::move(result);
  return S_OK;
}

std::u16string DownloadTargetPath(std::u16string_view url) {
  std::u16string path;
  DownloadTargetPath(url, path);
  return path;
}

bool DisableWow64Redirection() {
  if (!IsWow64Process()) return false;
  void* previous = nullptr;
  if (!Wow64DisableFsRedirection(&previous)) return false;
  redirectionSlot.store(previous);
  return true;
}

bool RevertWow64Redirection() {
  if (!IsWow64Process()) return false;
  return Wow64RevertFsRedirection(redirectionSlot.load());
}

bool ReadFileVersion(std::u16string_view path, FixedFileInfo* block) {
  const fs::path host = ToHostPath(path);
  if (host.empty()) return false;
  FixedFileInfo info;
  if (!ReadFixedFileInfo(host, &info)) return false;
  if (block) *block = info;
  return true;
}

}  // namespace Kestrilon::Util
