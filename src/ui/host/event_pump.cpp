// The host's event pump and its extra event sources.
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "ui/host/host.h"

namespace Kestrilon::UI {
namespace {

std::mutex g_pumpMutex;
std::function<void()> g_pump;

struct SourceTable {
  std::mutex mutex;
  int32_t nextId = 1;
  std::map<int32_t, std::pair<int, std::shared_ptr<std::function<void()>>>> sources;
  std::function<void()> onChange;
};
SourceTable& Sources() {
  static SourceTable table;
  return table;
}

void NotifySourcesChanged() {
  std::function<void()> onChange;
  {
    std::lock_guard lock(Sources().mutex);
    onChange = Sources().onChange;
  }
  if (onChange) onChange();
}

}  // namespace

void SetEventPump(std::function<void()> pump) {
  std::lock_guard lock(g_pumpMutex);
  g_pump = std::move(pump);
}

void ProcessOneHostEvent() {
  std::function<void()> pump;
  {
    std::lock_guard lock(g_pumpMutex);
    pump = g_pump;
  }
  if (pump) {
    pump();
  } else {
    // No host loop: there is nothing to process, so waiting a little is all a waiting command can do.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

int32_t AddHostEventSource(int fd, std::function<void()> onReadable) {
  int32_t id;
  {
    std::lock_guard lock(Sources().mutex);
    id = Sources().nextId++;
    Sources().sources[id] = {fd, std::make_shared<std::function<void()>>(std::move(onReadable))};
  }
  NotifySourcesChanged();
  return id;
}

void RemoveHostEventSource(int32_t id) {
  {
    std::lock_guard lock(Sources().mutex);
    Sources().sources.erase(id);
  }
  NotifySourcesChanged();
}

std::vector<HostEventSource> HostEventSources() {
  std::lock_guard lock(Sources().mutex);
  std::vector<HostEventSource> list;
  for (const auto& [id, source] : Sources().sources) list.push_back({id, source.first});
  return list;
}

void DispatchHostEventSource(int32_t id) {
  std::shared_ptr<std::function<void()>> callback;
  {
    std::lock_guard lock(Sources().mutex);
    auto it = Sources().sources.find(id);
    if (it == Sources().sources.end()) return;
    callback = it->second.second;
  }
  // Run outside the lock: the callback may add or remove sources.
  if (*callback) (*callback)();
}

void SetHostEventSourcesChanged(std::function<void()> onChange) {
  std::lock_guard lock(Sources().mutex);
  Sources().onChange = std::move(onChange);
}

}  // namespace Kestrilon::UI
