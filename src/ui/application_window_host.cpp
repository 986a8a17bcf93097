// The window host as start-up sees it: the program's dialog on GTK, with OnScriptCommand behind it.
#include "app/assistant_app.h"
#include "app/commands.h"
#include "ui/window.h"

namespace Kestrilon::UI {
namespace {

class ApplicationWindowHostImpl final : public App::IWindowHost {
 public:
  IBSDialog* CreateDialog(const std::u16string& title, uint32_t iconId, uint32_t pageResourceId) override {
    BSDialogParams params;
    params.title = title.c_str();
    params.captioned = 0;  // the page draws its own title bar
    params.icon = iconId;
    params.htmlResourceId = pageResourceId;
    params.commandCallback = App::OnScriptCommand;
    return CreateBSDialog(&params);
  }
  void DestroyDialog(IBSDialog* dialog) override { DestroyBSDialog(dialog); }
  void ShowWindow(WindowHandle window, int32_t showCommand) override { ShowDialogWindow(window, showCommand); }
  void RunMessageLoop(const std::atomic<bool>& running) override { RunMainLoop(running); }
  void PostQuitMessage() override { UI::PostQuitMessage(); }
  bool OnMainThread() override { return OnUserInterfaceThread(); }
  void PostToMainThread(std::function<void()> task) override { PostToUserInterfaceThread(std::move(task)); }
};

}  // namespace

App::IWindowHost& ApplicationWindowHost() {
  static ApplicationWindowHostImpl host;
  return host;
}

}  // namespace Kestrilon::UI
