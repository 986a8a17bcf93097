#pragma once
// The receiving end of "AssistantNotify" (private to the window folder).
#include <glib.h>

#include <cstdint>
#include <filesystem>
#include <functional>

namespace Kestrilon::UI {

// Listens while it exists; `onNotify` runs on the user-interface thread for each message.
class NotifyReceiver {
 public:
  explicit NotifyReceiver(std::function<void(uintptr_t wParam, intptr_t lParam)> onNotify);
  ~NotifyReceiver();
  NotifyReceiver(const NotifyReceiver&) = delete;
  NotifyReceiver& operator=(const NotifyReceiver&) = delete;

 private:
  std::function<void(uintptr_t, intptr_t)> onNotify_;
  std::filesystem::path path_;
  int fd_ = -1;
  guint source_ = 0;
};

}  // namespace Kestrilon::UI
