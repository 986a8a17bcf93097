// LoadConfiguration: the document from the bank's server (with its cached copy) or from a local file.
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "config/config.h"
#include "net/http.h"
#include "platform/fs/fs.h"
#include "platform/registry/registry.h"
#include "platform/text/text.h"
#include "util/digest.h"
#include "util/file_helpers.h"

namespace Kestrilon::Config {
namespace {

using Platform::E_FAIL;

constexpr std::u16string_view kExplorerKey = u"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\";

bool StartsWithHttp(std::u16string_view source) {
  return source.size() >= 4 && Platform::EqualsIgnoreCase(source.substr(0, 4), u"http");
}

// The image user's Internet cache folder (a Windows path), as the shell keeps it: User Shell Folders
// (possibly with %VARIABLES%), else Shell Folders. Empty when neither names it.
std::u16string InternetCacheFolder() {
  for (std::u16string_view folders : {u"User Shell Folders", u"Shell Folders"}) {
    Platform::RegistryKey key;
    if (Platform::RegistryKey::Open(Platform::HKEY_CURRENT_USER, std::u16string(kExplorerKey) + std::u16string(folders),
                                    Platform::KEY_QUERY_VALUE, key) != Platform::ERROR_SUCCESS)
      continue;
    std::u16string value;
    if (key.GetString(u"Cache", value) != Platform::ERROR_SUCCESS || value.empty()) continue;
    std::u16string expanded = Util::ExpandEnvironmentPath(value);
    if (!expanded.empty()) return expanded;
  }
  return {};
}

// The URL up to and including its last '/', all of it when there is none.
std::string BaseOf(std::string_view url) {
  const size_t slash = url.rfind('/');
  return std::string(slash == std::string_view::npos ? url : url.substr(0, slash + 1));
}

bool ParseInto(Configuration& config, std::string body) { return config.ParseDocument(std::move(body)); }

int32_t LoadFromNetwork(Configuration& config, std::u16string_view url) {
  std::string body;
  int32_t status = 0;
  HRESULT result = Network::AssistantHttp().FetchToMemory(url, body, &status);
  // An error page is no configuration: it must neither be parsed nor replace the cached copy.
  const bool downloaded = Platform::Succeeded(result) && status > 0 && status < 400;

  const std::string utf8Url = Platform::ToUtf8(url);
  config.SetDocumentAttribute("base", BaseOf(utf8Url));

  const std::u16string cachePath = CachedCopyPath(url);
  bool fromCache = false;
  if (!downloaded) {
    body.clear();
    result = cachePath.empty() ? E_FAIL
                               : Util::ReadWholeFile(cachePath, body,
                                                     Util::FILE_ATTRIBUTE_HIDDEN | Util::FILE_ATTRIBUTE_SYSTEM);
    fromCache = true;
  }
  if (Platform::Failed(result)) return result;
  // Parsed before it is cached, so that a body that is no configuration (a portal's page answering
  // 200) never replaces a good cached copy.
  if (!ParseInto(config, fromCache ? std::move(body) : std::string(body))) return E_FAIL;
  if (!fromCache && !cachePath.empty()) {
    // The folder may not exist yet in a fresh profile; the write itself replaces the file atomically.
    std::error_code ignored;
    std::filesystem::create_directories(Platform::ToHostPath(cachePath).parent_path(), ignored);
    (void)Util::WriteWholeFile(cachePath, body, Util::FILE_ATTRIBUTE_HIDDEN | Util::FILE_ATTRIBUTE_SYSTEM);
  }
  return fromCache ? Platform::S_FALSE : Platform::S_OK;
}

int32_t LoadFromFile(Configuration& config, std::u16string_view path) {
  std::string body;
  const HRESULT result = Util::ReadWholeFile(path, body, Util::FILE_ATTRIBUTE_NORMAL);
  if (Platform::Failed(result)) return result;
  return ParseInto(config, std::move(body)) ? Platform::S_OK : E_FAIL;
}

}  // namespace

std::u16string CachedCopyPath(std::u16string_view url) {
  const std::u16string folder = InternetCacheFolder();
  if (folder.empty()) return {};
  std::u16string path = folder;
  if (path.back() != u'\\' && path.back() != u'/') path += u'\\';
  return path + u"Content.IE5\\" + Platform::ToUtf16(Util::Md5Hex(Platform::ToUtf8(url))) + u".mdc";
}

int32_t LoadConfiguration(std::u16string_view source) {
  Configuration& config = TheConfiguration();
  config.Clear();
  try {
    return StartsWithHttp(source) ? LoadFromNetwork(config, source) : LoadFromFile(config, source);
  } catch (...) {  // out of memory on a huge document
    return Platform::E_OUTOFMEMORY;
  }
}

}  // namespace Kestrilon::Config
