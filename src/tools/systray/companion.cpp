#include "tools/systray/companion.h"

#include <charconv>

#include "platform/text/text.h"

namespace Kestrilon::Companion {
namespace {

bool ParseNumber(const std::string& text, unsigned& out) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

bool ParseArguments(const std::vector<std::string>& argv, Arguments& arguments) {
  if (argv.size() != 6 || argv[1].empty() || argv[1].find('/') != std::string::npos) return false;
  arguments.program = argv[1];
  return ParseNumber(argv[2], arguments.launchTextId) && ParseNumber(argv[3], arguments.titleId) &&
         ParseNumber(argv[4], arguments.iconId) && ParseNumber(argv[5], arguments.textSet);
}

std::u16string StartCommandLine(const std::string& companionFolder, const Arguments& arguments, const std::string& word) {
  std::string folder = companionFolder;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return Platform::ToUtf16("\"" + folder + arguments.program + "\" " + word);
}

}  // namespace Kestrilon::Companion
