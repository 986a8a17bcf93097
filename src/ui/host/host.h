#pragma once
// The host interface: how everything that is not the window talks to the window.
//
// This folder (ui/host) includes nothing of GTK or WebKit; the lower layers (app, engine, probes, usbkey,
// config, net) reach the page only through IBSDialog, the application's dialog and the message
// functions declared here. The window (ui/) and the console host (ui/host/console_host.h) implement it.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/status.h"
#include "ui/host/script_value.h"

namespace Kestrilon::UI {

using Platform::HRESULT;

// The status of a call to a page function that does not exist (the page answers it as IDispatch does).
inline constexpr HRESULT DISP_E_UNKNOWNNAME = static_cast<HRESULT>(0x80020006u);

// The host's window, opaque to the lower layers (a GtkWindow* in the window host, 0 in the console).
using WindowHandle = uintptr_t;

class IBSDialog {
 public:
  virtual ~IBSDialog() = default;
  virtual WindowHandle GetWindowHandle() = 0;
  // Width and height of 0 or less mean the page's own; only on the user-interface thread.
  virtual int32_t ResizeToContent(int32_t width, int32_t height) = 0;
  // Calls the page function `name`. `args` is the invocation's list in the platform's order: its first
  // element becomes the function's last argument. `result` may be null. Any thread.
  virtual HRESULT CallScriptFunction(std::u16string_view name, const ScriptValue* args, uint32_t count,
                                     ScriptValue* result) = 0;
  virtual HRESULT SetScriptVariable(std::u16string_view name, const ScriptValue& value) = 0;
  virtual HRESULT GetScriptVariable(std::u16string_view name, ScriptValue& value) = 0;
  virtual HRESULT ExecScript(std::u16string_view script) = 0;
};

// The application's dialog: the one process-wide IBSDialog through which the program calls the page,
// none (null) until start-up stores the dialog it creates and again after the message loop ends.
IBSDialog* ApplicationDialog();
void SetApplicationDialog(IBSDialog* dialog);

// Page calls through the application's dialog, arguments in the page's order, no result wanted.
// setItemInfo(index: VT_UI4, property: VT_BSTR, text: VT_BSTR, null text as a null string).
void SetItemInfo(uint32_t index, const char* property, const char16_t* text);
void SetItemInfo(uint32_t index, const char* property, std::u16string_view text);
// setProgress(progress: VT_INT, index: VT_INT, status: VT_BOOL).
void SetProgress(int32_t progress, int32_t index, bool status);

// The host's event pump: processes pending events of the host (at least one, waiting for it when
// none is pending). delay_ms uses it so that the page stays alive while a command waits. The window
// host installs the GTK main loop's iteration; kestrilon-shell a short wait on its event sources.
void SetEventPump(std::function<void()> pump);
void ProcessOneHostEvent();

// Extra event sources of the host's loop: a file descriptor whose readability the loop reports to a
// callback on the host's thread (the USB device-change monitor plugs in here). The console host polls
// them next to its input and inside ProcessOneHostEvent; the window host watches them through the GTK
// main loop. Sources may be added before or after the loop starts.
int32_t AddHostEventSource(int fd, std::function<void()> onReadable);  // an id above 0
void RemoveHostEventSource(int32_t id);
// For the loops that serve the sources.
struct HostEventSource {
  int32_t id = 0;
  int fd = -1;
};
std::vector<HostEventSource> HostEventSources();
void DispatchHostEventSource(int32_t id);  // runs the source's callback; nothing when it is gone
// Called after every AddHostEventSource/RemoveHostEventSource (the window host re-reads the list then).
void SetHostEventSourcesChanged(std::function<void()> onChange);

// Message functions.
// A text is either UTF-16 or the id of a string resource (an integer below 65536 given for a text).
using MessageText = std::variant<std::u16string, uint32_t>;
std::u16string ResolveMessageText(const MessageText& text);  // a missing resource gives the empty text

inline constexpr int32_t IDOK = 1;
inline constexpr int32_t IDCANCEL = 2;
inline constexpr int32_t IDYES = 6;
inline constexpr int32_t IDNO = 7;

// Icon kinds of ShowMessage.
inline constexpr int32_t kIconInformation = 1;
inline constexpr int32_t kIconWarning = 2;
inline constexpr int32_t kIconQuestion = 3;
inline constexpr int32_t kIconShield = 4;
inline constexpr int32_t kIconError = 5;

// Answers the id of the button pressed (IDOK for the only button). owner 0: the active window of the
// calling thread, if any.
int32_t ShowMessage(const MessageText& content, const MessageText& mainInstruction, const MessageText& caption,
                    int32_t iconKind, WindowHandle owner = 0);
// IDYES for the first choice, IDNO for the second (closing counts as the second). All texts are ids.
int32_t AskYesNo(uint32_t contentId, uint32_t mainInstructionId, uint32_t captionId, uint32_t firstChoiceId,
                 uint32_t secondChoiceId, WindowHandle owner = 0);
// ShowMessage with those three string resources, icon kind 1, no owner.
int32_t ShowInfo(uint32_t contentId, uint32_t mainInstructionId, uint32_t captionId);

// String resource ids of the texts the host shows.
inline constexpr uint32_t IDS_APP_TITLE = 102;

// The commands' error message: `content`, main instruction "错误", the application's title as caption,
// the error icon, no owner.
void ShowErrorMessage(std::u16string_view content);

// What a presenter is asked to show; texts already resolved.
struct MessageRequest {
  std::u16string content;
  std::u16string mainInstruction;
  std::u16string caption;
  int32_t iconKind = 0;  // one of the kinds above, or 0 for none
  WindowHandle owner = 0;
};
struct QuestionRequest {
  std::u16string content;
  std::u16string mainInstruction;
  std::u16string caption;
  std::u16string firstChoice;
  std::u16string secondChoice;
  WindowHandle owner = 0;
};

// Presentation of the message functions: the console presenter (kestrilon-shell, tests) or the GTK one.
class IMessagePresenter {
 public:
  virtual ~IMessagePresenter() = default;
  virtual int32_t Show(const MessageRequest& request) = 0;  // IDOK
  virtual int32_t Ask(const QuestionRequest& request) = 0;  // IDYES or IDNO
};
// The process-wide presenter; without one, messages go to standard error and questions answer IDNO.
void SetMessagePresenter(IMessagePresenter* presenter);
IMessagePresenter* MessagePresenter();

// String resources by id (resources/strings table compiled into the program).
std::u16string LoadStringResource(uint32_t id);

}  // namespace Kestrilon::UI
