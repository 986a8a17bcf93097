// Finding the program of a command line the way CreateProcessW does, over the image's paths.
#include <cstdlib>
#include <system_error>

#include "platform/fs/fs.h"
#include "platform/process/command_line_internal.h"
#include "platform/process/process.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {
namespace {

namespace fs = std::filesystem;

bool IsFile(const fs::path& path) {
  std::error_code error;
  return !path.empty() && fs::is_regular_file(path, error);
}

bool HasExtension(std::u16string_view name) {
  const size_t slash = name.find_last_of(u"\\/");
  const size_t dot = name.find_last_of(u'.');
  return dot != std::u16string_view::npos && (slash == std::u16string_view::npos || dot > slash);
}

// The file for a program text, the name as given first and then with ".exe".
std::optional<fs::path> FindProgram(std::u16string_view program) {
  if (program.empty()) return std::nullopt;
  std::vector<std::u16string> names = {std::u16string(program)};
  if (!HasExtension(program)) names.push_back(std::u16string(program) + u".exe");

  const bool hasFolder = program.find_first_of(u"\\/:") != std::u16string_view::npos;
  if (hasFolder) {
    for (const auto& name : names)
      if (fs::path host = ToHostPath(name); IsFile(host)) return host;
    return std::nullopt;
  }
  std::vector<fs::path> folders;
  folders.push_back(ModuleFileName().parent_path());
  std::error_code error;
  folders.push_back(fs::current_path(error));
  // Through the image, so that case and the System32 redirection apply.
  for (const char16_t* windowsFolder : {u"C:\\Windows\\System32", u"C:\\Windows"})
    for (const auto& name : names)
      if (fs::path host = ToHostPath(std::u16string(windowsFolder) + u"\\" + name); IsFile(host)) return host;
  if (const char* path = std::getenv("PATH")) {
    std::string_view list(path);
    while (!list.empty()) {
      const size_t colon = list.find(':');
      const std::string_view entry = list.substr(0, colon);
      if (!entry.empty()) folders.emplace_back(std::string(entry));
      if (colon == std::string_view::npos) break;
      list.remove_prefix(colon + 1);
    }
  }
  for (const fs::path& folder : folders) {
    if (folder.empty()) continue;
    for (const auto& name : names)
      if (fs::path candidate = folder / ToUtf8(name); IsFile(candidate)) return candidate;
  }
  return std::nullopt;
}

ResolvedCommand MakeCommand(const fs::path& program, std::u16string_view rest) {
  ResolvedCommand command;
  command.program = program;
  command.argv.push_back(program.string());
  std::vector<std::u16string> arguments;
  SplitArgumentsAfterProgram(rest, arguments);
  for (const auto& argument : arguments) command.argv.push_back(ToUtf8(argument));
  return command;
}

}  // namespace

std::optional<ResolvedCommand> ResolveCommandLine(std::u16string_view commandLine) {
  while (!commandLine.empty() && (commandLine[0] == u' ' || commandLine[0] == u'\t')) commandLine.remove_prefix(1);
  if (commandLine.empty()) return std::nullopt;
  if (commandLine[0] == u'"') {
    std::u16string program;
    const size_t rest = SplitProgram(commandLine, &program);
    if (auto host = FindProgram(program)) return MakeCommand(*host, commandLine.substr(rest));
    return std::nullopt;
  }
  // Unquoted: try the text up to each blank in turn, "C:\Program" before "C:\Program Files\X\a.exe".
  for (size_t end = 0; end <= commandLine.size(); ++end) {
    if (end < commandLine.size() && commandLine[end] != u' ' && commandLine[end] != u'\t') continue;
    if (auto host = FindProgram(commandLine.substr(0, end))) return MakeCommand(*host, commandLine.substr(end));
  }
  return std::nullopt;
}

}  // namespace Kestrilon::Platform
