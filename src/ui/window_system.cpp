// The window system: GTK start-up, the main loop, the web context with the res:// scheme, and the
// list of live dialogs.
#include <gio/gio.h>
#include <glib-unix.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/text/text.h"
#include "ui/bridge_script.h"
#include "ui/bs_dialog.h"
#include "ui/window_system.h"
#include "util/file_helpers.h"

namespace Kestrilon::UI {
namespace {

std::thread::id g_uiThread;
std::atomic<bool> g_initialized{false};
std::atomic<bool> g_automation{false};
std::atomic<bool> g_quitPosted{false};

std::vector<std::shared_ptr<CBSDialog>>& LiveDialogs() {
  static std::vector<std::shared_ptr<CBSDialog>> dialogs;
  return dialogs;
}
std::vector<IBSDialog*>& OpenDialogList() {
  static std::vector<IBSDialog*> list;
  return list;
}

std::mutex g_newWindowMutex;
// The page's new windows open in the browser, as the signed-in user; its result is ignored.
std::function<void(const std::u16string&)> g_newWindowHandler = [](const std::u16string& url) {
  Util::OpenInInternetExplorer(url);
};

// ---- res:// ----

const char* ContentTypeOf(const std::string& name) {
  static const std::pair<const char*, const char*> kTypes[] = {
      {".html", "text/html"}, {".htm", "text/html"},   {".css", "text/css"},      {".js", "text/javascript"},
      {".png", "image/png"},  {".gif", "image/gif"},   {".jpg", "image/jpeg"},    {".jpeg", "image/jpeg"},
      {".svg", "image/svg+xml"}, {".ico", "image/x-icon"}, {".json", "application/json"}, {".woff", "font/woff"},
      {".woff2", "font/woff2"}, {".ttf", "font/ttf"}, {".txt", "text/plain"}};
  for (const auto& [suffix, type] : kTypes) {
    if (g_str_has_suffix(name.c_str(), suffix)) return type;
  }
  // A resource by id (the page is HTML resource 200) has no extension.
  return name.find('.') == std::string::npos ? "text/html" : "application/octet-stream";
}

void FinishWithError(WebKitURISchemeRequest* request, int code, const char* message) {
  GError* error = g_error_new_literal(G_IO_ERROR, code, message);
  webkit_uri_scheme_request_finish_error(request, error);
  g_error_free(error);
}

void OnResRequest(WebKitURISchemeRequest* request, gpointer) {
  const char* path = webkit_uri_scheme_request_get_path(request);
  if (path && std::strcmp(path, kCallPath) == 0) {
    CBSDialog* dialog = DialogOfView(webkit_uri_scheme_request_get_web_view(request));
    if (!dialog) return FinishWithError(request, G_IO_ERROR_PERMISSION_DENIED, "no dialog");
    return dialog->OnCallRequest(request);
  }
  char* unescaped = g_uri_unescape_string(path ? path : "", nullptr);
  std::string name = unescaped ? unescaped : "";
  g_free(unescaped);
  while (!name.empty() && name.front() == '/') name.erase(name.begin());
  // Bundle names are lower case: folders and files match without regard to case.
  for (auto& c : name) c = static_cast<char>(g_ascii_tolower(c));
  if (name.empty() || name.find("..") != std::string::npos)
    return FinishWithError(request, G_IO_ERROR_NOT_FOUND, "no such resource");
  std::string resource = "/kestrilon/res/" + name;
  GBytes* bytes = g_resources_lookup_data(resource.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (!bytes) return FinishWithError(request, G_IO_ERROR_NOT_FOUND, "no such resource");
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(g_bytes_get_size(bytes)), ContentTypeOf(name));
  g_object_unref(stream);
  g_bytes_unref(bytes);
}

// ---- host event sources (the USB monitor) ----

std::map<int32_t, guint>& WatchedSources() {
  static std::map<int32_t, guint> sources;
  return sources;
}

void ResyncHostEventSources() {
  auto& watched = WatchedSources();
  for (auto& [id, tag] : watched) g_source_remove(tag);
  watched.clear();
  for (const HostEventSource& source : HostEventSources()) {
    const int32_t id = source.id;
    watched[id] = g_unix_fd_add(
        source.fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        +[](gint, GIOCondition, gpointer data) -> gboolean {
          DispatchHostEventSource(static_cast<int32_t>(GPOINTER_TO_INT(data)));
          return G_SOURCE_CONTINUE;
        },
        GINT_TO_POINTER(id));
  }
}

}  // namespace

// ---- window system ----

bool InitializeWindowSystem(int& argc, char** argv, std::string& error) {
  // The automation option is ours, not the page's: it goes before anything reads the command line.
  int kept = argc > 0 ? 1 : 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--automation") == 0) {
      g_automation = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  if (argv) argv[argc] = nullptr;

  if (!gtk_init_check(&argc, &argv)) {
    error = "cannot open a display: neither WAYLAND_DISPLAY nor DISPLAY reaches a desktop";
    return false;
  }
  g_uiThread = std::this_thread::get_id();
  g_initialized = true;
  SetEventPump([] {
    if (OnUserInterfaceThread()) {
      g_main_context_iteration(nullptr, TRUE);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  SetHostEventSourcesChanged([] { PostToUserInterfaceThread(ResyncHostEventSources); });
  ResyncHostEventSources();
  InstallGtkMessagePresenter();
  return true;
}

bool AutomationAllowed() { return g_automation; }

bool OnUserInterfaceThread() { return g_initialized && std::this_thread::get_id() == g_uiThread; }

void RunMainLoop(const std::atomic<bool>& running) {
  while (running && !g_quitPosted.exchange(false)) g_main_context_iteration(nullptr, TRUE);
}

void PostQuitMessage() {
  g_quitPosted = true;
  g_main_context_wakeup(nullptr);
}

namespace {
void PostWithPriority(std::function<void()> task, int priority) {
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, priority);
  g_source_set_callback(
      source,
      +[](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
      },
      new std::function<void()>(std::move(task)), +[](gpointer data) { delete static_cast<std::function<void()>*>(data); });
  g_source_attach(source, nullptr);
  g_source_unref(source);
}
}  // namespace

// Always through the loop (never run on the spot), so posted tasks keep their order.
void PostToUserInterfaceThread(std::function<void()> task) { PostWithPriority(std::move(task), G_PRIORITY_DEFAULT); }

void PostToUserInterfaceThreadWhenIdle(std::function<void()> task) {
  PostWithPriority(std::move(task), G_PRIORITY_LOW);
}

WebKitWebContext* SharedWebContext() {
  static WebKitWebContext* context = [] {
    WebKitWebContext* created = webkit_web_context_new();
    webkit_web_context_register_uri_scheme(created, "res", OnResRequest, nullptr, nullptr);
    webkit_security_manager_register_uri_scheme_as_secure(webkit_web_context_get_security_manager(created), "res");
    if (AutomationAllowed()) {
      webkit_web_context_set_automation_allowed(created, TRUE);
      g_signal_connect(created, "automation-started",
                       G_CALLBACK(+[](WebKitWebContext*, WebKitAutomationSession* session, gpointer) {
                         WebKitApplicationInfo* info = webkit_application_info_new();
                         webkit_application_info_set_name(info, "kestrilon-assistant");
                         webkit_automation_session_set_application_info(session, info);
                         webkit_application_info_unref(info);
                         // The session drives the dialog's own view.
                         g_signal_connect(session, "create-web-view",
                                          G_CALLBACK(+[](WebKitAutomationSession*, gpointer) -> WebKitWebView* {
                                            for (auto& dialog : LiveDialogs()) {
                                              if (dialog->View()) return dialog->View();
                                            }
                                            return nullptr;
                                          }),
                                          nullptr);
                       }),
                       nullptr);
    }
    return created;
  }();
  return context;
}

// ---- dialogs ----

IBSDialog* CreateBSDialog(const BSDialogParams* params) {
  if (!params || params->size != kBSDialogParamsSize || !g_initialized || !OnUserInterfaceThread()) return nullptr;
  auto dialog = std::make_shared<CBSDialog>(*params);
  LiveDialogs().push_back(dialog);
  if (!dialog->Create(*params)) {
    LiveDialogs().pop_back();
    return nullptr;
  }
  OpenDialogList().push_back(dialog.get());
  return dialog.get();
}

void DestroyBSDialog(IBSDialog* host) {
  auto& live = LiveDialogs();
  auto it = std::find_if(live.begin(), live.end(), [host](const auto& d) { return d.get() == host; });
  if (!host || it == live.end()) return;
  std::shared_ptr<CBSDialog> dialog = *it;
  dialog->Close();
  RemoveFromOpenDialogs(dialog.get());
  live.erase(std::find(live.begin(), live.end(), dialog));
}

void RemoveFromOpenDialogs(CBSDialog* dialog) {
  auto& list = OpenDialogList();
  auto it = std::find(list.begin(), list.end(), static_cast<IBSDialog*>(dialog));
  if (it == list.end()) return;
  list.erase(it);
  if (list.empty()) PostQuitMessage();
}

const std::vector<IBSDialog*>& OpenDialogs() { return OpenDialogList(); }

void ShowDialogWindow(WindowHandle window, int32_t showCommand) {
  PostToUserInterfaceThread([window, showCommand] {
    for (auto& dialog : LiveDialogs()) {
      if (dialog->GetWindowHandle() != window || window == 0) continue;
      GtkWindow* gtkWindow = reinterpret_cast<GtkWindow*>(window);
      switch (showCommand) {
        case SW_MINIMIZE: gtk_window_iconify(gtkWindow); break;
        case SW_MAXIMIZE: gtk_window_maximize(gtkWindow); break;
        case SW_RESTORE:
          gtk_window_unmaximize(gtkWindow);
          gtk_window_deiconify(gtkWindow);
          break;
        default: gtk_widget_show(GTK_WIDGET(gtkWindow)); break;
      }
    }
  });
}

void SetNewWindowHandler(std::function<void(const std::u16string& url)> handler) {
  std::lock_guard lock(g_newWindowMutex);
  g_newWindowHandler = std::move(handler);
}

void OpenNewWindow(const std::u16string& url) {
  std::function<void(const std::u16string&)> handler;
  {
    std::lock_guard lock(g_newWindowMutex);
    handler = g_newWindowHandler;
  }
  if (handler) handler(url);
}

}  // namespace Kestrilon::UI
