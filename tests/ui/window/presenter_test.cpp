// The GTK presenter of the message functions, in this process under Xvfb; and the real tray companion.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <future>
#include <thread>

#include "ui/window.h"
#include "ui/window/desktop.h"

namespace Kestrilon::Testing {
namespace {

class Display : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("NO_AT_BRIDGE", "1", 1);
    ASSERT_TRUE(xvfb_.Start());
    int argc = 1;
    char name[] = "presenter_test";
    char* args[] = {name, nullptr};
    char** argv = args;
    std::string error;
    ASSERT_TRUE(UI::InitializeWindowSystem(argc, argv, error)) << error;
  }
  void TearDown() override { xvfb_.Stop(); }

 private:
  Xvfb xvfb_;
};
const auto* const g_display = ::testing::AddGlobalTestEnvironment(new Display);

// The message dialog on screen, or null.
GtkMessageDialog* ShownDialog() {
  GList* windows = gtk_window_list_toplevels();
  GtkMessageDialog* found = nullptr;
  for (GList* w = windows; w; w = w->next) {
    if (GTK_IS_MESSAGE_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data))) found = GTK_MESSAGE_DIALOG(w->data);
  }
  g_list_free(windows);
  return found;
}

std::string PropertyText(GtkMessageDialog* dialog, const char* property) {
  gchar* text = nullptr;
  g_object_get(dialog, property, &text, nullptr);
  std::string copy = text ? text : "";
  g_free(text);
  return copy;
}

// Runs the main loop until `answer` is ready, answering the dialog once it shows with `respond`. The
// dialog runs a loop of its own, so the answer comes from a timer that its loop also serves.
template <typename T, typename Respond>
T PumpUntil(std::future<T>& answer, Respond respond) {
  struct State {
    Respond respond;
    bool responded = false;
  } state{respond};
  guint timer = g_timeout_add(
      10,
      +[](gpointer data) -> gboolean {
        auto* s = static_cast<State*>(data);
        if (GtkMessageDialog* dialog = ShownDialog(); dialog && !s->responded) {
          s->responded = true;
          s->respond(dialog);
        }
        return G_SOURCE_CONTINUE;
      },
      &state);
  while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) {
    g_main_context_iteration(nullptr, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  g_source_remove(timer);
  return answer.get();
}

TEST(GtkPresenter, MessageFromTheWorkerIsShownByTheMainLoopWhileTheWorkerWaits) {
  std::string primary, secondary, title;
  GtkMessageType type{};
  auto answer = std::async(std::launch::async, [] {
    return UI::ShowMessage(std::u16string(u"内容"), std::u16string(u"错误"), std::u16string(u"标题"), UI::kIconError);
  });
  int32_t pressed = PumpUntil(answer, [&](GtkMessageDialog* dialog) {
    primary = PropertyText(dialog, "text");
    secondary = PropertyText(dialog, "secondary-text");
    title = gtk_window_get_title(GTK_WINDOW(dialog));
    g_object_get(dialog, "message-type", &type, nullptr);
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(dialog)));
    gtk_dialog_response(GTK_DIALOG(dialog), UI::IDOK);
  });
  EXPECT_EQ(pressed, UI::IDOK);
  EXPECT_EQ(primary, "错误");  // the main instruction is the primary text
  EXPECT_EQ(secondary, "内容");
  EXPECT_EQ(title, "标题");
  EXPECT_EQ(type, GTK_MESSAGE_ERROR);
}

TEST(GtkPresenter, QuestionAnswersTheChoiceAndClosingIsTheSecond) {
  struct Case {
    int response;
    int32_t expected;
  };
  for (const Case& c : {Case{UI::IDYES, UI::IDYES}, Case{UI::IDNO, UI::IDNO}, Case{GTK_RESPONSE_DELETE_EVENT, UI::IDNO}}) {
    auto answer = std::async(std::launch::async, [] { return UI::AskYesNo(104, 105, 102, 106, 107); });
    int32_t chosen = PumpUntil(answer, [&](GtkMessageDialog* dialog) { gtk_dialog_response(GTK_DIALOG(dialog), c.response); });
    EXPECT_EQ(chosen, c.expected) << c.response;
    while (ShownDialog()) g_main_context_iteration(nullptr, FALSE);
  }
}

TEST(Companion, RunsUntilEndedAndRefusesOtherArguments) {
  const std::string companion = std::string(std::getenv("KESTRILON_BINARY_DIR")) + "/bin/SysTray";
  ChildProcess wrong;
  ASSERT_TRUE(wrong.Start({companion, "only-one"}));
  auto status = wrong.Wait(std::chrono::seconds(5));
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2);
  ChildProcess tray;
  ASSERT_TRUE(tray.Start({companion, "kestrilon-assistant", "103", "102", "199", "0"}));
  EXPECT_FALSE(tray.Wait(std::chrono::milliseconds(1500)).has_value()) << "the companion ended on its own";
  tray.Stop();
}

}  // namespace
}  // namespace Kestrilon::Testing
