#pragma once
// Fills a new image folder (private to platform/machine).
#include <filesystem>
#include <string>

#include "platform/machine/machine_profiles.h"

namespace Kestrilon::Platform {

inline constexpr const char* kProfileFileName = "profile.json";
inline constexpr const char* kRegistryFileName = "registry.db";

// Writes the drive tree, the registry and profile.json of a machine with `definition` into the empty
// folder `root`. False with a reason when something cannot be written.
bool BuildImage(const std::filesystem::path& root, const ProfileDefinition& definition,
                const std::u16string& userName, std::string* error);

// The Windows user name a new image gets: the user who elevated (SUDO_USER, PKEXEC_UID's name), else the
// Linux user's name, else "user"; characters Windows forbids in names become '_'.
std::u16string ChooseUserName();

// The folder of the running program (where the tools sit beside the assistant).
std::filesystem::path ProgramFolder();

}  // namespace Kestrilon::Platform
