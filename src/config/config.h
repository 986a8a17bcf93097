#pragma once
// Remote configuration: the bank's configuration document, the process-wide in-memory Configuration
// built from it, the loader (network, file, cached copy) and the commands get_config and get_data.
//
// The document is read with XmlDocument (config/xml_document.h). Attribute values and texts stay UTF-8
// byte strings; they become UTF-16 only where they are handed to the page or the system.
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "config/xml_document.h"
#include "platform/status.h"
#include "ui/host/script_value.h"

namespace Kestrilon::Config {

using Platform::HRESULT;

// Attributes by lower-cased name. Set folds the name (A-Z to a-z), skips an empty value, and lets a
// later value replace an earlier one; Get answers the empty string for a missing name.
class AttributeMap {
 public:
  void Set(std::string_view name, std::string value);
  const std::string& Get(std::string_view lowerName) const;
  bool Contains(std::string_view lowerName) const { return values_.find(lowerName) != values_.end(); }
  size_t Size() const { return values_.size(); }
  void Clear() { values_.clear(); }
  const std::map<std::string, std::string, std::less<>>& Values() const { return values_; }

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

// Keys the installation run keeps in an entry's attributes; no XML attribute can have these names.
inline constexpr std::string_view kDownloadNotifyKey = "<downloadnotify>";
inline constexpr std::string_view kParaKey = "<para>";

// One entry, detect, installer or uninstaller element.
struct ConfigEntry {
  int32_t result = 0;  // last check or fix result on this entry; 0 after loading
  std::string text;
  AttributeMap attributes;
  const std::string& Attribute(std::string_view lowerName) const { return attributes.Get(lowerName); }
};

// The entries of every config element with one type, in document order.
struct ConfigGroup {
  std::string type;
  std::vector<ConfigEntry> entries;
};

// One item element (software the page lists), or the update record built from the appinfo elements.
struct ConfigItem {
  AttributeMap attributes;
  std::vector<ConfigEntry> detect;
  std::vector<ConfigEntry> installer;
  std::vector<ConfigEntry> uninstaller;
  const std::string& Attribute(std::string_view lowerName) const { return attributes.Get(lowerName); }
};

class Configuration {
 public:
  void Clear();
  // Builds the configuration from a document's text (on top of what it holds; Clear first for a fresh
  // one). False when the text is not well-formed or its root is not checkitems; the configuration may
  // then be partly filled.
  bool ParseDocument(std::string text);

  ConfigGroup* FindGroup(std::string_view type);
  const ConfigGroup* FindGroup(std::string_view type) const;
  const std::vector<ConfigGroup>& Groups() const { return groups_; }
  ConfigItem* GetItem(size_t index);  // null when index is not below ItemCount()
  size_t ItemCount() const { return items_.size(); }
  const std::string& GetDocumentAttribute(std::string_view lowerName) const;
  void SetDocumentAttribute(std::string_view name, std::string value);
  const std::string& GetDataValue(std::string_view name) const;
  // An empty value or one containing "://" unchanged; anything else appended to the attribute base.
  std::string ResolveUrl(std::string_view url) const;
  ConfigItem& GetUpdateRecord() { return update_; }
  const ConfigItem& GetUpdateRecord() const { return update_; }

 private:
  AttributeMap documentAttributes_;
  std::vector<ConfigGroup> groups_;
  std::map<std::string, std::string, std::less<>> data_;
  std::vector<ConfigItem> items_;
  ConfigItem update_;
};

// The process-wide configuration: empty at start, rebuilt by every load, lives until the process ends.
Configuration& TheConfiguration();

// Loads the process-wide configuration from `source`: an http(s) URL (the scheme compared without
// case), else a local Windows or host path. 0 loaded from the network or the file, 1 loaded from the
// cached copy after the download failed, negative on failure.
int32_t LoadConfiguration(std::u16string_view source);

// Where the cached copy of the document at `url` is kept: <the image user's Internet cache folder>
// \Content.IE5\<lower-case hex MD5 of the URL's UTF-8>.mdc, as a host path; empty when the cache
// folder is unknown.
std::u16string CachedCopyPath(std::u16string_view url);

// The document's address when the setting ConfigUrl is empty.
inline constexpr std::u16string_view kDefaultConfigUrl =
    u"https://assistant.kestrilon-bank.example/config/assistant.xml";

// get_config: loads from `configUrlSetting` (the setting ConfigUrl; empty means the default address),
// publishes every item to the page (setItemInfo with name, type, keyid, flag) and calls isAnyKeyConnect.
// On failure shows "获取配置失败，请检查您的网络。" and calls `quit`. The result is always empty.
UI::ScriptValue GetConfigCommand(std::u16string_view configUrlSetting, const std::function<void()>& quit);
// get_data(name): the text of the data element `name` (empty when none); empty result for a non-string.
UI::ScriptValue GetDataCommand(const UI::ScriptValue& name);

}  // namespace Kestrilon::Config
