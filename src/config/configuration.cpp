// The in-memory configuration and the reading of the document into it.
#include <string>

#include "config/config.h"

namespace Kestrilon::Config {
namespace {

const std::string kEmpty;

std::string FoldName(std::string_view name) {
  std::string folded(name);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  return folded;
}

void ReadAttributes(const XmlDocument& doc, AttributeMap& attributes) {
  std::string name;
  std::string value;
  for (uint32_t i = 0; doc.GetAttributeAt(i, name, value); ++i) attributes.Set(name, std::move(value));
}

ConfigEntry ReadEntry(const XmlDocument& doc) {
  ConfigEntry entry;
  entry.text = doc.GetText();
  ReadAttributes(doc, entry.attributes);
  return entry;
}

// Every child named `name` from the current scan position on.
void ReadEntries(XmlDocument& doc, std::string_view name, std::vector<ConfigEntry>& entries) {
  while (doc.FindElement(name)) entries.push_back(ReadEntry(doc));
}

}  // namespace

void AttributeMap::Set(std::string_view name, std::string value) {
  if (value.empty()) return;
  values_.insert_or_assign(FoldName(name), std::move(value));
}

const std::string& AttributeMap::Get(std::string_view lowerName) const {
  const auto found = values_.find(lowerName);
  return found == values_.end() ? kEmpty : found->second;
}

void Configuration::Clear() {
  documentAttributes_.Clear();
  groups_.clear();
  data_.clear();
  items_.clear();
  update_ = ConfigItem();
}

bool Configuration::ParseDocument(std::string text) {
  XmlDocument doc;
  if (!doc.Parse(std::move(text))) return false;
  if (!doc.FindElement("checkitems")) return false;
  ReadAttributes(doc, documentAttributes_);
  doc.EnterElement();

  while (doc.FindElement("config")) {
    const std::string type = doc.GetAttribute("type");
    ConfigGroup* group = FindGroup(type);
    if (group == nullptr) group = &groups_.emplace_back(ConfigGroup{type, {}});
    doc.EnterElement();
    ReadEntries(doc, "entry", group->entries);
    doc.LeaveElement();
  }

  doc.ResetSiblingScan();
  while (doc.FindElement("data")) data_.insert_or_assign(doc.GetAttribute("name"), doc.GetText());

  // The scan goes on after the last data element: items before it are not read.
  while (doc.FindElement("item")) {
    ConfigItem& item = items_.emplace_back();
    ReadAttributes(doc, item.attributes);
    doc.EnterElement();
    ReadEntries(doc, "detect", item.detect);
    doc.ResetSiblingScan();
    ReadEntries(doc, "installer", item.installer);
    doc.ResetSiblingScan();
    ReadEntries(doc, "uninstaller", item.uninstaller);
    doc.LeaveElement();
  }

  doc.ResetSiblingScan();
  while (doc.FindElement("appinfo")) {
    ReadAttributes(doc, update_.attributes);
    doc.EnterElement();
    ReadEntries(doc, "detect", update_.detect);
    doc.ResetSiblingScan();
    ReadEntries(doc, "installer", update_.installer);
    doc.LeaveElement();
  }
  return true;
}

ConfigGroup* Configuration::FindGroup(std::string_view type) {
  for (ConfigGroup& group : groups_)
    if (group.type == type) return &group;
  return nullptr;
}

const ConfigGroup* Configuration::FindGroup(std::string_view type) const {
  return const_cast<Configuration*>(this)->FindGroup(type);
}

ConfigItem* Configuration::GetItem(size_t index) { return index < items_.size() ? &items_[index] : nullptr; }

const std::string& Configuration::GetDocumentAttribute(std::string_view lowerName) const {
  return documentAttributes_.Get(lowerName);
}

void Configuration::SetDocumentAttribute(std::string_view name, std::string value) {
  documentAttributes_.Set(name, std::move(value));
}

const std::string& Configuration::GetDataValue(std::string_view name) const {
  const auto found = data_.find(name);
  return found == data_.end() ? kEmpty : found->second;
}

std::string Configuration::ResolveUrl(std::string_view url) const {
  if (url.empty() || url.find("://") != std::string_view::npos) return std::string(url);
  return GetDocumentAttribute("base") + std::string(url);
}

Configuration& TheConfiguration() {
  static Configuration configuration;
  return configuration;
}

}  // namespace Kestrilon::Config
