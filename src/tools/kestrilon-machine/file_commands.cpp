// kestrilon-machine path, version and mkpe.
#include <cstdio>
#include <string>

#include "platform/fs/fs.h"
#include "platform/pe/pe.h"
#include "platform/text/text.h"
#include "tools/kestrilon-machine/file_commands.h"

namespace Kestrilon::Tools {
namespace {

using namespace Platform;

int Usage(const char* usage) {
  std::fprintf(stderr, "usage: kestrilon-machine %s\n", usage);
  return 1;
}

}  // namespace

int RunPath(const Arguments& args) {
  constexpr const char* kUsage = "path [--native] WINPATH   (--native: as with the thread's redirection off)";
  bool native = false;
  std::string windowsPath;
  for (const std::string& arg : args) {
    if (arg == "--native") {
      native = true;
    } else if (windowsPath.empty() && !arg.empty()) {
      windowsPath = arg;
    } else {
      return Usage(kUsage);
    }
  }
  if (windowsPath.empty()) return Usage(kUsage);
  void* previous = nullptr;
  const bool switched = native && Wow64DisableFsRedirection(&previous);
  const auto host = ToHostPath(ToUtf16(windowsPath));
  if (switched) Wow64RevertFsRedirection(previous);
  if (host.empty()) {
    std::fprintf(stderr, "kestrilon-machine path: %s names no drive of the image\n", windowsPath.c_str());
    return 1;
  }
  std::printf("%s\n", host.c_str());
  return 0;
}

int RunVersion(const Arguments& args) {
  if (args.size() != 1 || args[0].empty()) return Usage("version FILE");
  const auto host = ToHostPath(ToUtf16(args[0]));
  FixedFileInfo info;
  if (host.empty() || !ReadFixedFileInfo(host, &info)) {
    std::fprintf(stderr, "kestrilon-machine version: %s has no version block\n", args[0].c_str());
    return 1;
  }
  std::printf("%s\n", FileVersionText(info).c_str());
  return 0;
}

int RunMkpe(const Arguments& args) {
  constexpr const char* kUsage = "mkpe --version a.b.c.d [--pe64] [--dll] OUT";
  std::string version, out;
  bool pe64 = false, dll = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--version" && i + 1 < args.size()) {
      version = args[++i];
    } else if (args[i].rfind("--version=", 0) == 0) {
      version = args[i].substr(10);
    } else if (args[i] == "--pe64") {
      pe64 = true;
    } else if (args[i] == "--dll") {
      dll = true;
    } else if (out.empty() && !args[i].empty() && args[i][0] != '-') {
      out = args[i];
    } else {
      return Usage(kUsage);
    }
  }
  if (version.empty() || out.empty()) return Usage(kUsage);
  const auto info = ParseFixedFileInfo(version, dll ? VFT_DLL : VFT_APP);
  if (!info) {
    std::fprintf(stderr, "kestrilon-machine mkpe: %s is not a version a.b.c.d (each 0-65535)\n", version.c_str());
    return 1;
  }
  const auto host = ToHostPath(ToUtf16(out));
  if (host.empty() || !WritePeWithVersion(host, *info, pe64)) {
    std::fprintf(stderr, "kestrilon-machine mkpe: cannot write %s\n", out.c_str());
    return 1;
  }
  return 0;
}

}  // namespace Kestrilon::Tools
