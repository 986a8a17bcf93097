// "AssistantNotify" between processes of one user: each dialog listens on a datagram socket in a
// folder of the user's runtime directory (mode 0700, so only the user reaches it); a sender writes
// wParam and lParam to every socket there.
#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "ui/assistant_notify.h"

namespace Kestrilon::UI {
namespace {

struct NotifyMessage {
  uint64_t wParam;
  int64_t lParam;
};

std::filesystem::path NotifyFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (!runtime || !*runtime) return {};
  return std::filesystem::path(runtime) / "kestrilon-notify";
}

bool FillAddress(const std::filesystem::path& path, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

NotifyReceiver::NotifyReceiver(std::function<void(uintptr_t, intptr_t)> onNotify) : onNotify_(std::move(onNotify)) {
  static std::atomic<int> serial{0};
  const auto folder = NotifyFolder();
  if (folder.empty()) return;
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  ::chmod(folder.c_str(), 0700);
  path_ = folder / (std::to_string(::getpid()) + "-" + std::to_string(serial++));
  sockaddr_un address;
  if (!FillAddress(path_, address)) return;
  fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  source_ = g_unix_fd_add(
      fd_, G_IO_IN,
      +[](gint fd, GIOCondition, gpointer self) -> gboolean {
        NotifyMessage message;
        while (::recv(fd, &message, sizeof message, 0) == static_cast<ssize_t>(sizeof message)) {
          static_cast<NotifyReceiver*>(self)->onNotify_(static_cast<uintptr_t>(message.wParam),
                                                         static_cast<intptr_t>(message.lParam));
        }
        return G_SOURCE_CONTINUE;
      },
      this);
}

NotifyReceiver::~NotifyReceiver() {
  if (source_) g_source_remove(source_);
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
}

int SendAssistantNotify(uintptr_t wParam, intptr_t lParam) {
  const auto folder = NotifyFolder();
  if (folder.empty()) return 0;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  const NotifyMessage message{static_cast<uint64_t>(wParam), static_cast<int64_t>(lParam)};
  int reached = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    sockaddr_un address;
    if (!FillAddress(entry.path(), address)) continue;
    if (::sendto(fd, &message, sizeof message, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
        static_cast<ssize_t>(sizeof message)) {
      ++reached;
    } else if (errno == ECONNREFUSED) {
      ::unlink(entry.path().c_str());  // left behind by a dialog that died
    }
  }
  ::close(fd);
  return reached;
}

}  // namespace Kestrilon::UI
