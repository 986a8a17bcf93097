// The log file "Log.log" beside the program file.
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "app/commands.h"
#include "platform/fs/fs.h"

namespace Kestrilon::App {
namespace {

struct LogFile {
  std::mutex mutex;
  std::filesystem::path path;  // formed at the first write, kept for the life of the process
  int fd = -1;
  ~LogFile() {
    if (fd >= 0) ::close(fd);
  }
};
LogFile& Log() {
  static LogFile log;
  return log;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

bool WriteLogLine(const char* text) {
  LogFile& log = Log();
  std::lock_guard lock(log.mutex);
  if (log.fd < 0) {
    if (log.path.empty()) log.path = Platform::ModuleFileName().parent_path() / "Log.log";
    int fd = ::open(log.path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;  // the next call tries again
    ::lseek(fd, 0, SEEK_END);  // only at open: later lines follow from our own position
    log.fd = fd;
  }

  timeval now{};
  ::gettimeofday(&now, nullptr);
  tm local{};
  const time_t seconds = now.tv_sec;
  ::localtime_r(&seconds, &local);
  char prefix[96];
  const int length = std::snprintf(prefix, sizeof prefix, "(%d) %04d/%02d/%02d %02d:%02d:%02d.%03d000: ",
                                   static_cast<int>(::getpid()), local.tm_year + 1900, local.tm_mon + 1,
                                   local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                                   static_cast<int>(now.tv_usec / 1000));
  WriteAll(log.fd, prefix, static_cast<size_t>(length));  // a failure here is not looked at
  if (!WriteAll(log.fd, text ? text : "", text ? std::strlen(text) : 0)) return false;
  WriteAll(log.fd, "\r\n", 2);
  return ::fsync(log.fd) == 0;
}

}  // namespace Kestrilon::App
