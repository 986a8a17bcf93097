#pragma once
// The window host: the program's dialog (a borderless GTK window whose whole area is a WebKit view
// showing the page from the program's resources), the page's window.external bridge, the worker that
// runs asynchronous page calls, the GTK presenter of the message functions and the main loop.
//
// Nothing here exposes GTK or WebKit types: handles are opaque and callers include only this header.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "ui/host/host.h"
#include "ui/host/script_value.h"

namespace Kestrilon::App {
class IWindowHost;
}

namespace Kestrilon::Model {

// One unit of asynchronous work. Whoever runs a unit calls Run and then Destroy; the unit never
// outlives that.
class IThreadParameter {
 public:
  virtual ~IThreadParameter() = default;
  virtual void Run() = 0;
  virtual void Destroy() { delete this; }
  // True: run on the shared worker, in order with the other queued units; false: a thread of its own.
  virtual bool Queued() const = 0;
};

// Starts the unit's execution and returns without waiting. Queued units run one at a time in the order
// they were posted; the others get a thread each.
void PostAsyncWork(IThreadParameter* unit);

}  // namespace Kestrilon::Model

namespace Kestrilon::UI {

// A popup menu for the ui_menu element: a GtkMenu* in this host.
using MenuHandle = uintptr_t;

// The handler of callc and asyncallc: (result, host, name, a2, a3, a4, a5).
using CommandCallback = std::function<void(ScriptValue& result, IBSDialog* host, const ScriptValue& name,
                                           const ScriptValue& a2, const ScriptValue& a3, const ScriptValue& a4,
                                           const ScriptValue& a5)>;
// The receiver of forwarded window messages: (host, message number, wParam, lParam) → result.
using MessageCallback = std::function<intptr_t(IBSDialog* host, uint32_t message, uintptr_t wParam, intptr_t lParam)>;

inline constexpr uint32_t kBSDialogParamsSize = 64;

// Message numbers forwarded to MessageCallback.
inline constexpr uint32_t kMessageClose = 16;            // the window was closed
inline constexpr uint32_t kMessageCommand = 273;         // a menu command: lParam is its id
inline constexpr uint32_t kMessageAssistantNotify = 32769;  // The window host start-up runs the program with (the dialog with OnScriptCommand, the main loop).
App::IWindowHost& ApplicationWindowHost();

// "AssistantNotify" from another process

// The creation record of a dialog, with its defaults.
struct BSDialogParams {
  uint32_t size = kBSDialogParamsSize;  // any other value makes creation fail
  WindowHandle parent = 0;              // owner window
  const char16_t* title = nullptr;      // window title, when not null
  uint8_t captioned = 1;                // 1: the window manager's caption and frame; 0: the page draws its own
  int32_t autoSize = 1;                 // 1: sized to the page's body, not resizable; 0: resizable
  int32_t width = 0;                    // initial width when above 0, and the largest width ResizeToContent gives
  int32_t height = 0;                   // the same for the height
  uint32_t icon = 0;                    // id of the bundle's icon resource (a picture), 0 for none
  MenuHandle menu = 0;                  // popup menu of ui_menu
  std::function<MenuHandle(IBSDialog*)> menuProvider;  // asked for the ui_menu popup instead of menu
  uint32_t htmlResourceId = 0;          // the HTML resource to show (res://kestrilon/<id>)
  const char16_t* htmlResourceName = nullptr;  // the HTML resource by name, instead of the id
  const char16_t* url = nullptr;        // the address to show when no resource is given
  CommandCallback commandCallback;
  MessageCallback messageCallback;
};

// The new host's interface, or null when params is missing, its size is not 64 or the window system
// is not initialised. The window is visible when this returns; the page is still loading.
IBSDialog* CreateBSDialog(const BSDialogParams* params);
// Destroys the host's window (if it still exists) and the host. Null and unknown hosts are ignored.
void DestroyBSDialog(IBSDialog* host);
// The live hosts in creation order. A host leaves when its window is destroyed; when the last one
// leaves, the quit message is posted. User-interface thread only.
const std::vector<IBSDialog*>& OpenDialogs();

// Window show commands (the Windows numbers): for the dialog's window, from any thread.
inline constexpr int32_t SW_MAXIMIZE = 3;
inline constexpr int32_t SW_SHOW = 5;
inline constexpr int32_t SW_MINIMIZE = 6;
inline constexpr int32_t SW_RESTORE = 9;
void ShowDialogWindow(WindowHandle window, int32_t showCommand);

// The window system. InitializeWindowSystem takes "--automation" off the command line (it allows
// WebDriver to drive the dialog's page) before anything else reads it, then opens the display. It
// records the calling thread as the user-interface thread, installs the GTK message presenter and the
// host event pump and serves the host event sources. False, with a reason, when there is no display.
bool InitializeWindowSystem(int& argc, char** argv, std::string& error);
bool AutomationAllowed();
bool OnUserInterfaceThread();
// Runs the main loop until the quit message arrives or `running` is false.
void RunMainLoop(const std::atomic<bool>& running);
// Posts the quit message to the main loop (from any thread).
void PostQuitMessage();
// Runs `task` on the user-interface thread soon; returns at once.
void PostToUserInterfaceThread(std::function<void()> task);

// Where addresses the page asks to open in a new window go; OpenInInternetExplorer by default.
void SetNewWindowHandler(std::function<void(const std::u16string& url)> handler);

// The address form the host compares pages by: the fragment cut at the last "#", A-Z folded to lower
// case, and a text that is no URL made a file URL.
std::u16string NormalizeUrl(std::u16string_view address);
// Whether two normalised addresses are the same page (a trailing slash ignored).
bool SamePageAddress(std::u16string_view current, std::u16string_view target);

// The window host start-up runs the program with (the dialog with OnScriptCommand, the main loop).
App::IWindowHost& ApplicationWindowHost();

// "AssistantNotify" from another process of the same user: a datagram to every running dialog's
// socket under $XDG_RUNTIME_DIR/kestrilon-notify. The number of dialogs reached.
int SendAssistantNotify(uintptr_t wParam, intptr_t lParam);

}  // namespace Kestrilon::UI
