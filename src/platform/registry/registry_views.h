#pragma once
// Where a key named by a program lives in the store (private to platform/registry).
//
// The 32-bit view of 64-bit Windows keeps its own copy of HKLM\Software under Wow6432Node, except for
// the keys Windows shares between both views (Classes, Clients, Policies, RegisteredApplications,
// Microsoft\SystemCertificates, Microsoft\Windows NT\CurrentVersion\ProfileList). Under Classes (of HKLM, of HKCU and so HKCR) only the COM
// registrations are split: CLSID, DirectShow, Interface, Media Type and MediaFoundation.
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace Kestrilon::Platform {

// One place in the store: the root token ("HKLM" or "HKU") and the components below it.
struct StorePath {
  std::string rootToken;
  std::vector<std::u16string> components;
  std::string Folded() const;  // the store's key path
};

// The key a program names (root and components as given), in the view asked for. HKCR gives two:
// the user's part (first) and the machine's; every other root gives one.
std::vector<StorePath> MapToStore(RegistryRoot root, const std::vector<std::u16string>& logical, bool view32,
                                  std::u16string_view userSid);

// The name reg.exe prints for that key: the root's long name and the components as the view maps them.
std::u16string DisplayName(RegistryRoot root, const std::vector<std::u16string>& logical, bool view32);

// Splits "A\B\C" into its components; false for an empty component or one longer than 255 characters.
// A single trailing backslash is allowed.
bool SplitKeyPath(std::u16string_view path, std::vector<std::u16string>& components);

}  // namespace Kestrilon::Platform
