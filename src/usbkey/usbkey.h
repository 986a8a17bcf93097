#pragma once
// USB key detection: which USB devices are attached, the watcher that asks the page to detect its keys
// again on every device change, the reader of a key's certificate and the key commands.
//
// A key is recognised by its device id alone: (idVendor << 16) | idProduct, written by the page as
// hexadecimal text ("0x096E0713"). Its certificate is read through the key's provider: a provider name
// (the page's `cspname`) maps to a PKCS#11 module through the registry, as Windows maps provider names
// to their libraries (HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\<name>, "Image Path").
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "ui/host/script_value.h"

namespace Kestrilon::Platform {
class UsbDeviceMonitor;
}

namespace Kestrilon::UsbKey {

// ---- Enumeration: a fresh walk of the whole tree on every call, nothing cached.

// The ids of every attached device that is not a hub, in walk order (root hubs, then their ports in
// order, external hubs walked where they sit); duplicates stay.
std::vector<uint32_t> EnumerateUsbDeviceIds();
bool IsUsbDevicePresent(uint32_t deviceId);
// The page's key id text read as the C library's strtoul reads base 16 with a 32-bit unsigned long:
// leading blanks, a sign, an optional 0x, digits up to the first other character; no digits give 0,
// a value past 32 bits gives 0xFFFFFFFF.
uint32_t ParseKeyId(std::u16string_view text);

// ---- The watcher of device changes.

// Device-change kinds handed to the callbacks as wParam, with Windows' values.
inline constexpr uintptr_t kDeviceArrival = 0x8000;         // DBT_DEVICEARRIVAL
inline constexpr uintptr_t kDeviceRemoveComplete = 0x8004;  // DBT_DEVICEREMOVECOMPLETE
inline constexpr uintptr_t kDevNodesChanged = 0x0007;       // DBT_DEVNODES_CHANGED

using DeviceChangeCallback = void (*)(uintptr_t wParam, intptr_t lParam);

// One per process, created by InstallUsbDeviceWatcher and kept until the process ends. It listens to
// the system's USB notifications; its descriptor is registered as a host event source
// (ui/host/host.h), so the loop that runs the user-interface thread (the window's GTK loop, the shell's
// poll loop) calls DispatchNotifications when it is readable.
class UsbDeviceWatcher {
 public:
  ~UsbDeviceWatcher();
  UsbDeviceWatcher(const UsbDeviceWatcher&) = delete;
  UsbDeviceWatcher& operator=(const UsbDeviceWatcher&) = delete;

  // The watcher, or null before InstallUsbDeviceWatcher.
  static UsbDeviceWatcher* Instance();

  // -1 when the machine gives no notifications (no udev, no netlink): key detection still answers
  // when the page asks, it is only not triggered by plugging.
  int NotificationFd() const;
  // Reads the pending notifications and runs the callbacks once for each; nothing when none is pending.
  void DispatchNotifications();
  // Runs every callback, in the order they were added, with one device change.
  void DeliverDeviceChange(uintptr_t wParam, intptr_t lParam);

  void AddCallback(DeviceChangeCallback callback);
  size_t CallbackCount() const;

 private:
  friend UsbDeviceWatcher& InstallUsbDeviceWatcher();
  explicit UsbDeviceWatcher(std::unique_ptr<Platform::UsbDeviceMonitor> monitor);

  std::unique_ptr<Platform::UsbDeviceMonitor> monitor_;
  mutable std::mutex callbacksLock_;
  std::vector<DeviceChangeCallback> callbacks_;
};

// Creates the watcher on the first call; every call appends NotifyKeyChange to its callbacks.
UsbDeviceWatcher& InstallUsbDeviceWatcher();
// Asks the page to detect its keys again (isAnyKeyConnect, no arguments, no result); nothing while there
// is no application dialog. The parameters are not used.
void NotifyKeyChange(uintptr_t wParam = 0, intptr_t lParam = 0);

// ---- The key's certificate.

// The summary of the key behind a provider: "serial;issuer;subject;validity" of the last certificate
// read, or the empty text when the provider is not registered, its module will not load, it has no
// token, or no certificate is readable. Never fails otherwise.
std::u16string ReadKeyCertificate(std::u16string_view providerName);
// The same, reading the PKCS#11 module at a host path directly.
std::u16string ReadKeyCertificateFromModule(const std::string& modulePath);
// The host path of the module registered for a provider name; empty when none is.
std::string KeyProviderModulePath(std::u16string_view providerName);
// The summary of one DER certificate; empty when it cannot be decoded. Dates are in local time.
std::u16string SummarizeCertificate(const std::vector<uint8_t>& der);

// ---- Calls into the page's key list (through the application's dialog).

void SetKeyInfo(uint32_t index, std::u16string_view property, std::u16string_view text);
void SetKeySelected(uint32_t index, int selected);
// Copies getKeyInfo(index, "cspname") into `buffer` (256 units with the terminator) when the page
// answers with a string of at most 255 units; otherwise the buffer is left as it was.
void GetKeyCspName(uint32_t index, std::u16string& buffer);
// Reads the key's certificate and shows its four fields (then asks is_can_Open_update), or clears them.
void RefreshKeyCertificate(std::u16string_view providerName, uint32_t index);

// ---- The key commands (arguments a2, a3 of the command; the result is the command's result).

UI::ScriptValue IsKeyConnectCommand(const UI::ScriptValue& a2, const UI::ScriptValue& a3);   // 7
UI::ScriptValue UpdateKeyInfoCommand(const UI::ScriptValue& a2, const UI::ScriptValue& a3);  // 17
UI::ScriptValue GetSmInfoCommand(const UI::ScriptValue& a2);                                 // 22

}  // namespace Kestrilon::UsbKey
