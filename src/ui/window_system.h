#pragma once
// Process-wide state of the window host (private to the window folder).
#include <string>

namespace Kestrilon::UI {
class CBSDialog;
void RemoveFromOpenDialogs(CBSDialog* dialog);
// Hands an address the page wanted in a new window to the new-window handler.
void OpenNewWindow(const std::u16string& url);
// The GTK presenter of the message functions, installed by InitializeWindowSystem.
void InstallGtkMessagePresenter();
// The "AssistantNotify" receiver of a dialog: its socket, watched by the main loop.
class NotifyReceiver;
}  // namespace Kestrilon::UI
