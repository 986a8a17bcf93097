#include <cstdio>
#include <string>

#include "platform/machine/machine_image.h"
#include "tools/kestrilon-machine/commands.h"

namespace Kestrilon::Tools {

int RunInit(const Arguments& args) {
  std::string profile = "win10-x64";
  bool force = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--profile" && i + 1 < args.size()) {
      profile = args[++i];
    } else if (args[i].rfind("--profile=", 0) == 0) {
      profile = args[i].substr(10);
    } else if (args[i] == "--force") {
      force = true;
    } else {
      std::fprintf(stderr, "usage: kestrilon-machine init [--profile NAME] [--force]\nprofiles:");
      for (const std::string& name : Platform::MachineImage::ProfileNames()) std::fprintf(stderr, " %s", name.c_str());
      std::fprintf(stderr, "\n");
      return 1;
    }
  }
  auto root = Platform::MachineImage::DefaultDirectory();
  std::string error;
  if (!Platform::MachineImage::Create(root, profile, force, &error)) {
    std::fprintf(stderr, "kestrilon-machine init: %s\n", error.c_str());
    return 1;
  }
  std::printf("created %s (%s)\n", root.c_str(), profile.c_str());
  return 0;
}

}  // namespace Kestrilon::Tools
