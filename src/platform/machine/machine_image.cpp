#include "platform/machine/machine_image.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/machine/image_builder.h"
#include "platform/machine/machine_profiles.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDefaultProfile = "win10-x64";
constexpr int kExitCannotOpenImage = 70;  // EX_SOFTWARE

bool IsImage(const fs::path& root) {
  std::error_code ec;
  return fs::is_regular_file(root / kProfileFileName, ec);
}

bool IsEmptyOrMissing(const fs::path& root) {
  std::error_code ec;
  if (!fs::exists(root, ec)) return true;
  return fs::is_directory(root, ec) && fs::is_empty(root, ec);
}

// A fresh sibling folder to build a new image in, so that others never see a half-made one.
fs::path StagingFolder(const fs::path& root) {
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  return root.parent_path() /
         ("." + root.filename().string() + ".new-" + std::to_string(getpid()) + "-" +
          std::to_string(counter++) + "-" + std::to_string(random()));
}

enum class Placed { Done, Failed, SomeoneElse };

// Builds the image beside `root` and moves it into place in one rename.
Placed BuildInPlace(const fs::path& root, const ProfileDefinition& definition, std::string* error) {
  std::error_code ec;
  fs::path parent = root.parent_path();
  if (!parent.empty()) fs::create_directories(parent, ec);
  if (ec) {
    if (error) *error = "cannot create " + parent.string() + ": " + ec.message();
    return Placed::Failed;
  }
  fs::path staging = StagingFolder(root);
  fs::create_directory(staging, ec);
  if (ec) {
    if (error) *error = "cannot create " + staging.string() + ": " + ec.message();
    return Placed::Failed;
  }
  if (!BuildImage(staging, definition, ChooseUserName(), error)) {
    fs::remove_all(staging, ec);
    return Placed::Failed;
  }
  // rename() replaces an empty folder and refuses a non-empty one, so of two processes creating the
  // same image at once exactly one wins and the other uses the winner's.
  if (std::rename(staging.c_str(), root.c_str()) != 0) {
    int err = errno;
    fs::remove_all(staging, ec);
    if (IsImage(root)) return Placed::SomeoneElse;
    if (error) *error = "cannot move the new image to " + root.string() + ": " + std::generic_category().message(err);
    return Placed::Failed;
  }
  return Placed::Done;
}

template <typename T>
void ReadField(const nlohmann::json& json, const char* name, T& field) {
  if (auto it = json.find(name); it != json.end() && !it->is_null()) field = it->get<T>();
}

void ReadText(const nlohmann::json& json, const char* name, std::u16string& field) {
  if (auto it = json.find(name); it != json.end() && it->is_string()) field = ToUtf16(it->get<std::string>());
}

}  // namespace

class MachineImageLoader {
 public:
  static std::unique_ptr<MachineImage> Load(const fs::path& root, std::string* error) {
    std::ifstream in(root / kProfileFileName, std::ios::binary);
    if (!in) {
      if (error) *error = "cannot read " + (root / kProfileFileName).string();
      return nullptr;
    }
    nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains("profile") || !json["profile"].is_string()) {
      if (error) *error = (root / kProfileFileName).string() + " is not a machine profile";
      return nullptr;
    }
    std::unique_ptr<MachineImage> image(new MachineImage());
    image->root_ = root;
    MachineProfile& p = image->profile_;
    std::string name = json["profile"].get<std::string>();
    if (const ProfileDefinition* known = FindProfileDefinition(name)) p = known->profile;
    p.name = name;
    try {
      ReadField(json, "native64", p.native64);
      ReadField(json, "wow64Process", p.wow64Process);
      ReadField(json, "majorVersion", p.majorVersion);
      ReadField(json, "minorVersion", p.minorVersion);
      ReadField(json, "buildNumber", p.buildNumber);
      ReadField(json, "servicePackMajor", p.servicePackMajor);
      ReadField(json, "servicePackMinor", p.servicePackMinor);
      ReadField(json, "productType", p.productType);
      ReadField(json, "suiteMask", p.suiteMask);
      ReadText(json, "productName", p.productName);
      ReadText(json, "csdVersion", p.csdVersion);
      ReadText(json, "ieVersion", p.ieVersion);
      ReadText(json, "user", image->userName_);
    } catch (const nlohmann::json::exception& e) {
      if (error) *error = (root / kProfileFileName).string() + ": " + e.what();
      return nullptr;
    }
    p.wow64Process = p.wow64Process && p.native64;  // only 64-bit Windows runs 32-bit programs under WOW64
    if (image->userName_.empty()) image->userName_ = u"user";
    return image;
  }
};

namespace {

struct CurrentState {
  std::mutex mutex;
  std::optional<fs::path> chosen;
  MachineImage* current = nullptr;
  // Replaced images stay alive: references handed out earlier must remain valid.
  std::vector<std::unique_ptr<MachineImage>> images;
};

fs::path EnvironmentDirectory() {
  if (const char* machine = std::getenv("KESTRILON_MACHINE"); machine && *machine) return machine;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) return fs::path(data) / "kestrilon" / "machine";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/tmp") / ".local" / "share" / "kestrilon" / "machine";
}

CurrentState& State() {
  static CurrentState* state = new CurrentState();  // never destroyed: used until the process ends
  return *state;
}

std::unique_ptr<MachineImage> OpenOrCreate(const fs::path& root, std::string* error) {
  if (!IsImage(root)) {
    if (!IsEmptyOrMissing(root)) {
      if (error) *error = root.string() + " is not a machine image (no " + kProfileFileName + ")";
      return nullptr;
    }
    if (BuildInPlace(root, *FindProfileDefinition(kDefaultProfile), error) == Placed::Failed) return nullptr;
  }
  return MachineImageLoader::Load(root, error);
}

}  // namespace

MachineImage& MachineImage::Current() {
  CurrentState& state = State();
  std::lock_guard lock(state.mutex);
  if (state.current) return *state.current;
  fs::path root = state.chosen ? *state.chosen : EnvironmentDirectory();
  std::string error;
  std::unique_ptr<MachineImage> image = OpenOrCreate(root, &error);
  if (!image) {
    std::fprintf(stderr, "kestrilon: cannot open the machine image %s: %s\n", root.c_str(), error.c_str());
    std::exit(kExitCannotOpenImage);
  }
  state.current = image.get();
  state.images.push_back(std::move(image));
  return *state.current;
}

void MachineImage::UseDirectory(const fs::path& root) {
  CurrentState& state = State();
  std::lock_guard lock(state.mutex);
  std::error_code ec;
  fs::path absolute = fs::absolute(root, ec);
  state.chosen = ec ? root : absolute;
  state.current = nullptr;
}

fs::path MachineImage::DefaultDirectory() {
  CurrentState& state = State();
  std::lock_guard lock(state.mutex);
  return state.chosen ? *state.chosen : EnvironmentDirectory();
}

bool MachineImage::Create(const fs::path& root, const std::string& profileName, bool force, std::string* error) {
  const ProfileDefinition* definition = FindProfileDefinition(profileName);
  if (!definition) {
    if (error) {
      *error = "unknown profile \"" + profileName + "\" (known:";
      for (const std::string& name : ProfileNames()) *error += " " + name;
      *error += ")";
    }
    return false;
  }
  std::error_code ec;
  if (IsImage(root)) {
    if (!force) {
      if (error) *error = root.string() + " already holds a machine image (--force replaces it)";
      return false;
    }
    fs::remove_all(root, ec);
    if (ec) {
      if (error) *error = "cannot remove " + root.string() + ": " + ec.message();
      return false;
    }
  } else if (!IsEmptyOrMissing(root)) {
    // Never remove a folder that is not an image, whatever --force says.
    if (error) *error = root.string() + " exists and is not a machine image";
    return false;
  }
  switch (BuildInPlace(root, *definition, error)) {
    case Placed::Done:
      return true;
    case Placed::SomeoneElse:
      if (error) *error = root.string() + " was created by another process meanwhile";
      return false;
    case Placed::Failed:
      return false;
  }
  return false;
}

std::vector<std::string> MachineImage::ProfileNames() {
  std::vector<std::string> names;
  for (const ProfileDefinition& definition : ProfileDefinitions()) names.push_back(definition.profile.name);
  return names;
}

fs::path MachineImage::RegistryDatabasePath() const { return root_ / kRegistryFileName; }

fs::path MachineImage::DriveRoot(char letter) const {
  if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
  if (letter < 'a' || letter > 'z') return {};
  fs::path drive = root_ / "dosdevices" / (std::string(1, letter) + ":");
  std::error_code ec;
  return fs::is_directory(drive, ec) ? drive : fs::path();
}

}  // namespace Kestrilon::Platform
