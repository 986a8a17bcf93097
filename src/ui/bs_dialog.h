#pragma once
// CBSDialog: the dialog host on GTK and WebKit (private to the window folder).
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>
#include <nlohmann/json.hpp>

#include "ui/assistant_notify.h"
#include "ui/window.h"

namespace Kestrilon::UI {

// The status of a page call that needs the page's answer while the page's script is blocked in a
// synchronous callc (the call cannot be made while an input-synchronous call is dispatched).
inline constexpr HRESULT RPC_E_CANTCALLOUT_ININPUTSYNCCALL = static_cast<HRESULT>(0x8001010Du);
inline constexpr HRESULT DISP_E_EXCEPTION = static_cast<HRESULT>(0x80020009u);
inline constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);

class CBSDialog;

// A page object (a script function or object) the host holds as a VT_DISPATCH value. The page keeps it
// alive until the host lets go; the release is carried to the user-interface thread.
class PageObject final : public IScriptObject {
 public:
  PageObject(std::weak_ptr<CBSDialog> dialog, std::string id) : dialog_(std::move(dialog)), id_(std::move(id)) {}
  ~PageObject() override;
  const std::string& Id() const { return id_; }
  bool BelongsTo(const CBSDialog* dialog) const;

 private:
  std::weak_ptr<CBSDialog> dialog_;
  std::string id_;
};

class CBSDialog final : public IBSDialog, public std::enable_shared_from_this<CBSDialog> {
 public:
  explicit CBSDialog(const BSDialogParams& params);
  ~CBSDialog() override;
  bool Create(const BSDialogParams& params);
  // Destroys the window if it still exists; afterwards every script operation fails.
  void Close();

  WindowHandle GetWindowHandle() override;
  int32_t ResizeToContent(int32_t width, int32_t height) override;
  HRESULT CallScriptFunction(std::u16string_view name, const ScriptValue* args, uint32_t count,
                             ScriptValue* result) override;
  HRESULT SetScriptVariable(std::u16string_view name, const ScriptValue& value) override;
  HRESULT GetScriptVariable(std::u16string_view name, ScriptValue& value) override;
  HRESULT ExecScript(std::u16string_view script) override;
  // Calls the callback's own `call` member with `args` (platform order); any thread.
  HRESULT InvokeScriptCallback(const ScriptValue& callback, const ScriptValue* args, uint32_t count);

  const CommandCallback& Command() const { return commandCallback_; }
  WebKitWebView* View() const { return view_; }

  // Requests of the page (user-interface thread).
  void OnCallRequest(WebKitURISchemeRequest* request);
  void OnScriptMessage(const std::string& json);
  // Releases a page reference (user-interface thread).
  void ReleasePageObject(const std::string& id);

 private:
  struct PageCall;
  using Completion = std::function<void(HRESULT, const nlohmann::json& result)>;

  // Runs `script` in the page: at once, or queued while the page is blocked in callc; `needsAnswer`
  // calls fail then instead. The completion runs on the user-interface thread.
  void RunPageScript(std::string script, bool needsAnswer, Completion done);
  // The same from any thread, waiting for the completion. On the user-interface thread a call queued
  // behind a blocked page returns at once.
  HRESULT RunPageScriptAndWait(std::string script, bool needsAnswer, nlohmann::json* result);
  void FlushQueuedPageCalls();
  nlohmann::json EncodeForPage(const ScriptValue& value) const;
  ScriptValue DecodeFromPage(const nlohmann::json& tagged);
  bool IsOwnPage() const;

  void OnLoadFinished();
  void ResizeToContentAsync(int32_t width, int32_t height, std::function<void(int32_t)> done);
  void CentreWindow(int width, int height);
  void OnElementClick(const std::string& id);
  void OnTitlePressed();
  void OnWindowDestroyed();
  void OnDecidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gboolean* handled);
  void OpenNewWindowAddress(const char* uri);

  static gboolean KeyPressThunk(GtkWidget*, GdkEventKey* event, gpointer self);
  static gboolean ButtonPressThunk(GtkWidget*, GdkEventButton* event, gpointer self);

  CommandCallback commandCallback_;
  MessageCallback messageCallback_;
  std::function<MenuHandle(IBSDialog*)> menuProvider_;
  MenuHandle menu_ = 0;
  int32_t autoSize_ = 1;
  int32_t maxWidth_ = 0;
  int32_t maxHeight_ = 0;
  bool captioned_ = true;
  int requestedWidth_ = 0;   // the size last given to the window
  int requestedHeight_ = 0;

  GtkWindow* window_ = nullptr;
  WebKitWebView* view_ = nullptr;
  GCancellable* cancellable_ = nullptr;
  GdkEvent* lastButtonPress_ = nullptr;
  std::atomic<WindowHandle> windowHandle_{0};
  std::atomic<bool> closed_{false};

  std::u16string currentUrl_;   // normalised; empty until the first document completed
  bool documentReady_ = false;  // stands for the stored document object
  int pageBlocked_ = 0;         // depth of synchronous callc calls in progress
  std::deque<std::unique_ptr<PageCall>> queuedCalls_;
  std::vector<std::string> pendingReleases_;
  std::unique_ptr<NotifyReceiver> notifyReceiver_;  // "AssistantNotify" from other processes  // page references let go of, not yet released in the page

  // Calls from other threads waiting for the user-interface thread; failed when the dialog closes.
  struct Waiter {
    std::mutex mutex;
    std::condition_variable ready;
    bool done = false;
    HRESULT status = Platform::E_FAIL;
    nlohmann::json result;
  };
  std::mutex waitersMutex_;
  std::vector<std::shared_ptr<Waiter>> waiters_;
};

// The dialog whose view this is, or null.
CBSDialog* DialogOfView(WebKitWebView* view);
// The process's web context: res:// scheme, automation when allowed.
WebKitWebContext* SharedWebContext();

}  // namespace Kestrilon::UI
