#pragma once
// Process-wide state of the window host (private to the window folder).
#include <functional>
#include <string>

namespace Kestrilon::UI {
class CBSDialog;
void RemoveFromOpenDialogs(CBSDialog* dialog);
// Hands an address the page wanted in a new window to the new-window handler.
void OpenNewWindow(const std::u16string& url);
// The GTK presenter of the message functions, installed by InitializeWindowSystem.
void InstallGtkMessagePresenter();
// Runs `task` on the user-interface thread when it has nothing more urgent to do.
void PostToUserInterfaceThreadWhenIdle(std::function<void()> task);
}  // namespace Kestrilon::UI
