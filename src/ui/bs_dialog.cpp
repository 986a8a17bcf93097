#include "ui/bs_dialog.h"

#include <algorithm>

#include "platform/text/text.h"
#include "ui/bridge_script.h"
#include "ui/external_async_thread.h"
#include "ui/host/script_json.h"
#include "ui/window_system.h"

namespace Kestrilon::UI {

using nlohmann::json;
using Platform::E_FAIL;
using Platform::S_OK;

namespace {

constexpr const char* kDialogKey = "kestrilon-dialog";
constexpr HRESULT RPC_E_WRONG_THREAD = static_cast<HRESULT>(0x8001010Eu);

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string PageAddress(const BSDialogParams& params) {
  if (params.htmlResourceId != 0) return "res://kestrilon/" + std::to_string(params.htmlResourceId);
  if (params.htmlResourceName) return "res://kestrilon/" + Platform::ToUtf8(params.htmlResourceName);
  if (params.url) return Platform::ToUtf8(params.url);
  return {};
}

bool IsKey(guint keyval, std::initializer_list<guint> keys) {
  return std::find(keys.begin(), keys.end(), keyval) != keys.end();
}

}  // namespace

struct CBSDialog::PageCall {
  std::string script;
  Completion done;
};

// ---- page objects ---------------------------------------------------------------------------------

PageObject::~PageObject() {
  if (dialog_.expired()) return;
  PostToUserInterfaceThread([dialog = dialog_, id = id_] {
    if (auto live = dialog.lock()) live->ReleasePageObject(id);
  });
}

bool PageObject::BelongsTo(const CBSDialog* dialog) const {
  auto live = dialog_.lock();
  return live.get() == dialog;
}

CBSDialog* DialogOfView(WebKitWebView* view) {
  return view ? static_cast<CBSDialog*>(g_object_get_data(G_OBJECT(view), kDialogKey)) : nullptr;
}

// ---- creation and destruction ---------------------------------------------------------------------

CBSDialog::CBSDialog(const BSDialogParams& params)
    : commandCallback_(params.commandCallback),
      messageCallback_(params.messageCallback),
      menuProvider_(params.menuProvider),
      menu_(params.menu),
      autoSize_(params.autoSize),
      maxWidth_(params.width),
      maxHeight_(params.height),
      captioned_(params.captioned != 0) {}

CBSDialog::~CBSDialog() {
  if (lastButtonPress_) gdk_event_free(lastButtonPress_);
  if (cancellable_) g_object_unref(cancellable_);
}

bool CBSDialog::Create(const BSDialogParams& params) {
  cancellable_ = g_cancellable_new();
  window_ = GTK_WINDOW(gtk_window_new(GTK_WINDOW_TOPLEVEL));
  gtk_window_set_decorated(window_, captioned_);
  gtk_window_set_default_size(window_, params.width > 0 ? params.width : 1, params.height > 0 ? params.height : 1);
  gtk_window_move(window_, 0, 0);
  if (params.parent) gtk_window_set_transient_for(window_, GTK_WINDOW(reinterpret_cast<GtkWindow*>(params.parent)));
  if (params.title) gtk_window_set_title(window_, Platform::ToUtf8(params.title).c_str());
  if (params.icon != 0) {
    std::string path = "/kestrilon/res/" + std::to_string(params.icon);
    if (GdkPixbuf* icon = gdk_pixbuf_new_from_resource(path.c_str(), nullptr)) {
      gtk_window_set_icon(window_, icon);
      g_object_unref(icon);
    }
  }

  WebKitUserContentManager* content = webkit_user_content_manager_new();
  WebKitUserScript* script = webkit_user_script_new(kBridgeScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                                    WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
  webkit_user_content_manager_add_script(content, script);
  webkit_user_script_unref(script);
  std::string signal = std::string("script-message-received::") + kBridgeMessageHandler;
  g_signal_connect(content, signal.c_str(),
                   G_CALLBACK(+[](WebKitUserContentManager*, WebKitJavascriptResult* message, gpointer self) {
                     char* text = jsc_value_to_string(webkit_javascript_result_get_js_value(message));
                     std::string json = text ? text : "";
                     g_free(text);
                     static_cast<CBSDialog*>(self)->OnScriptMessage(json);
                   }),
                   this);
  webkit_user_content_manager_register_script_message_handler(content, kBridgeMessageHandler);

  WebKitSettings* settings = webkit_settings_new();
  webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
  webkit_settings_set_enable_write_console_messages_to_stdout(settings, g_getenv("KESTRILON_PAGE_CONSOLE") != nullptr);

  view_ = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", SharedWebContext(), "user-content-manager",
                                       content, "settings", settings, "is-controlled-by-automation",
                                       AutomationAllowed() ? TRUE : FALSE, nullptr));
  g_object_unref(content);
  g_object_unref(settings);
  g_object_set_data(G_OBJECT(view_), kDialogKey, this);
  gtk_drag_dest_unset(GTK_WIDGET(view_));  // no drop target

  g_signal_connect(view_, "key-press-event", G_CALLBACK(KeyPressThunk), this);
  g_signal_connect(view_, "button-press-event", G_CALLBACK(ButtonPressThunk), this);
  g_signal_connect(view_, "context-menu",
                   G_CALLBACK(+[](WebKitWebView*, WebKitContextMenu*, GdkEvent*, WebKitHitTestResult* hit, gpointer) {
                     return webkit_hit_test_result_context_is_selection(hit) ? FALSE : TRUE;
                   }),
                   nullptr);
  // No dialogs of the engine's own: alert, confirm and prompt are answered as dismissed.
  g_signal_connect(view_, "script-dialog", G_CALLBACK(+[](WebKitWebView*, WebKitScriptDialog*, gpointer) { return TRUE; }),
                   nullptr);
  g_signal_connect(view_, "decide-policy",
                   G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                  gpointer self) {
                     gboolean handled = FALSE;
                     static_cast<CBSDialog*>(self)->OnDecidePolicy(decision, type, &handled);
                     return handled;
                   }),
                   this);
  g_signal_connect(view_, "create",
                   G_CALLBACK(+[](WebKitWebView*, WebKitNavigationAction* action, gpointer self) -> GtkWidget* {
                     WebKitURIRequest* request = webkit_navigation_action_get_request(action);
                     static_cast<CBSDialog*>(self)->OpenNewWindowAddress(request ? webkit_uri_request_get_uri(request)
                                                                                 : nullptr);
                     return nullptr;
                   }),
                   this);
  g_signal_connect(view_, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
                     auto* dialog = static_cast<CBSDialog*>(self);
                     // The page's script can be called from the moment its document exists, so results of
                     // commands that finish while pictures still load reach the page.
                     if (event == WEBKIT_LOAD_COMMITTED) dialog->documentReady_ = true;
                     if (event == WEBKIT_LOAD_FINISHED) dialog->OnLoadFinished();
                   }),
                   this);
  // window.close() from the page, or the automation closing the window: as the window's own close.
  g_signal_connect(view_, "close", G_CALLBACK(+[](WebKitWebView*, gpointer self) {
                     auto* dialog = static_cast<CBSDialog*>(self);
                     if (dialog->window_) gtk_window_close(dialog->window_);
                   }),
                   this);
  g_signal_connect(window_, "delete-event", G_CALLBACK(+[](GtkWidget* window, GdkEvent*, gpointer self) {
                     auto* dialog = static_cast<CBSDialog*>(self);
                     auto keep = dialog->shared_from_this();
                     gtk_widget_destroy(window);
                     if (dialog->messageCallback_) dialog->messageCallback_(dialog, kMessageClose, 0, 0);
                     return TRUE;
                   }),
                   this);
  g_signal_connect(window_, "destroy",
                   G_CALLBACK(+[](GtkWidget*, gpointer self) { static_cast<CBSDialog*>(self)->OnWindowDestroyed(); }),
                   this);

  gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
  gtk_widget_show_all(GTK_WIDGET(window_));
  gtk_widget_grab_focus(GTK_WIDGET(view_));
  windowHandle_ = reinterpret_cast<WindowHandle>(window_);

  notifyReceiver_ = std::make_unique<NotifyReceiver>([this](uintptr_t wParam, intptr_t lParam) {
    if (messageCallback_) messageCallback_(this, kMessageAssistantNotify, wParam, lParam);
  });

  std::string address = PageAddress(params);
  if (!address.empty()) webkit_web_view_load_uri(view_, address.c_str());
  return true;
}

void CBSDialog::Close() {
  closed_ = true;
  g_cancellable_cancel(cancellable_);
  std::vector<std::shared_ptr<Waiter>> waiting;
  {
    std::lock_guard lock(waitersMutex_);
    waiting.swap(waiters_);
  }
  for (auto& waiter : waiting) {
    std::lock_guard lock(waiter->mutex);
    waiter->done = true;
    waiter->status = E_FAIL;
    waiter->ready.notify_all();
  }
  for (auto& call : std::exchange(queuedCalls_, {})) call->done(E_FAIL, json());
  if (window_) gtk_widget_destroy(GTK_WIDGET(window_));
}

void CBSDialog::OnWindowDestroyed() {
  auto keep = shared_from_this();
  notifyReceiver_.reset();
  g_cancellable_cancel(cancellable_);
  windowHandle_ = 0;
  window_ = nullptr;
  if (view_) g_object_set_data(G_OBJECT(view_), kDialogKey, nullptr);
  view_ = nullptr;
  documentReady_ = false;
  closed_ = true;
  for (auto& call : std::exchange(queuedCalls_, {})) call->done(E_FAIL, json());
  RemoveFromOpenDialogs(this);
}

WindowHandle CBSDialog::GetWindowHandle() { return windowHandle_; }

// ---- document and window --------------------------------------------------------------------------

bool CBSDialog::IsOwnPage() const {
  if (!view_ || closed_) return false;
  const char* uri = webkit_web_view_get_uri(view_);
  return uri && g_str_has_prefix(uri, "res:");
}

void CBSDialog::OnLoadFinished() {
  if (!view_) return;
  const bool first = currentUrl_.empty();
  documentReady_ = true;
  const char* uri = webkit_web_view_get_uri(view_);
  currentUrl_ = NormalizeUrl(Platform::ToUtf16(uri ? uri : ""));
  auto centre = [this, first, keep = weak_from_this()](int32_t) {
    if (keep.expired() || !window_ || !first) return;
    int width = requestedWidth_, height = requestedHeight_;
    if (width <= 0 || height <= 0) gtk_window_get_size(window_, &width, &height);
    CentreWindow(width, height);
  };
  if (autoSize_ == 1) {
    ResizeToContentAsync(-1, -1, centre);
  } else {
    centre(0);
  }
}

void CBSDialog::ResizeToContentAsync(int32_t width, int32_t height, std::function<void(int32_t)> done) {
  auto apply = [this](int32_t w, int32_t h) {
    if (!window_) return;
    if (maxWidth_ > 0 && maxWidth_ < w) w = maxWidth_;
    if (maxHeight_ > 0 && maxHeight_ < h) h = maxHeight_;
    if (w < 1) w = 1;
    if (h < 1) h = 1;
    // The user cannot resize an auto-sized window: its smallest and largest sizes are the page's.
    if (autoSize_ == 1) {
      GdkGeometry hints{};
      hints.min_width = hints.max_width = w;
      hints.min_height = hints.max_height = h;
      gtk_window_set_geometry_hints(window_, nullptr, &hints,
                                    static_cast<GdkWindowHints>(GDK_HINT_MIN_SIZE | GDK_HINT_MAX_SIZE));
    }
    gtk_window_resize(window_, w, h);
    requestedWidth_ = w;
    requestedHeight_ = h;
  };
  if (width > 0 && height > 0) {
    apply(width, height);
    done(0);
    return;
  }
  RunPageScript("__kestrilonHost.size()", true,
                [this, width, height, apply, done, keep = weak_from_this()](HRESULT status, const json& size) {
                  if (keep.expired()) return;
                  if (status < 0 || !size.is_array() || size.size() != 2) {
                    done(status < 0 ? status : E_FAIL);
                    return;
                  }
                  apply(width > 0 ? width : size[0].get<int32_t>(), height > 0 ? height : size[1].get<int32_t>());
                  done(0);
                });
}

int32_t CBSDialog::ResizeToContent(int32_t width, int32_t height) {
  if (!OnUserInterfaceThread()) return RPC_E_WRONG_THREAD;
  auto state = std::make_shared<std::pair<bool, int32_t>>(false, 0);
  ResizeToContentAsync(width, height, [state](int32_t status) { *state = {true, status}; });
  while (!state->first) g_main_context_iteration(nullptr, TRUE);
  return state->second;
}

void CBSDialog::CentreWindow(int width, int height) {
  if (!window_) return;
  GdkRectangle area{0, 0, 0, 0};
  if (GtkWindow* owner = gtk_window_get_transient_for(window_)) {
    gtk_window_get_position(owner, &area.x, &area.y);
    gtk_window_get_size(owner, &area.width, &area.height);
  } else {
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window_));
    GdkWindow* gdkWindow = gtk_widget_get_window(GTK_WIDGET(window_));
    GdkMonitor* monitor = gdkWindow ? gdk_display_get_monitor_at_window(display, gdkWindow) : nullptr;
    if (!monitor) monitor = gdk_display_get_primary_monitor(display);
    if (!monitor) monitor = gdk_display_get_monitor(display, 0);
    if (!monitor) return;
    gdk_monitor_get_workarea(monitor, &area);
  }
  gtk_window_move(window_, area.x + (area.width - width) / 2, area.y + (area.height - height) / 2);
}

void CBSDialog::OnDecidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gboolean* handled) {
  if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
    return;
  WebKitNavigationAction* action =
      webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
  WebKitURIRequest* request = action ? webkit_navigation_action_get_request(action) : nullptr;
  const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
  if (type == WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION) {
    webkit_policy_decision_ignore(decision);
    *handled = TRUE;
    OpenNewWindowAddress(uri);
    return;
  }
  // Fragment links and reloads of the page itself never navigate.
  if (uri && SamePageAddress(currentUrl_, NormalizeUrl(Platform::ToUtf16(uri)))) {
    webkit_policy_decision_ignore(decision);
    *handled = TRUE;
  }
}

void CBSDialog::OpenNewWindowAddress(const char* uri) {
  if (!uri || !*uri || g_strcmp0(uri, "about:blank") == 0) return;
  OpenNewWindow(Platform::ToUtf16(uri));
}

gboolean CBSDialog::KeyPressThunk(GtkWidget*, GdkEventKey* event, gpointer) {
  const guint key = gdk_keyval_to_lower(event->keyval);
  const bool alt = (event->state & GDK_MOD1_MASK) != 0;
  const bool control = (event->state & GDK_CONTROL_MASK) != 0;
  if (IsKey(key, {GDK_KEY_Escape, GDK_KEY_F1, GDK_KEY_F5})) return TRUE;
  if (alt && IsKey(key, {GDK_KEY_Left, GDK_KEY_Right, GDK_KEY_KP_Left, GDK_KEY_KP_Right})) return TRUE;
  if (control && IsKey(key, {GDK_KEY_d, GDK_KEY_l, GDK_KEY_n, GDK_KEY_o, GDK_KEY_p, GDK_KEY_s})) return TRUE;
  return FALSE;
}

gboolean CBSDialog::ButtonPressThunk(GtkWidget*, GdkEventButton* event, gpointer self) {
  auto* dialog = static_cast<CBSDialog*>(self);
  if (dialog->lastButtonPress_) gdk_event_free(dialog->lastButtonPress_);
  dialog->lastButtonPress_ = gdk_event_copy(reinterpret_cast<GdkEvent*>(event));
  return FALSE;
}

void CBSDialog::OnTitlePressed() {
  if (!window_ || !lastButtonPress_) return;
  const GdkEventButton& press = lastButtonPress_->button;
  gtk_window_begin_move_drag(window_, static_cast<gint>(press.button), static_cast<gint>(press.x_root),
                             static_cast<gint>(press.y_root), press.time);
}

void CBSDialog::OnElementClick(const std::string& id) {
  auto keep = shared_from_this();
  if (id == "ui_close") {
    // The dialog's cancel operation, which does nothing.
  } else if (id == "ui_quit") {
    PostQuitMessage();
  } else if (id == "ui_maximize") {
    if (window_) gtk_window_maximize(window_);
  } else if (id == "ui_restore") {
    if (window_) {
      gtk_window_unmaximize(window_);
      gtk_window_deiconify(window_);
    }
  } else if (id == "ui_minimize") {
    if (window_) gtk_window_iconify(window_);
  } else if (id == "ui_menu") {
    MenuHandle menu = menuProvider_ ? menuProvider_(this) : menu_;
    if (menu && window_) {
      GtkMenu* popup = reinterpret_cast<GtkMenu*>(menu);
      if (!gtk_menu_get_attach_widget(popup)) gtk_menu_attach_to_widget(popup, GTK_WIDGET(window_), nullptr);
      gtk_menu_popup_at_pointer(popup, lastButtonPress_);
    }
  } else {
    return;
  }
  if (commandCallback_) {
    ScriptValue ignored;
    commandCallback_(ignored, this, ScriptValue::String(u"ui_notify"), ScriptValue::String(Platform::ToUtf16(id)),
                     ScriptValue(), ScriptValue(), ScriptValue());
  }
}

// ---- requests of the page -------------------------------------------------------------------------

void CBSDialog::OnCallRequest(WebKitURISchemeRequest* request) {
  auto keep = shared_from_this();
  if (!IsOwnPage()) {
    GError* error = g_error_new_literal(G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "not a page of the program");
    webkit_uri_scheme_request_finish_error(request, error);
    g_error_free(error);
    return;
  }
  std::string body;
  if (GInputStream* stream = webkit_uri_scheme_request_get_http_body(request)) {
    char buffer[16384];
    gssize n;
    while ((n = g_input_stream_read(stream, buffer, sizeof buffer, nullptr, nullptr)) > 0) body.append(buffer, n);
    g_object_unref(stream);
  }
  ScriptValue args[5];
  json list = json::parse(body, nullptr, false);
  if (list.is_array()) {
    for (size_t i = 0; i < 5 && i < list.size(); ++i) args[i] = DecodeFromPage(list[i]);
  }
  ScriptValue result;
  // The page's script waits for this answer: until it has it, the page cannot run anything else.
  ++pageBlocked_;
  if (commandCallback_) {
    try {
      commandCallback_(result, this, args[0], args[1], args[2], args[3], args[4]);
    } catch (...) {
      result = ScriptValue();
    }
  }
  --pageBlocked_;
  std::string answer = Dump(EncodeForPage(result));
  GBytes* bytes = g_bytes_new(answer.data(), answer.size());
  GInputStream* stream = g_memory_input_stream_new_from_bytes(bytes);
  WebKitURISchemeResponse* response = webkit_uri_scheme_response_new(stream, static_cast<gint64>(answer.size()));
  webkit_uri_scheme_response_set_content_type(response, "application/json");
  webkit_uri_scheme_request_finish_with_response(request, response);
  g_object_unref(response);
  g_object_unref(stream);
  g_bytes_unref(bytes);
  if (pageBlocked_ == 0) FlushQueuedPageCalls();
}

void CBSDialog::OnScriptMessage(const std::string& text) {
  if (!IsOwnPage()) return;  // message handlers are reachable from any page; only our own may use them
  auto keep = shared_from_this();
  json message = json::parse(text, nullptr, false);
  if (!message.is_object()) return;
  const std::string op = message.value("op", "");
  if (op == "async") {
    ScriptValue callback;
    if (message.contains("callback") && message["callback"].is_object()) callback = DecodeFromPage(message["callback"]);
    ScriptValue values[5];
    if (message.contains("args") && message["args"].is_array()) {
      const json& args = message["args"];
      for (size_t i = 0; i < 5 && i < args.size(); ++i) values[i] = DecodeFromPage(args[i]);
    }
    Model::PostAsyncWork(new Model::ExternalAsyncThread(message.value("queued", true), keep, std::move(callback), values));
  } else if (op == "click") {
    OnElementClick(message.value("id", ""));
  } else if (op == "title") {
    OnTitlePressed();
  } else if (op == "resize") {
    if (autoSize_ == 1) ResizeToContentAsync(-1, -1, [](int32_t) {});
  }
}

// ---- calls into the page --------------------------------------------------------------------------

json CBSDialog::EncodeForPage(const ScriptValue& value) const {
  if (value.Kind() == VT_DISPATCH) {
    auto* object = dynamic_cast<PageObject*>(value.AsDispatch().get());
    if (!object || !object->BelongsTo(this)) return json();
    return json{{"kind", "VT_DISPATCH"}, {"value", object->Id()}};
  }
  return EncodeTagged(value);
}

ScriptValue CBSDialog::DecodeFromPage(const json& tagged) {
  if (tagged.is_object() && tagged.value("kind", "") == "VT_DISPATCH") {
    if (!tagged.contains("value") || !tagged["value"].is_string()) return ScriptValue();
    return ScriptValue::Dispatch(std::make_shared<PageObject>(weak_from_this(), tagged["value"].get<std::string>()));
  }
  ScriptValue value;
  if (!DecodeTagged(tagged, value)) return ScriptValue();
  return value;
}

void CBSDialog::RunPageScript(std::string script, bool needsAnswer, Completion done) {
  if (closed_ || !view_) return done(E_FAIL, json());
  if (!documentReady_) return done(E_POINTER, json());
  if (pageBlocked_ > 0) {
    // The page's script is inside a synchronous callc and runs nothing until it returns. A call without
    // an answer waits its turn and runs right after; one that needs the page's answer cannot wait here
    // (its caller would block the very thread that has to answer the page) and fails instead.
    if (needsAnswer) return done(RPC_E_CANTCALLOUT_ININPUTSYNCCALL, json());
    queuedCalls_.push_back(std::make_unique<PageCall>(PageCall{std::move(script), std::move(done)}));
    return;
  }
  // A document without the bridge (not yet injected, or a page from elsewhere) answers E_POINTER.
  script = "(window.__kestrilonHost ? " + script + " : '{\"s\":-2147467261}')";
  auto* pending = new Completion(std::move(done));
  webkit_web_view_evaluate_javascript(
      view_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, cancellable_,
      +[](GObject* source, GAsyncResult* asyncResult, gpointer data) {
        std::unique_ptr<Completion> done(static_cast<Completion*>(data));
        GError* error = nullptr;
        JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), asyncResult, &error);
        if (!value) {
          // Cancelled: the dialog went away. Otherwise the script did not run (no bridge in this page).
          const bool cancelled = error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
          if (error) g_error_free(error);
          (*done)(cancelled ? E_FAIL : DISP_E_EXCEPTION, json());
          return;
        }
        char* text = jsc_value_is_string(value) ? jsc_value_to_string(value) : nullptr;
        g_object_unref(value);
        json answer = json::parse(text ? text : "", nullptr, false);
        g_free(text);
        if (!answer.is_object() || !answer.contains("s") || !answer["s"].is_number_integer()) {
          (*done)(E_FAIL, json());
          return;
        }
        (*done)(static_cast<HRESULT>(answer["s"].get<int64_t>()), answer.contains("r") ? answer["r"] : json());
      },
      pending);
}

void CBSDialog::FlushQueuedPageCalls() {
  auto calls = std::exchange(queuedCalls_, {});
  for (auto& call : calls) RunPageScript(std::move(call->script), false, std::move(call->done));
}

HRESULT CBSDialog::RunPageScriptAndWait(std::string script, bool needsAnswer, json* result) {
  auto waiter = std::make_shared<Waiter>();
  auto complete = [waiter](HRESULT status, const json& answer) {
    std::lock_guard lock(waiter->mutex);
    if (waiter->done) return;
    waiter->done = true;
    waiter->status = status;
    waiter->result = answer;
    waiter->ready.notify_all();
  };
  if (OnUserInterfaceThread()) {
    const bool queuedBehindBlockedPage = pageBlocked_ > 0 && !needsAnswer && documentReady_ && !closed_ && view_;
    RunPageScript(std::move(script), needsAnswer, complete);
    // This thread is the one the blocked page waits for: the call runs after the callc returns.
    if (queuedBehindBlockedPage) return S_OK;
    while (true) {
      {
        std::lock_guard lock(waiter->mutex);
        if (waiter->done) break;
      }
      g_main_context_iteration(nullptr, TRUE);
    }
  } else {
    if (closed_) return E_FAIL;
    {
      std::lock_guard lock(waitersMutex_);
      waiters_.push_back(waiter);
    }
    PostToUserInterfaceThread([self = shared_from_this(), script = std::move(script), needsAnswer, complete]() mutable {
      self->RunPageScript(std::move(script), needsAnswer, complete);
    });
    std::unique_lock lock(waiter->mutex);
    waiter->ready.wait(lock, [&] { return waiter->done; });
    lock.unlock();
    std::lock_guard listLock(waitersMutex_);
    std::erase(waiters_, waiter);
  }
  std::lock_guard lock(waiter->mutex);
  if (result) *result = waiter->result;
  return waiter->status;
}

HRESULT CBSDialog::CallScriptFunction(std::u16string_view name, const ScriptValue* args, uint32_t count,
                                      ScriptValue* result) {
  json pageOrder = json::array();
  for (uint32_t i = count; i > 0; --i) pageOrder.push_back(EncodeForPage(args[i - 1]));
  json answer;
  HRESULT status = RunPageScriptAndWait(
      "__kestrilonHost.call(" + Dump(Platform::ToUtf8(name)) + "," + Dump(pageOrder) + ")", result != nullptr,
      &answer);
  if (result) *result = status >= 0 ? DecodeFromPage(answer) : ScriptValue();
  return status;
}

HRESULT CBSDialog::InvokeScriptCallback(const ScriptValue& callback, const ScriptValue* args, uint32_t count) {
  json pageOrder = json::array();
  for (uint32_t i = count; i > 0; --i) pageOrder.push_back(EncodeForPage(args[i - 1]));
  return RunPageScriptAndWait(
      "__kestrilonHost.invoke(" + Dump(EncodeForPage(callback)) + "," + Dump(pageOrder) + ")", false, nullptr);
}

HRESULT CBSDialog::SetScriptVariable(std::u16string_view name, const ScriptValue& value) {
  return RunPageScriptAndWait(
      "__kestrilonHost.set(" + Dump(Platform::ToUtf8(name)) + "," + Dump(EncodeForPage(value)) + ")", false, nullptr);
}

HRESULT CBSDialog::GetScriptVariable(std::u16string_view name, ScriptValue& value) {
  json answer;
  HRESULT status = RunPageScriptAndWait("__kestrilonHost.get(" + Dump(Platform::ToUtf8(name)) + ")", true, &answer);
  value = status >= 0 ? DecodeFromPage(answer) : ScriptValue();
  return status;
}

HRESULT CBSDialog::ExecScript(std::u16string_view script) {
  return RunPageScriptAndWait("__kestrilonHost.exec(" + Dump(Platform::ToUtf8(script)) + ")", false, nullptr);
}

void CBSDialog::ReleasePageObject(const std::string& id) {
  if (closed_ || !documentReady_) return;
  // Releases are gathered and sent in one call when the loop is idle, off the path of the round trips.
  pendingReleases_.push_back(id);
  if (pendingReleases_.size() > 1) return;
  PostToUserInterfaceThreadWhenIdle([dialog = weak_from_this()] {
    auto live = dialog.lock();
    if (!live) return;
    json ids = std::exchange(live->pendingReleases_, {});
    if (live->closed_ || !live->documentReady_) return;
    live->RunPageScript("__kestrilonHost.release(" + Dump(ids) + ")", false, [](HRESULT, const json&) {});
  });
}

}  // namespace Kestrilon::UI
