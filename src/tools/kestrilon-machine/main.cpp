// kestrilon-machine: inspects and changes a machine image.
//   kestrilon-machine [--machine DIR] COMMAND [ARGS...]
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/machine/machine_image.h"
#include "tools/kestrilon-machine/commands.h"
#include "tools/kestrilon-machine/file_commands.h"

namespace {

using Kestrilon::Tools::Arguments;

struct Command {
  const char* name;
  int (*run)(const Arguments&);
  const char* usage;
};

// One line per sub-command.
const Command kCommands[] = {
    {"init", Kestrilon::Tools::RunInit, "init [--profile NAME] [--force]   create the image"},
    {"reg", Kestrilon::Tools::RunReg, "reg query|add|delete|import|export ...   the registry, as reg.exe"},
    {"path", Kestrilon::Tools::RunPath, "path [--native] WINPATH   the host path of a Windows path"},
    {"version", Kestrilon::Tools::RunVersion, "version FILE   the file version a.b.c.d of a PE file"},
    {"mkpe", Kestrilon::Tools::RunMkpe, "mkpe --version a.b.c.d [--pe64] [--dll] OUT   write a PE file with that version"},
    {"usb", Kestrilon::Tools::RunUsb, "usb   the ids of the attached USB devices, as key detection sees them"},
};

void PrintUsage(FILE* out) {
  std::fprintf(out, "usage: kestrilon-machine [--machine DIR] COMMAND [ARGS...]\n"
                    "The image is DIR, else $KESTRILON_MACHINE, else ~/.local/share/kestrilon/machine.\n"
                    "Commands:\n");
  for (const Command& command : kCommands) std::fprintf(out, "  %s\n", command.usage);
}

}  // namespace

int main(int argc, char** argv) {
  int index = 1;
  while (index < argc && argv[index][0] == '-') {
    std::string option = argv[index];
    if (option == "--machine" && index + 1 < argc) {
      Kestrilon::Platform::MachineImage::UseDirectory(argv[index + 1]);
      index += 2;
    } else if (option.rfind("--machine=", 0) == 0) {
      Kestrilon::Platform::MachineImage::UseDirectory(option.substr(10));
      ++index;
    } else if (option == "--help" || option == "-h") {
      PrintUsage(stdout);
      return 0;
    } else {
      std::fprintf(stderr, "kestrilon-machine: unknown option %s\n", option.c_str());
      PrintUsage(stderr);
      return 1;
    }
  }
  if (index >= argc) {
    PrintUsage(stderr);
    return 1;
  }
  for (const Command& command : kCommands) {
    if (std::strcmp(command.name, argv[index]) == 0)
      return command.run(Arguments(argv + index + 1, argv + argc));
  }
  std::fprintf(stderr, "kestrilon-machine: unknown command %s\n", argv[index]);
  PrintUsage(stderr);
  return 1;
}
