#include "ui/external_async_thread.h"

#include "ui/bs_dialog.h"

namespace Kestrilon::Model {

ExternalAsyncThread::ExternalAsyncThread(bool queued, std::shared_ptr<UI::CBSDialog> owner, UI::ScriptValue callback,
                                         const UI::ScriptValue (&values)[5])
    : queued_(queued), owner_(std::move(owner)), callback_(std::move(callback)) {
  for (int i = 0; i < 5; ++i) values_[i] = values[i];
}

void ExternalAsyncThread::Run() {
  // The invocation's list in the platform's order: the result, then the callback, so that the callback's
  // own `call` runs it with itself as `this` and the result as its only argument.
  UI::ScriptValue list[2];
  if (owner_->Command()) {
    try {
      owner_->Command()(list[0], owner_.get(), values_[0], values_[1], values_[2], values_[3], values_[4]);
    } catch (...) {
      list[0] = UI::ScriptValue();
    }
  }
  list[1] = callback_;
  if (list[1].Kind() == UI::VT_DISPATCH) owner_->InvokeScriptCallback(list[1], list, 2);
}

}  // namespace Kestrilon::Model
