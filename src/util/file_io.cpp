// Whole-file reading and writing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <system_error>

#include "platform/fs/fs.h"
#include "util/file_helpers.h"
#include "util/file_helpers_internal.h"

namespace Kestrilon::Util {
namespace {

namespace fs = std::filesystem;
using namespace Platform;

constexpr int32_t ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr int32_t ERROR_WRITE_PROTECT = 19;
constexpr int32_t ERROR_GEN_FAILURE = 31;
constexpr int32_t ERROR_DISK_FULL = 112;
constexpr int32_t ERROR_DIRECTORY = 267;

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int Get() const { return fd_; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Closes and reports the error close gave (a failed write may only show here).
  int Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd >= 0 && ::close(fd) != 0 ? errno : 0;
  }

 private:
  int fd_;
};

int OpenRegularForReading(const fs::path& path) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

// Reads the open file whole: its size from fstat (all 64 bits), then that many bytes.
HRESULT ReadOpenFile(int fd, std::string& out) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return HResultFromErrno(errno);
  if (S_ISDIR(info.st_mode)) return HResultFromWin32(ERROR_ACCESS_DENIED);  // as CreateFileW on a folder
  const uint64_t size = static_cast<uint64_t>(info.st_size);
  try {
    out.assign(static_cast<size_t>(size), '\0');
  } catch (const std::bad_alloc&) {
    out.clear();
    return E_OUTOFMEMORY;
  } catch (const std::length_error&) {
    out.clear();
    return E_OUTOFMEMORY;
  }
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::read(fd, out.data() + done, out.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return HResultFromErrno(errno);
    if (n == 0) return HResultFromWin32(ERROR_HANDLE_EOF);  // the file shrank while being read
    done += static_cast<size_t>(n);
  }
  return S_OK;
}

HRESULT WriteAll(int fd, std::string_view bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return HResultFromErrno(errno);
    done += static_cast<size_t>(n);
  }
  return S_OK;
}

}  // namespace

HRESULT HResultFromErrno(int error) {
  switch (error) {
    case 0: return S_OK;
    case ENOENT: return HResultFromWin32(ERROR_FILE_NOT_FOUND);
    case ENOTDIR: return HResultFromWin32(ERROR_PATH_NOT_FOUND);
    case EACCES:
    case EPERM:
    case EISDIR: return HResultFromWin32(ERROR_ACCESS_DENIED);
    case EBUSY:
    case ETXTBSY: return HResultFromWin32(ERROR_SHARING_VIOLATION);
    case EEXIST: return HResultFromWin32(ERROR_FILE_EXISTS);
    case ENOTEMPTY: return HResultFromWin32(ERROR_DIR_NOT_EMPTY);
    case ENAMETOOLONG: return HResultFromWin32(ERROR_FILENAME_EXCED_RANGE);
    case ENOSPC:
    case EDQUOT: return HResultFromWin32(ERROR_DISK_FULL);
    case EROFS: return HResultFromWin32(ERROR_WRITE_PROTECT);
    case ENOMEM: return E_OUTOFMEMORY;
    case EMFILE:
    case ENFILE: return HResultFromWin32(ERROR_TOO_MANY_OPEN_FILES);
    case EINVAL: return HResultFromWin32(ERROR_INVALID_PARAMETER);
    case ELOOP: return HResultFromWin32(ERROR_DIRECTORY);
    default: return HResultFromWin32(ERROR_GEN_FAILURE);
  }
}

HRESULT ReadWholeFileUsing(const OpenForReading& open, const fs::path& hostPath, std::string& out) {
  if (hostPath.empty()) return HResultFromWin32(ERROR_PATH_NOT_FOUND);
  UniqueFd file(open(hostPath));
  if (file.Get() >= 0) return ReadOpenFile(file.Get(), out);
  const HRESULT openError = HResultFromErrno(errno);

  // A file another program holds open may still be copied: read the copy, then delete it.
  fs::path copy = hostPath;
  copy += ".copy";
  std::error_code error;
  if (!fs::copy_file(hostPath, copy, fs::copy_options::overwrite_existing, error)) {
    fs::remove(copy, error);  // a copy that failed half-way is not left behind either
    return openError;
  }
  UniqueFd copied(open(copy));
  HRESULT result;
  if (copied.Get() < 0) {
    result = HResultFromErrno(errno);
  } else {
    result = ReadOpenFile(copied.Get(), out);
    copied.Reset();
  }
  fs::remove(copy, error);
  return result;
}

HRESULT ReadWholeFile(std::u16string_view path, std::string& out, uint32_t /*attributes: nothing to do*/) {
  return ReadWholeFileUsing(OpenRegularForReading, ToHostPath(path), out);
}

HRESULT WriteWholeFile(std::u16string_view path, std::string_view bytes, uint32_t /*attributes: see header*/) {
  fs::path target = ToHostPath(path);
  if (target.empty()) return HResultFromWin32(ERROR_PATH_NOT_FOUND);
  std::error_code error;
  // Write through a link (the image's hosts file links to the real one) rather than replacing it.
  if (fs::is_symlink(target, error)) {
    fs::path resolved = fs::weakly_canonical(target, error);
    if (!error) target = resolved;
  }
  if (fs::is_directory(target, error)) return HResultFromWin32(ERROR_ACCESS_DENIED);

  struct stat existing {};
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  // A file we may not write stays as it is, even though its folder would let us replace it.
  if (exists && ::access(target.c_str(), W_OK) != 0) return HResultFromErrno(errno);
  static std::atomic<unsigned> sequence{0};
  fs::path temporary = target;
  temporary += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(sequence++);
  UniqueFd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
                      exists ? (existing.st_mode & 07777) : 0666));
  if (out.Get() < 0) {
    const int createError = errno;
    if (createError == ENOENT || createError == ENOTDIR) return HResultFromWin32(ERROR_PATH_NOT_FOUND);
    // A folder we may not create files in, holding a file we may write: write the file in place.
    UniqueFd inPlace(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (inPlace.Get() < 0) return HResultFromErrno(errno);
    HRESULT result = WriteAll(inPlace.Get(), bytes);
    const int closeError = inPlace.Close();
    return Failed(result) ? result : HResultFromErrno(closeError);
  }
  HRESULT result = WriteAll(out.Get(), bytes);
  if (Succeeded(result) && ::fsync(out.Get()) != 0) result = HResultFromErrno(errno);
  if (exists) (void)::fchown(out.Get(), existing.st_uid, existing.st_gid);  // keep the owner where allowed
  const int closeError = out.Close();
  if (Succeeded(result) && closeError != 0) result = HResultFromErrno(closeError);
  if (Succeeded(result) && ::rename(temporary.c_str(), target.c_str()) != 0) result = HResultFromErrno(errno);
  if (Failed(result)) ::unlink(temporary.c_str());
  return result;
}

}  // namespace Kestrilon::Util
