// The message functions as modal GTK dialogs over the window. Asked on another thread, the dialog is
// shown by the main loop and the asking thread waits for the answer.
#include <gtk/gtk.h>

#include <condition_variable>
#include <mutex>

#include "platform/text/text.h"
#include "ui/window.h"
#include "ui/window_system.h"

namespace Kestrilon::UI {
namespace {

GtkMessageType MessageTypeOf(int32_t iconKind) {
  switch (iconKind) {
    case kIconInformation: return GTK_MESSAGE_INFO;
    case kIconWarning: return GTK_MESSAGE_WARNING;
    case kIconError: return GTK_MESSAGE_ERROR;
    default: return GTK_MESSAGE_OTHER;  // question and none: no icon; the shield gets its own below
  }
}

// The owner: the given window, else (on the user-interface thread) the first dialog's window.
GtkWindow* OwnerOf(WindowHandle owner, bool askedOnUserInterfaceThread) {
  if (owner) return reinterpret_cast<GtkWindow*>(owner);
  if (!askedOnUserInterfaceThread) return nullptr;
  for (IBSDialog* dialog : OpenDialogs()) {
    if (WindowHandle handle = dialog->GetWindowHandle()) return reinterpret_cast<GtkWindow*>(handle);
  }
  return nullptr;
}

GtkWidget* NewDialog(GtkWindow* owner, GtkMessageType type, const std::u16string& instruction,
                     const std::u16string& content, const std::u16string& caption) {
  // The main instruction is the primary text; without one, the content takes its place.
  const std::string primary = Platform::ToUtf8(instruction.empty() ? content : instruction);
  GtkWidget* dialog = gtk_message_dialog_new(owner, GTK_DIALOG_MODAL, type, GTK_BUTTONS_NONE, "%s", primary.c_str());
  if (!instruction.empty() && !content.empty())
    gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", Platform::ToUtf8(content).c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), Platform::ToUtf8(caption).c_str());
  return dialog;
}

int32_t ShowOnUserInterfaceThread(const MessageRequest& request, bool askedHere) {
  GtkWidget* dialog = NewDialog(OwnerOf(request.owner, askedHere), MessageTypeOf(request.iconKind),
                                request.mainInstruction, request.content, request.caption);
  if (request.iconKind == kIconShield) {
    GtkWidget* image = gtk_image_new_from_icon_name("security-high", GTK_ICON_SIZE_DIALOG);
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    gtk_message_dialog_set_image(GTK_MESSAGE_DIALOG(dialog), image);
    G_GNUC_END_IGNORE_DEPRECATIONS
    gtk_widget_show(image);
  }
  gtk_dialog_add_button(GTK_DIALOG(dialog), "OK", IDOK);
  gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return IDOK;
}

int32_t AskOnUserInterfaceThread(const QuestionRequest& request, bool askedHere) {
  GtkWidget* dialog = NewDialog(OwnerOf(request.owner, askedHere), GTK_MESSAGE_OTHER, request.mainInstruction,
                                request.content, request.caption);
  gtk_dialog_add_button(GTK_DIALOG(dialog), Platform::ToUtf8(request.firstChoice).c_str(), IDYES);
  gtk_dialog_add_button(GTK_DIALOG(dialog), Platform::ToUtf8(request.secondChoice).c_str(), IDNO);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  gtk_widget_destroy(dialog);
  return response == IDYES ? IDYES : IDNO;  // closing counts as the second choice
}

// Runs `show` on the user-interface thread and answers its result; there already, at once.
template <typename Show>
int32_t OnUserInterfaceThreadAndWait(Show show) {
  if (OnUserInterfaceThread()) return show(true);
  struct State {
    std::mutex mutex;
    std::condition_variable ready;
    bool done = false;
    int32_t answer = 0;
  };
  auto state = std::make_shared<State>();
  PostToUserInterfaceThread([state, show] {
    int32_t answer = show(false);
    std::lock_guard lock(state->mutex);
    state->answer = answer;
    state->done = true;
    state->ready.notify_all();
  });
  std::unique_lock lock(state->mutex);
  state->ready.wait(lock, [&] { return state->done; });
  return state->answer;
}

class GtkMessagePresenter final : public IMessagePresenter {
 public:
  int32_t Show(const MessageRequest& request) override {
    return OnUserInterfaceThreadAndWait([request](bool here) { return ShowOnUserInterfaceThread(request, here); });
  }
  int32_t Ask(const QuestionRequest& request) override {
    return OnUserInterfaceThreadAndWait([request](bool here) { return AskOnUserInterfaceThread(request, here); });
  }
};

}  // namespace

void InstallGtkMessagePresenter() {
  static GtkMessagePresenter presenter;
  SetMessagePresenter(&presenter);
}

}  // namespace Kestrilon::UI
