#pragma once
// One asynchronous script call of the page (private to the window folder).
#include <memory>

#include "ui/window.h"

namespace Kestrilon::UI {
class CBSDialog;
}

namespace Kestrilon::Model {

class ExternalAsyncThread final : public IThreadParameter {
 public:
  // `values` are name, a2, a3, a4 and a5, copied here on the user-interface thread.
  ExternalAsyncThread(bool queued, std::shared_ptr<UI::CBSDialog> owner, UI::ScriptValue callback,
                      const UI::ScriptValue (&values)[5]);
  void Run() override;
  bool Queued() const override { return queued_; }

 private:
  bool queued_;
  // Kept alive while the unit exists: a dialog destroyed meanwhile only makes the page calls fail.
  std::shared_ptr<UI::CBSDialog> owner_;
  UI::ScriptValue callback_;  // VT_DISPATCH, or empty for none
  UI::ScriptValue values_[5];
};

}  // namespace Kestrilon::Model
