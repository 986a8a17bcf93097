// Who "the signed-in user" is on this machine: the user a root process acts for, or the owner of the
// graphical session; the process's own user when it is not root.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/process/process.h"

namespace Kestrilon::Platform {
namespace {

std::optional<SessionUser> UserById(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return std::nullopt;
  SessionUser user;
  user.uid = entry.pw_uid;
  user.gid = entry.pw_gid;
  user.name = entry.pw_name ? entry.pw_name : "";
  user.home = entry.pw_dir ? entry.pw_dir : "";
  user.shell = entry.pw_shell ? entry.pw_shell : "";
  return user;
}

std::optional<uid_t> UidFromVariable(const char* name) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == 0) return std::nullopt;
  unsigned long value = 0;
  const char* end = text + std::char_traits<char>::length(text);
  auto [next, error] = std::from_chars(text, end, value);
  if (error != std::errc() || next != end || value >= static_cast<unsigned long>(static_cast<uid_t>(-1)))
    return std::nullopt;
  return static_cast<uid_t>(value);
}

std::optional<uid_t> OwnerOf(const std::string& path) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_uid;
}

// /tmp/.X11-unix/X<n> for DISPLAY ":n" or ":n.screen" (a local display only).
std::string XDisplaySocket() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] != ':') return {};
  std::string number(display + 1);
  number = number.substr(0, number.find('.'));
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return {};
  return "/tmp/.X11-unix/X" + number;
}

std::string WaylandSocket() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if (wayland == nullptr || *wayland == 0) return {};
  if (wayland[0] == '/') return wayland;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime && *runtime ? std::string(runtime) + "/" + wayland : std::string();
}

}  // namespace

std::optional<SessionUser> FindSignedInUser() {
  if (::geteuid() != 0) {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if ((display && *display) || (wayland && *wayland)) return UserById(::getuid());
    return std::nullopt;
  }
  for (const char* variable : {"SUDO_UID", "PKEXEC_UID"})
    if (auto uid = UidFromVariable(variable)) return UserById(*uid);
  // A root process inside a desktop session: the session's owner.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  for (const std::string& socket : {XDisplaySocket(), WaylandSocket(), std::string(runtime ? runtime : "")})
    if (auto uid = OwnerOf(socket)) return UserById(*uid);
  return std::nullopt;
}

}  // namespace Kestrilon::Platform
