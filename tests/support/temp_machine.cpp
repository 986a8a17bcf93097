#include "support/temp_machine.h"

#include <stdexcept>

#include "platform/machine/machine_image.h"

namespace Kestrilon::Testing {

TempMachine::TempMachine(const std::string& profile) : dir_("kestrilon-machine"), root_(dir_.Path() / "machine") {
  std::string error;
  if (!Platform::MachineImage::Create(root_, profile, false, &error))
    throw std::runtime_error("cannot create a machine image: " + error);
  Platform::MachineImage::UseDirectory(root_);
}

std::filesystem::path TempMachine::DriveC(const std::string& relative) const {
  return relative.empty() ? root_ / "drive_c" : root_ / "drive_c" / relative;
}

}  // namespace Kestrilon::Testing
