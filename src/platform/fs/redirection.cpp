// File-system redirection of a 32-bit process on 64-bit Windows: on by default, switched off and on
// per thread, as Wow64DisableWow64FsRedirection does.
#include <cstdint>

#include "platform/fs/fs.h"
#include "platform/machine/machine_image.h"

namespace Kestrilon::Platform {
namespace {

thread_local bool redirectionDisabled = false;

// The opaque "old value" handed to the caller: which state to restore. Null is not a valid value.
void* const kWasEnabled = reinterpret_cast<void*>(uintptr_t{1});
void* const kWasDisabled = reinterpret_cast<void*>(uintptr_t{2});

}  // namespace

bool IsWow64Process() { return MachineImage::Current().Profile().wow64Process; }

bool Wow64DisableFsRedirection(void** oldValue) {
  if (oldValue == nullptr || !IsWow64Process()) return false;
  *oldValue = redirectionDisabled ? kWasDisabled : kWasEnabled;
  redirectionDisabled = true;
  return true;
}

bool Wow64RevertFsRedirection(void* oldValue) {
  if (!IsWow64Process()) return false;
  if (oldValue != kWasEnabled && oldValue != kWasDisabled) return false;
  redirectionDisabled = oldValue == kWasDisabled;
  return true;
}

bool IsFsRedirectionDisabled() { return redirectionDisabled; }

}  // namespace Kestrilon::Platform
