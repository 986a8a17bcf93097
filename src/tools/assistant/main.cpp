// kestrilon-assistant: the program.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/assistant_app.h"
#include "app/commands.h"
#include "ui/window.h"

int main(int argc, char** argv) {
  using namespace Kestrilon;
  std::string error;
  if (!UI::InitializeWindowSystem(argc, argv, error)) {
    std::fprintf(stderr, "kestrilon-assistant: %s\n", error.c_str());
    return 2;
  }
  App::SetStartupArguments(argc, argv);
  const int code = App::CAssistantApp::Instance().InitInstance(UI::ApplicationWindowHost());
  // The process ends as a Windows process does: threads still running (a worker inside a command, a
  // download) end with it instead of racing the destructors of the process-wide objects.
  std::fflush(nullptr);
  std::_Exit(code);
}
