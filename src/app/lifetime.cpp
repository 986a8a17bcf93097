#include <mutex>

#include "app/commands.h"

namespace Kestrilon::App {
namespace {
std::mutex g_mutex;
LifetimeHooks g_hooks;

template <auto Member>
void Run() {
  std::function<void()> hook;
  {
    std::lock_guard lock(g_mutex);
    hook = g_hooks.*Member;
  }
  if (hook) hook();
}
}  // namespace

void SetLifetimeHooks(LifetimeHooks hooks) {
  std::lock_guard lock(g_mutex);
  g_hooks = std::move(hooks);
}

void RequestQuit() { Run<&LifetimeHooks::quit>(); }
void RequestRestart() { Run<&LifetimeHooks::restart>(); }

}  // namespace Kestrilon::App
