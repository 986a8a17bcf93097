// The window side by side with bare WebKitGTK, in one run under its own Xvfb:
//  1. start-up to the first completed document: the window host with its page, against Debian's
//     MiniBrowser loading the same page from a file (both started through WebKitWebDriver);
//  2. 1,000 asyncallc round trips (page → worker → callback in the page), against 1,000 bare script
//     message round trips (page → UI process → page) in the same process.
// Prints both sides and their ratio.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "ui/window.h"
#include "ui/window/desktop.h"

namespace {

using namespace Kestrilon;
using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 1000;
const char* const kMiniBrowser = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser";

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void PumpUntil(const std::atomic<bool>& flag) {
  while (!flag) g_main_context_iteration(nullptr, TRUE);
}

std::atomic<bool> g_done{false};

double HostRoundTrips() {
  UI::BSDialogParams params;
  params.captioned = 0;
  params.htmlResourceId = 200;
  params.commandCallback = [](UI::ScriptValue& result, UI::IBSDialog*, const UI::ScriptValue& name,
                              const UI::ScriptValue& a2, const UI::ScriptValue&, const UI::ScriptValue&,
                              const UI::ScriptValue&) {
    if (name.AsString() == u"done") g_done = true;
    result = a2;
  };
  UI::IBSDialog* dialog = UI::CreateBSDialog(&params);
  UI::ScriptValue loaded;
  while (!(dialog->GetScriptVariable(u"pageLoaded", loaded) == 0 && loaded.AsBool())) g_main_context_iteration(nullptr, TRUE);
  g_done = false;
  const auto start = Clock::now();
  dialog->ExecScript(u"window.__n = 0; (function go() { window.external.asyncallc(function () {"
                     u" if (++window.__n < 1000) go(); else window.external.callc('done'); }, 'echo', 1); })();");
  PumpUntil(g_done);
  const double seconds = Seconds(start);
  UI::DestroyBSDialog(dialog);
  return seconds;
}

double BareRoundTrips() {
  WebKitUserContentManager* content = webkit_user_content_manager_new();
  webkit_user_content_manager_register_script_message_handler(content, "bare");
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  WebKitWebView* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "user-content-manager", content, nullptr));
  gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
  gtk_widget_show_all(window);
  static std::atomic<bool> loaded{false};
  loaded = false;
  g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent e, gpointer) {
                     if (e == WEBKIT_LOAD_FINISHED) loaded = true;
                   }),
                   nullptr);
  g_signal_connect(content, "script-message-received::bare",
                   G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* message, gpointer view) {
                     const int n = jsc_value_to_int32(webkit_javascript_result_get_js_value(message));
                     if (n >= kRoundTrips) {
                       g_done = true;
                       return;
                     }
                     webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view), "next()", -1, nullptr, nullptr, nullptr,
                                                         nullptr, nullptr);
                   }),
                   view);
  webkit_web_view_load_html(view, "<script>var n = 0; function next() { "
                                  "window.webkit.messageHandlers.bare.postMessage(++n); }</script>", "about:blank");
  PumpUntil(loaded);
  g_done = false;
  const auto start = Clock::now();
  webkit_web_view_evaluate_javascript(view, "next()", -1, nullptr, nullptr, nullptr, nullptr, nullptr);
  PumpUntil(g_done);
  const double seconds = Seconds(start);
  gtk_widget_destroy(window);
  g_object_unref(content);
  return seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Session start to the first completed document, through the driver.
double StartUp(Testing::WebDriver& driver, const std::string& binary, const std::string& fileUrl) {
  const auto start = Clock::now();
  std::string id = driver.NewSession(binary, {"--automation"});
  if (id.empty()) return -1;
  Testing::WebDriverSession session(driver, id);
  if (!fileUrl.empty()) {
    session.Navigate(fileUrl);  // answers when the document has completed
  } else {
    while (session.Execute("return document.readyState") != "complete") {
    }
  }
  return Seconds(start);
}

}  // namespace

int main() {
  Testing::TempDir home("kestrilon-window-bench");
  std::filesystem::create_directories(home.Path() / "runtime");
  std::filesystem::permissions(home.Path() / "runtime", std::filesystem::perms::owner_all);
  setenv("HOME", home.Path().c_str(), 1);
  setenv("XDG_RUNTIME_DIR", (home.Path() / "runtime").c_str(), 1);
  setenv("KESTRILON_MACHINE", (home.Path() / "machine").c_str(), 1);
  setenv("NO_AT_BRIDGE", "1", 1);
  Testing::Xvfb xvfb;
  if (!xvfb.Start()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }

  // 1. Start-up.
  const char* source = std::getenv("KESTRILON_SOURCE_DIR");
  const char* binary = std::getenv("KESTRILON_BINARY_DIR");
  const std::filesystem::path sourceDir = source ? source : KESTRILON_SOURCE_DIR_DEFAULT;
  const std::filesystem::path binaryDir = binary ? binary : KESTRILON_BINARY_DIR_DEFAULT;
  const auto page = home.Path() / "page";
  std::filesystem::copy(sourceDir / "tests/ui/window/testpage", page, std::filesystem::copy_options::recursive);
  std::filesystem::copy(page / "CSS", page / "css", std::filesystem::copy_options::recursive);  // a file system that cares about case
  std::filesystem::rename(page / "css/page.css", page / "css/Page.CSS");
  Testing::WebDriver driver;
  if (!driver.Start()) {
    std::fprintf(stderr, "WebKitWebDriver did not start\n");
    return 1;
  }
  std::vector<double> host, mini;
  for (int i = 0; i < 3; ++i) {
    host.push_back(StartUp(driver, (binaryDir / "tests/window_testhost").string(), ""));
    mini.push_back(StartUp(driver, kMiniBrowser, "file://" + (page / "index.html").string()));
  }
  std::printf("start-up to the first completed document (median of 3)\n");
  std::printf("  window host   %.3f s\n  MiniBrowser   %.3f s\n  ratio         %.2f (aim: at most 1.2)\n",
              Median(host), Median(mini), Median(host) / Median(mini));
  driver.Stop();

  // 2. Round trips, in this process.
  int argc = 1;
  char name[] = "window_bench";
  char* args[] = {name, nullptr};
  char** argv = args;
  std::string error;
  if (!UI::InitializeWindowSystem(argc, argv, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const double ours = HostRoundTrips();
  const double bare = BareRoundTrips();
  std::printf("%d round trips\n", kRoundTrips);
  std::printf("  asyncallc     %.0f /s\n  bare message  %.0f /s\n  ratio         %.2f (aim: at least 0.8)\n",
              kRoundTrips / ours, kRoundTrips / bare, bare / ours);
  std::fflush(stdout);
  xvfb.Stop();  // the exit below runs no destructors
  std::_Exit(0);
}
