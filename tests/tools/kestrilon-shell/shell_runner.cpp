#include "shell_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace Kestrilon::Testing {

std::filesystem::path BuiltShell() {
  // CTest names the build folder; run by hand, the test binary sits in <build>/tests.
  const char* binary = std::getenv("KESTRILON_BINARY_DIR");
  const std::filesystem::path build =
      binary ? std::filesystem::path(binary) : std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path();
  return build / "bin" / "kestrilon-shell";
}

ShellRun RunShell(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                  const std::string& input, const std::vector<std::string>& environment) {
  ShellRun run;
  std::signal(SIGPIPE, SIG_IGN);  // a shell that ends early must not take the test with it
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) return run;

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& add : environment)
      if (entry.substr(0, entry.find('=') + 1) == add.substr(0, add.find('=') + 1)) replaced = true;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), environment.begin(), environment.end());
  std::vector<char*> envp, argv;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string programText = program.string();
  argv.push_back(programText.data());
  std::vector<std::string> args = arguments;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  int spawned = posix_spawn(&run.pid, programText.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (spawned != 0) {
    close(in[1]);
    close(out[0]);
    close(err[0]);
    run.errors = std::strerror(spawned);
    return run;
  }

  // Feed the input while collecting both outputs, so that no pipe fills up.
  std::string output;
  size_t written = 0;
  int inFd = in[1];
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[3] = {{out[0], static_cast<short>(outOpen ? POLLIN : 0), 0},
                     {err[0], static_cast<short>(errOpen ? POLLIN : 0), 0},
                     {inFd, POLLOUT, 0}};
    if (poll(fds, inFd >= 0 ? 3 : 2, 30000) <= 0) break;
    char buffer[4096];
    if (fds[0].revents) {
      ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) outOpen = false; else output.append(buffer, n);
    }
    if (fds[1].revents) {
      ssize_t n = read(err[0], buffer, sizeof buffer);
      if (n <= 0) errOpen = false; else run.errors.append(buffer, n);
    }
    if (inFd >= 0 && fds[2].revents) {
      ssize_t n = write(inFd, input.data() + written, input.size() - written);
      if (n > 0) written += n;
      if (n <= 0 || written == input.size()) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0) close(inFd);
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(run.pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) run.lines.push_back(line);
  return run;
}

}  // namespace Kestrilon::Testing
