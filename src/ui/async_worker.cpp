// The asynchronous worker: queued units run one at a time, in order, on one worker thread that is
// started on demand and ends when it finds the queue empty.
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "ui/window.h"

namespace Kestrilon::Model {
namespace {

struct AsyncWorker {
  std::mutex lock;  // guards both members; never held while a unit runs
  bool threadRunning = false;
  std::deque<IThreadParameter*> queue;
};

AsyncWorker& Worker() {
  static AsyncWorker worker;
  return worker;
}

void WorkerThread() {
  AsyncWorker& worker = Worker();
  while (true) {
    IThreadParameter* unit = nullptr;
    {
      std::lock_guard hold(worker.lock);
      if (worker.queue.empty()) {
        // Deciding to end and clearing the handle under one hold: a unit appended from now on finds no
        // worker and starts a new one.
        worker.threadRunning = false;
        return;
      }
      unit = worker.queue.front();
      worker.queue.pop_front();
    }
    unit->Run();
    unit->Destroy();
  }
}

}  // namespace

void PostAsyncWork(IThreadParameter* unit) {
  if (!unit) return;
  if (!unit->Queued()) {
    try {
      std::thread([unit] {
        unit->Run();
        unit->Destroy();
      }).detach();
    } catch (const std::system_error&) {
      unit->Destroy();  // never run: nothing else would free it
    }
    return;
  }
  AsyncWorker& worker = Worker();
  {
    std::lock_guard hold(worker.lock);
    worker.queue.push_back(unit);
  }
  std::lock_guard hold(worker.lock);
  if (!worker.threadRunning) {
    try {
      std::thread(WorkerThread).detach();
      worker.threadRunning = true;
    } catch (const std::system_error&) {
      // The unit stays queued and runs when a later call starts a worker.
    }
  }
}

}  // namespace Kestrilon::Model
