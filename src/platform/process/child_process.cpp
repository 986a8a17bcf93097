// Starting programs with fork and execve.
//
// Everything the child needs (argv, environment, groups) is prepared before fork, since a forked child
// of a threaded program may only call async-signal-safe functions. A close-on-exec pipe carries the
// errno of a failed exec back; its end of file means the program is running.
#include <fcntl.h>
#include <grp.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/process/process.h"

extern char** environ;

namespace Kestrilon::Platform {
namespace {

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool Ok() const { return fds_[0] >= 0; }
  int Read() const { return fds_[0]; }
  int Write() const { return fds_[1]; }
  void CloseRead() { CloseOne(fds_[0]); }
  void CloseWrite() { CloseOne(fds_[1]); }

 private:
  static void CloseOne(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  int fds_[2] = {-1, -1};
};

// Reads exactly `size` bytes unless end of file comes first; gives the count read.
size_t ReadFully(int fd, void* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, static_cast<char*>(out) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

void WriteFully(int fd, const void* data, size_t size) {  // async-signal-safe
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, static_cast<const char*>(data) + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

pid_t WaitRetrying(pid_t pid, int* status, int flags) {
  pid_t result;
  do {
    result = ::waitpid(pid, status, flags);
  } while (result < 0 && errno == EINTR);
  return result;
}

struct ChildPlan {
  std::vector<std::string> argvText;
  std::vector<std::string> envText;
  std::vector<char*> argv;
  std::vector<char*> envp;
  std::vector<gid_t> groups;
  const SessionUser* runAs = nullptr;
  long maxDescriptor = 1024;
};

bool IsReplacedForUser(std::string_view entry) {
  for (const char* name : {"HOME=", "USER=", "LOGNAME=", "SHELL=", "XDG_RUNTIME_DIR=", "DBUS_SESSION_BUS_ADDRESS=",
                           "SUDO_UID=", "SUDO_GID=", "SUDO_USER=", "SUDO_COMMAND=", "PKEXEC_UID=", "MAIL="})
    if (entry.starts_with(name)) return true;
  return false;
}

ChildPlan MakePlan(const std::vector<std::string>& argv, const StartOptions& options) {
  ChildPlan plan;
  plan.argvText = argv;
  for (char** entry = environ; entry && *entry; ++entry) {
    if (options.runAs && IsReplacedForUser(*entry)) continue;
    plan.envText.emplace_back(*entry);
  }
  if (options.runAs) {
    const SessionUser& user = *options.runAs;
    plan.runAs = &user;
    plan.envText.push_back("HOME=" + user.home);
    plan.envText.push_back("USER=" + user.name);
    plan.envText.push_back("LOGNAME=" + user.name);
    if (!user.shell.empty()) plan.envText.push_back("SHELL=" + user.shell);
    const std::string runtime = "/run/user/" + std::to_string(user.uid);
    struct stat info {};
    if (::stat(runtime.c_str(), &info) == 0 && info.st_uid == user.uid) {
      plan.envText.push_back("XDG_RUNTIME_DIR=" + runtime);
      if (::stat((runtime + "/bus").c_str(), &info) == 0)
        plan.envText.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + runtime + "/bus");
    }
    int count = 64;
    plan.groups.resize(static_cast<size_t>(count));
    if (::getgrouplist(user.name.c_str(), user.gid, plan.groups.data(), &count) < 0) {
      plan.groups.resize(static_cast<size_t>(count));
      ::getgrouplist(user.name.c_str(), user.gid, plan.groups.data(), &count);
    }
    plan.groups.resize(static_cast<size_t>(std::max(count, 0)));
    if (plan.groups.empty()) plan.groups.push_back(user.gid);
  }
  for (auto& text : plan.argvText) plan.argv.push_back(text.data());
  plan.argv.push_back(nullptr);
  for (auto& text : plan.envText) plan.envp.push_back(text.data());
  plan.envp.push_back(nullptr);
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    plan.maxDescriptor = static_cast<long>(std::min<rlim_t>(limit.rlim_cur, 1 << 20));
  return plan;
}

// In the forked child: become the program. Only async-signal-safe calls from here on.
[[noreturn]] void BecomeProgram(const ChildPlan& plan, int errorFd) {
  int error = 0;
  if (plan.runAs) {
    if (::setgroups(plan.groups.size(), plan.groups.data()) != 0 || ::setgid(plan.runAs->gid) != 0 ||
        ::setuid(plan.runAs->uid) != 0) {
      error = errno;
      WriteFully(errorFd, &error, sizeof error);
      ::_exit(127);
    }
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  // No descriptor of the program is handed on, as CreateProcess without handle inheritance.
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    for (long fd = 3; fd < plan.maxDescriptor; ++fd) ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  }
  ::execve(plan.argv[0], plan.argv.data(), plan.envp.data());
  error = errno;
  WriteFully(errorFd, &error, sizeof error);
  ::_exit(127);
}

// In the forked supervisor: start the program as a child, report its pid, then reap it and every
// descendant that is orphaned onto us (we are their sub-reaper) and exit with the program's code.
[[noreturn]] void Supervise(const ChildPlan& plan, int errorFd, int pidFd) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  const pid_t program = ::fork();
  if (program == 0) BecomeProgram(plan, errorFd);
  if (program < 0) {
    int error = errno;
    WriteFully(errorFd, &error, sizeof error);
    ::_exit(127);
  }
  ::close(errorFd);
  WriteFully(pidFd, &program, sizeof program);
  ::close(pidFd);
  int programStatus = 0;
  for (;;) {
    int status = 0;
    const pid_t ended = ::wait(&status);
    if (ended < 0) {
      if (errno == EINTR) continue;
      break;  // ECHILD: the whole tree has ended
    }
    if (ended == program) programStatus = status;
  }
  ::_exit(WIFEXITED(programStatus) ? WEXITSTATUS(programStatus) : 128 + WTERMSIG(programStatus));
}

}  // namespace

int ExitCodeFromStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const StartOptions& options, ChildProcess* child,
                         int* error) {
  auto fail = [&](int code) {
    if (error) *error = code;
    return false;
  };
  if (argv.empty() || argv[0].empty() || child == nullptr) return fail(EINVAL);
  const ChildPlan plan = MakePlan(argv, options);
  Pipe errors, pids;
  if (!errors.Ok() || !pids.Ok()) return fail(errno ? errno : EMFILE);

  const pid_t pid = ::fork();
  if (pid < 0) return fail(errno);
  if (pid == 0) {
    if (options.trackDescendants) Supervise(plan, errors.Write(), pids.Write());
    BecomeProgram(plan, errors.Write());
  }
  errors.CloseWrite();
  pids.CloseWrite();

  int execError = 0;
  if (ReadFully(errors.Read(), &execError, sizeof execError) == sizeof execError) {
    int status = 0;
    WaitRetrying(pid, &status, 0);
    return fail(execError);
  }
  pid_t program = pid;
  if (options.trackDescendants && ReadFully(pids.Read(), &program, sizeof program) != sizeof program) {
    int status = 0;
    WaitRetrying(pid, &status, 0);
    return fail(ECHILD);
  }
  *child = ChildProcess();
  child->pid_ = pid;
  child->programPid_ = program;
  if (error) *error = 0;
  return true;
}

int ChildProcess::WaitForExit() {
  if (exitCode_) return *exitCode_;
  if (pid_ <= 0) return -1;
  int status = 0;
  if (WaitRetrying(pid_, &status, 0) != pid_) return -1;
  exitCode_ = ExitCodeFromStatus(status);
  return *exitCode_;
}

std::optional<int> ChildProcess::ExitCodeIfEnded() {
  if (exitCode_ || pid_ <= 0) return exitCode_;
  int status = 0;
  if (WaitRetrying(pid_, &status, WNOHANG) == pid_) exitCode_ = ExitCodeFromStatus(status);
  return exitCode_;
}

void ChildProcess::Release() {
  if (pid_ > 0 && !exitCode_ && !ExitCodeIfEnded()) {
    // Still running and nobody waits: reap it in the background so it never lingers as a zombie.
    const pid_t pid = pid_;
    std::thread([pid] {
      int status = 0;
      WaitRetrying(pid, &status, 0);
    }).detach();
  }
  pid_ = programPid_ = -1;
  exitCode_.reset();
}

ChildProcess::~ChildProcess() { Release(); }

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), programPid_(other.programPid_), exitCode_(other.exitCode_) {
  other.pid_ = other.programPid_ = -1;
  other.exitCode_.reset();
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Release();
    pid_ = other.pid_;
    programPid_ = other.programPid_;
    exitCode_ = other.exitCode_;
    other.pid_ = other.programPid_ = -1;
    other.exitCode_.reset();
  }
  return *this;
}

}  // namespace Kestrilon::Platform
