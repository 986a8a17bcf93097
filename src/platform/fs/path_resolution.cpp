// Windows paths to host paths through the image's drives.
//
// A drive path is split into components, the System32 redirection of a 32-bit process is applied to the
// Windows form, and each component is then matched against the host folder without regard to ASCII
// case. Once a component does not exist, it and the rest keep the case given.
#include <system_error>
#include <vector>

#include "platform/fs/fs.h"
#include "platform/machine/machine_image.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {
namespace {

namespace fs = std::filesystem;

enum class PathKind { Linux, Drive, Relative, Unc };

struct ParsedPath {
  PathKind kind = PathKind::Relative;
  char drive = 0;  // lower case
  std::u16string_view rest;
};

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }
bool IsAsciiLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

ParsedPath Parse(std::u16string_view path) {
  ParsedPath parsed;
  // Win32 file namespace prefixes: \\?\C:\x and \??\C:\x name the same file as C:\x.
  if (path.starts_with(u"\\\\?\\") || path.starts_with(u"\\??\\")) {
    path.remove_prefix(4);
    if (path.size() >= 4 && EqualsIgnoreCase(path.substr(0, 3), u"UNC") && IsSeparator(path[3])) {
      parsed.kind = PathKind::Unc;
      return parsed;
    }
  } else if (path.size() >= 2 && path[0] == u'\\' && IsSeparator(path[1])) {
    parsed.kind = PathKind::Unc;
    return parsed;
  } else if (!path.empty() && path[0] == u'/') {
    parsed.kind = PathKind::Linux;
    parsed.rest = path;
    return parsed;
  }
  if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == u':') {
    parsed.kind = PathKind::Drive;
    parsed.drive = static_cast<char>(AsciiLower(path[0]));
    parsed.rest = path.substr(2);
  } else if (!path.empty() && path[0] == u'\\') {
    // Rooted without a drive: the current drive, which for this program is the system drive.
    parsed.kind = PathKind::Drive;
    parsed.drive = 'c';
    parsed.rest = path;
  } else {
    parsed.rest = path;
  }
  return parsed;
}

std::vector<std::u16string> SplitComponents(std::u16string_view rest) {
  std::vector<std::u16string> components;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    std::u16string_view part = rest.substr(start, end - start);
    if (part == u"..") {
      if (!components.empty()) components.pop_back();  // never above the drive's root
    } else if (!part.empty() && part != u".") {
      components.emplace_back(part);
    }
    start = end + 1;
  }
  return components;
}

// Folders under System32 that Windows leaves unredirected for a 32-bit process.
bool IsExemptFromRedirection(const std::vector<std::u16string>& c) {
  if (c.size() < 3) return false;
  for (const char16_t* name : {u"catroot", u"catroot2", u"driverstore", u"logfiles", u"spool"})
    if (EqualsIgnoreCase(c[2], name)) return true;
  return c.size() >= 4 && EqualsIgnoreCase(c[2], u"drivers") && EqualsIgnoreCase(c[3], u"etc");
}

void ApplyRedirection(char drive, std::vector<std::u16string>& c) {
  if (drive != 'c' || c.size() < 2 || !EqualsIgnoreCase(c[0], u"Windows") || !IsWow64Process()) return;
  if (EqualsIgnoreCase(c[1], u"Sysnative")) {
    c[1] = u"System32";  // the 32-bit process's alias of the native folder
  } else if (EqualsIgnoreCase(c[1], u"System32") && !IsFsRedirectionDisabled() && !IsExemptFromRedirection(c)) {
    c[1] = u"SysWOW64";
  }
}

// The name of `component` as it exists in `folder`, matched without regard to case; empty when absent.
std::string ExistingName(const fs::path& folder, const std::u16string& component) {
  std::error_code error;
  const std::string exact = ToUtf8(component);
  if (fs::symlink_status(folder / exact, error).type() != fs::file_type::not_found && !error) return exact;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (EqualsIgnoreCase(ToUtf16(name), component)) return name;
  }
  return {};
}

// Whether `path` lies inside `root`; `rest` gets the components below it.
bool IsInside(const fs::path& path, const fs::path& root, fs::path* rest) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p) {
    if (r->empty()) continue;  // the trailing empty element of "dir/"
    if (p == path.end() || *p != *r) return false;
  }
  fs::path below;
  for (; p != path.end(); ++p)
    if (!p->empty()) below /= *p;
  *rest = below;
  return true;
}

}  // namespace

fs::path ToHostPath(std::u16string_view path) {
  // Windows sees a path up to its first null; so must the host, or "a\0b" would open "a".
  path = path.substr(0, path.find(u'\0'));
  const ParsedPath parsed = Parse(path);
  switch (parsed.kind) {
    case PathKind::Unc:
      return {};
    case PathKind::Linux:
      return fs::path(ToUtf8(parsed.rest));
    case PathKind::Relative: {
      std::u16string relative(parsed.rest);
      for (char16_t& c : relative)
        if (c == u'\\') c = u'/';
      return fs::path(ToUtf8(relative));
    }
    case PathKind::Drive:
      break;
  }
  fs::path host = MachineImage::Current().DriveRoot(parsed.drive);
  if (host.empty()) return {};
  std::vector<std::u16string> components = SplitComponents(parsed.rest);
  ApplyRedirection(parsed.drive, components);
  bool exists = true;
  for (const std::u16string& component : components) {
    std::string name;
    if (exists) name = ExistingName(host, component);
    if (name.empty()) {
      exists = false;
      name = ToUtf8(component);
    }
    host /= name;
  }
  return host;
}

std::u16string ToWindowsPath(const fs::path& hostPath) {
  const MachineImage& image = MachineImage::Current();
  std::error_code error;
  const fs::path lexical = fs::absolute(hostPath, error).lexically_normal();
  const fs::path canonical = fs::weakly_canonical(hostPath, error);
  // The system drive first, so that it wins over any other letter mapped to the same folder.
  const std::string letters = "cabdefghijklmnopqrstuvwxyz";
  for (const char letter : letters) {
    const fs::path root = image.DriveRoot(letter);
    if (root.empty()) continue;
    std::error_code rootError;
    const fs::path roots[] = {root.lexically_normal(), fs::weakly_canonical(root, rootError)};
    const fs::path candidates[] = {lexical, canonical};
    for (const fs::path& candidate : candidates) {
      for (const fs::path& driveRoot : roots) {
        fs::path rest;
        if (driveRoot.empty() || candidate.empty() || !IsInside(candidate, driveRoot, &rest)) continue;
        std::u16string windows;
        windows += static_cast<char16_t>(letter - 'a' + 'A');
        windows += u":\\";
        std::u16string tail = ToUtf16(rest.string());
        for (char16_t& c : tail)
          if (c == u'/') c = u'\\';
        return windows + tail;
      }
    }
  }
  return ToUtf16(hostPath.string());
}

fs::path ModuleFileName() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self;
}

}  // namespace Kestrilon::Platform
