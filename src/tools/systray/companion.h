#pragma once
// The tray companion's arguments and the command lines its menu starts.
#include <string>
#include <vector>

namespace Kestrilon::Companion {

struct Arguments {
  std::string program;      // the assistant's file name, in the companion's folder
  unsigned launchTextId = 0;
  unsigned titleId = 0;
  unsigned iconId = 0;
  unsigned textSet = 0;
};

// argv as the assistant's exit builds it: program file name, 103, 102, 199, 0. False when it is not that.
bool ParseArguments(const std::vector<std::string>& argv, Arguments& arguments);

// The words of the assistant's start-up the menu offers, in menu order.
inline constexpr const char* kStartWords[] = {"scan", "ukey", "quicklink", "help"};

// The command line that starts the assistant beside the companion with one start-up word.
std::u16string StartCommandLine(const std::string& companionFolder, const Arguments& arguments, const std::string& word);

}  // namespace Kestrilon::Companion
