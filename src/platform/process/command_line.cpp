// Windows command-line splitting (CommandLineToArgvW) and quoting.
#include "platform/fs/fs.h"
#include "platform/process/process.h"
#include "platform/process/command_line_internal.h"
#include "platform/text/text.h"

namespace Kestrilon::Platform {
namespace {

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

void SplitArgumentsAfterProgram(std::u16string_view s, std::vector<std::u16string>& out) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  if (i == s.size()) return;
  std::u16string current;
  size_t backslashes = 0;
  int quotes = 0;  // 0 outside quotes, 1 inside; a run of three quotes makes one literal quote
  while (i < s.size()) {
    const char16_t c = s[i];
    if (IsBlank(c) && quotes == 0) {
      out.push_back(std::move(current));
      current.clear();
      backslashes = 0;
      while (i < s.size() && IsBlank(s[i])) ++i;
      if (i == s.size()) return;
      continue;
    }
    if (c == u'\\') {
      current += c;
      ++backslashes;
      ++i;
      continue;
    }
    if (c == u'"') {
      if (backslashes % 2 == 0) {
        // 2n backslashes and a quote: n backslashes, and the quote opens or closes.
        current.resize(current.size() - backslashes / 2);
        ++quotes;
      } else {
        // 2n+1 backslashes and a quote: n backslashes and a literal quote.
        current.resize(current.size() - backslashes / 2 - 1);
        current += u'"';
      }
      backslashes = 0;
      ++i;
      while (i < s.size() && s[i] == u'"') {
        if (++quotes == 3) {
          current += u'"';
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
      continue;
    }
    current += c;
    backslashes = 0;
    ++i;
  }
  out.push_back(std::move(current));
}

size_t SplitProgram(std::u16string_view s, std::u16string* program) {
  size_t i = 0;
  if (!s.empty() && s[0] == u'"') {
    // The program ends at the next quote, whatever precedes it.
    const size_t close = s.find(u'"', 1);
    if (close == std::u16string_view::npos) {
      *program = std::u16string(s.substr(1));
      return s.size();
    }
    *program = std::u16string(s.substr(1, close - 1));
    return close + 1;
  }
  while (i < s.size() && !IsBlank(s[i])) ++i;
  *program = std::u16string(s.substr(0, i));
  return i;
}

std::vector<std::u16string> CommandLineToArgv(std::u16string_view commandLine) {
  std::vector<std::u16string> argv;
  if (commandLine.empty()) {
    argv.push_back(ToWindowsPath(ModuleFileName()));
    return argv;
  }
  std::u16string program;
  const size_t rest = SplitProgram(commandLine, &program);
  argv.push_back(std::move(program));
  SplitArgumentsAfterProgram(commandLine.substr(rest), argv);
  return argv;
}

std::u16string QuoteArgument(std::u16string_view argument) {
  if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string_view::npos)
    return std::u16string(argument);
  std::u16string quoted = u"\"";
  size_t backslashes = 0;
  for (const char16_t c : argument) {
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      quoted.append(backslashes * 2 + 1, u'\\');
    } else {
      quoted.append(backslashes, u'\\');
    }
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, u'\\');  // doubled, so the closing quote stays a quote
  quoted += u'"';
  return quoted;
}

std::u16string BuildCommandLine(const std::vector<std::u16string>& arguments) {
  std::u16string line;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i == 0) {
      // The program's rule has no escapes: quotes around it when it holds a blank or is empty.
      const std::u16string& program = arguments[0];
      const bool quote = program.empty() || program.find_first_of(u" \t") != std::u16string::npos;
      line += quote ? u"\"" + program + u"\"" : program;
    } else {
      line += u' ';
      line += QuoteArgument(arguments[i]);
    }
  }
  return line;
}

}  // namespace Kestrilon::Platform
