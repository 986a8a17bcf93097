#include "platform/registry/registry_views.h"

#include "platform/registry/registry_database.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {

namespace {

constexpr std::u16string_view kWow6432Node = u"Wow6432Node";

bool Is(const std::vector<std::u16string>& components, size_t index, std::u16string_view name) {
  return index < components.size() && EqualsIgnoreCase(components[index], name);
}

// Below a Classes key starting at `start`: the COM registrations have a 32-bit copy.
void RedirectClasses(std::vector<std::u16string>& components, size_t start) {
  static constexpr std::u16string_view kSplit[] = {u"CLSID", u"DirectShow", u"Interface", u"Media Type",
                                                   u"MediaFoundation"};
  if (start >= components.size()) return;
  for (std::u16string_view name : kSplit) {
    if (EqualsIgnoreCase(components[start], name)) {
      components.insert(components.begin() + static_cast<std::ptrdiff_t>(start), std::u16string(kWow6432Node));
      return;
    }
  }
}

// HKLM\Software and below, `start` being the index of "Software".
void RedirectMachineSoftware(std::vector<std::u16string>& components, size_t start) {
  size_t next = start + 1;
  if (Is(components, next, kWow6432Node)) return;  // already the 32-bit copy
  if (Is(components, next, u"Classes")) return RedirectClasses(components, next + 1);
  static const std::vector<std::vector<std::u16string_view>> kShared = {
      {u"Clients"},
      {u"Policies"},
      {u"RegisteredApplications"},
      {u"Microsoft", u"SystemCertificates"},
      {u"Microsoft", u"Windows NT", u"CurrentVersion", u"ProfileList"},
  };
  for (const auto& shared : kShared) {
    bool match = true;
    for (size_t i = 0; i < shared.size() && match; ++i) match = Is(components, next + i, shared[i]);
    if (match) return;
  }
  components.insert(components.begin() + static_cast<std::ptrdiff_t>(next), std::u16string(kWow6432Node));
}

// HKCU-like trees (HKCU itself, HKU\<SID>): only Software\Classes is split.
void RedirectUserTree(std::vector<std::u16string>& components, size_t start) {
  if (Is(components, start, u"Software") && Is(components, start + 1, u"Classes"))
    RedirectClasses(components, start + 2);
}

std::vector<std::u16string> Concat(std::initializer_list<std::u16string_view> head,
                                   const std::vector<std::u16string>& tail) {
  std::vector<std::u16string> out;
  out.reserve(head.size() + tail.size());
  for (std::u16string_view part : head) out.emplace_back(part);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// The components as the chosen view sees them, still relative to the root the program named.
std::vector<std::u16string> ApplyView(RegistryRoot root, std::vector<std::u16string> components, bool view32) {
  if (!view32) return components;
  switch (root) {
    case RegistryRoot::LocalMachine:
      if (Is(components, 0, u"Software")) RedirectMachineSoftware(components, 0);
      break;
    case RegistryRoot::CurrentUser:
      RedirectUserTree(components, 0);
      break;
    case RegistryRoot::Users:
      if (!components.empty() && components[0].size() > 8 &&
          EqualsIgnoreCase(std::u16string_view(components[0]).substr(components[0].size() - 8), u"_Classes"))
        RedirectClasses(components, 1);
      else
        RedirectUserTree(components, 1);
      break;
    case RegistryRoot::ClassesRoot:
      RedirectClasses(components, 0);
      break;
  }
  return components;
}

}  // namespace

std::string StorePath::Folded() const {
  std::string path = rootToken;
  for (const std::u16string& component : components) {
    path += '\\';
    path += FoldName(ToUtf8(component));
  }
  return path;
}

std::vector<StorePath> MapToStore(RegistryRoot root, const std::vector<std::u16string>& logical, bool view32,
                                  std::u16string_view userSid) {
  std::vector<std::u16string> viewed = ApplyView(root, logical, view32);
  switch (root) {
    case RegistryRoot::LocalMachine:
      return {StorePath{"HKLM", std::move(viewed)}};
    case RegistryRoot::Users:
      return {StorePath{"HKU", std::move(viewed)}};
    case RegistryRoot::CurrentUser:
      return {StorePath{"HKU", Concat({userSid}, viewed)}};
    case RegistryRoot::ClassesRoot:
      return {StorePath{"HKU", Concat({userSid, u"Software", u"Classes"}, viewed)},
              StorePath{"HKLM", Concat({u"SOFTWARE", u"Classes"}, viewed)}};
  }
  return {};
}

std::u16string DisplayName(RegistryRoot root, const std::vector<std::u16string>& logical, bool view32) {
  std::u16string name;
  switch (root) {
    case RegistryRoot::ClassesRoot: name = u"HKEY_CLASSES_ROOT"; break;
    case RegistryRoot::CurrentUser: name = u"HKEY_CURRENT_USER"; break;
    case RegistryRoot::LocalMachine: name = u"HKEY_LOCAL_MACHINE"; break;
    case RegistryRoot::Users: name = u"HKEY_USERS"; break;
  }
  for (const std::u16string& component : ApplyView(root, logical, view32)) {
    name += u'\\';
    name += component;
  }
  return name;
}

bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string>& components) {
  components.clear();
  if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  if (path.empty()) return true;
  size_t start = 0;
  while (true) {
    size_t end = path.find(u'\\', start);
    std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
    if (part.empty() || part.size() > 255) return false;
    components.emplace_back(part);
    if (end == std::u16string_view::npos) return true;
    start = end + 1;
  }
}

}  // namespace Kestrilon::Platform
