#pragma once
// The sub-commands of kestrilon-machine. Each takes the arguments after its own name and returns the
// process's exit status (0 success, 1 failure). The machine image is already chosen (--machine DIR or
// $KESTRILON_MACHINE) when a command runs; MachineImage::DefaultDirectory() names it.
#include <string>
#include <vector>

namespace Kestrilon::Tools {

using Arguments = std::vector<std::string>;

int RunInit(const Arguments& args);  // init [--profile NAME] [--force]
int RunReg(const Arguments& args);   // reg query|add|delete|import|export ...
int RunUsb(const Arguments& args);   // usb: the USB device ids key detection sees

}  // namespace Kestrilon::Tools
