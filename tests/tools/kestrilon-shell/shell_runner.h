#pragma once
// Runs the built kestrilon-shell as a child process: input in, output lines and exit status out.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace Kestrilon::Testing {

struct ShellRun {
  std::vector<std::string> lines;  // standard output, one entry per line
  std::string errors;              // standard error
  int status = -1;                 // exit status
  pid_t pid = 0;
};

// build/bin/kestrilon-shell
std::filesystem::path BuiltShell();

// Runs `program` with `arguments`, `environment` added to (or replacing in) the test's, feeds `input`
// and closes standard input.
ShellRun RunShell(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                  const std::string& input, const std::vector<std::string>& environment = {});

}  // namespace Kestrilon::Testing
