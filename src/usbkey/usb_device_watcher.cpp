// The process-wide watcher of USB device changes and its one callback, NotifyKeyChange.
#include <cstdio>

#include "platform/usb/usb.h"
#include "ui/host/host.h"
#include "usbkey/usbkey.h"

namespace Kestrilon::UsbKey {
namespace {

std::unique_ptr<UsbDeviceWatcher>& WatcherSlot() {
  // Lives until the process ends, as the original's hidden window did.
  static std::unique_ptr<UsbDeviceWatcher> watcher;
  return watcher;
}
std::mutex& InstallLock() {
  static std::mutex lock;
  return lock;
}

uintptr_t MessageParameter(Platform::UsbDeviceMonitor::Change change) {
  switch (change) {
    case Platform::UsbDeviceMonitor::Change::Arrival: return kDeviceArrival;
    case Platform::UsbDeviceMonitor::Change::Removal: return kDeviceRemoveComplete;
    case Platform::UsbDeviceMonitor::Change::Other: break;
  }
  return kDevNodesChanged;
}

}  // namespace

UsbDeviceWatcher::UsbDeviceWatcher(std::unique_ptr<Platform::UsbDeviceMonitor> monitor)
    : monitor_(std::move(monitor)) {}
UsbDeviceWatcher::~UsbDeviceWatcher() = default;

UsbDeviceWatcher* UsbDeviceWatcher::Instance() {
  std::lock_guard guard(InstallLock());
  return WatcherSlot().get();
}

int UsbDeviceWatcher::NotificationFd() const { return monitor_ ? monitor_->Fd() : -1; }

void UsbDeviceWatcher::DispatchNotifications() {
  if (!monitor_) return;
  // Each notification starts one key detection; several per plug-in are not merged.
  for (auto change : monitor_->ReceivePending()) DeliverDeviceChange(MessageParameter(change), 0);
}

void UsbDeviceWatcher::DeliverDeviceChange(uintptr_t wParam, intptr_t lParam) {
  std::vector<DeviceChangeCallback> callbacks;
  {
    std::lock_guard guard(callbacksLock_);
    callbacks = callbacks_;  // a callback may install another without deadlocking
  }
  for (auto callback : callbacks) callback(wParam, lParam);
}

void UsbDeviceWatcher::AddCallback(DeviceChangeCallback callback) {
  std::lock_guard guard(callbacksLock_);
  callbacks_.push_back(callback);
}

size_t UsbDeviceWatcher::CallbackCount() const {
  std::lock_guard guard(callbacksLock_);
  return callbacks_.size();
}

UsbDeviceWatcher& InstallUsbDeviceWatcher() {
  UsbDeviceWatcher* watcher = nullptr;
  bool created = false;
  {
    std::lock_guard guard(InstallLock());
    auto& slot = WatcherSlot();
    if (!slot) {
      std::string why;
      auto monitor = Platform::UsbDeviceMonitor::Open(&why);
      // Without notifications the program still starts; keys are then detected when the page asks.
      if (!monitor) std::fprintf(stderr, "kestrilon: USB device changes are not watched: %s\n", why.c_str());
      slot.reset(new UsbDeviceWatcher(std::move(monitor)));
      created = true;
    }
    watcher = slot.get();
  }
  // Whichever loop runs the user-interface thread (the window's, the shell's) serves the monitor.
  if (created && watcher->NotificationFd() >= 0) {
    UI::AddHostEventSource(watcher->NotificationFd(), [watcher] { watcher->DispatchNotifications(); });
  }
  watcher->AddCallback(&NotifyKeyChange);
  return *watcher;
}

void NotifyKeyChange(uintptr_t, intptr_t) {
  // Before the dialog exists and after it has ended there is no page to ask.
  if (UI::IBSDialog* dialog = UI::ApplicationDialog()) {
    dialog->CallScriptFunction(u"isAnyKeyConnect", nullptr, 0, nullptr);
  }
}

}  // namespace Kestrilon::UsbKey
