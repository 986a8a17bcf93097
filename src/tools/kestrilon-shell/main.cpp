// kestrilon-shell: the command bridge without a window. JSON lines in, JSON lines out.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "app/commands.h"
#include "platform/machine/machine_image.h"
#include "platform/text/text.h"
#include "tools/kestrilon-shell/shell_session.h"
#include "ui/host/console_host.h"
#include "usbkey/usbkey.h"

namespace {

using namespace Kestrilon;

constexpr const char* kUsage =
    "usage: kestrilon-shell [--machine DIR] [--answer yes|no] [--keys FILE] [--args WORD]...\n"
    "Reads one command per line, a JSON array [name, a2, a3, a4, a5], and answers with JSON lines.\n";

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kestrilon-shell: %s\n%s", message.c_str(), kUsage);
  return 2;
}

void WriteLines(const std::vector<std::string>& lines) {
  for (const auto& line : lines) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Tools::ShellOptions options;
  std::vector<std::u16string> startup = {Platform::ToUtf16(argv[0])};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) return UsageError(option.rfind("--", 0) == 0 ? option + " needs a value" : "unknown argument " + option);
    const std::string value = argv[++i];
    if (option == "--machine") {
      Platform::MachineImage::UseDirectory(value);
    } else if (option == "--answer") {
      if (value != "yes" && value != "no") return UsageError("--answer takes yes or no");
      options.answerYes = value == "yes";
    } else if (option == "--keys") {
      std::ifstream in(value);
      if (!in) return UsageError("cannot read " + value);
      nlohmann::ordered_json keys = nlohmann::ordered_json::parse(in, nullptr, false);
      if (keys.is_discarded() || !keys.is_array()) return UsageError(value + " is not a JSON array of keys");
      options.keys = std::move(keys);
    } else if (option == "--args") {
      startup.push_back(Platform::ToUtf16(value));
    } else {
      return UsageError("unknown option " + option);
    }
  }
  App::SetStartupArguments(std::move(startup));

  Tools::ShellSession session(std::move(options));
  // Plugging or unplugging a USB device asks the page to detect its keys, as in the window.
  UsbKey::InstallUsbDeviceWatcher();
  // A waiting command (delay_ms) keeps serving the event sources, as the window's loop would.
  UI::SetEventPump([] { UI::PollHostEventSources(5); });

  std::string pending;
  char buffer[65536];
  bool atEnd = false;
  while (!atEnd && !session.Ended()) {
    if (!UI::PollHostEventSources(-1, STDIN_FILENO)) continue;
    ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      std::fprintf(stderr, "kestrilon-shell: reading standard input: %s\n", std::strerror(errno));
      return 1;
    }
    if (got == 0) {
      atEnd = true;
    } else {
      pending.append(buffer, static_cast<size_t>(got));
    }
    size_t start = 0;
    for (size_t end; !session.Ended() && (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
      WriteLines(session.HandleLine(std::string_view(pending).substr(start, end - start)));
    pending.erase(0, start);
    if (atEnd && !pending.empty() && !session.Ended()) WriteLines(session.HandleLine(pending));
  }
  UI::SetEventPump(nullptr);
  return 0;
}
