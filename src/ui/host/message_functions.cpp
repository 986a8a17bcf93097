// The message functions: texts resolved, icon kinds checked, answers normalised, then the presenter.
#include <atomic>
#include <cstdio>

#include "platform/text/text.h"
#include "ui/host/host.h"

namespace Kestrilon::UI {
namespace {

std::atomic<IMessagePresenter*> g_presenter{nullptr};

int32_t KnownIconKind(int32_t kind) { return kind >= kIconInformation && kind <= kIconError ? kind : 0; }

}  // namespace

void SetMessagePresenter(IMessagePresenter* presenter) { g_presenter.store(presenter); }
IMessagePresenter* MessagePresenter() { return g_presenter.load(); }

std::u16string ResolveMessageText(const MessageText& text) {
  if (const auto* id = std::get_if<uint32_t>(&text)) return *id < 65536 ? LoadStringResource(*id) : u"";
  return std::get<std::u16string>(text);
}

int32_t ShowMessage(const MessageText& content, const MessageText& mainInstruction, const MessageText& caption,
                    int32_t iconKind, WindowHandle owner) {
  MessageRequest request;
  request.content = ResolveMessageText(content);
  request.mainInstruction = ResolveMessageText(mainInstruction);
  request.caption = ResolveMessageText(caption);
  request.iconKind = KnownIconKind(iconKind);
  request.owner = owner;
  if (IMessagePresenter* presenter = MessagePresenter()) return presenter->Show(request);
  std::fprintf(stderr, "%s: %s%s%s\n", Platform::ToUtf8(request.caption).c_str(),
               Platform::ToUtf8(request.mainInstruction).c_str(), request.mainInstruction.empty() ? "" : ": ",
               Platform::ToUtf8(request.content).c_str());
  return IDOK;
}

int32_t AskYesNo(uint32_t contentId, uint32_t mainInstructionId, uint32_t captionId, uint32_t firstChoiceId,
                 uint32_t secondChoiceId, WindowHandle owner) {
  QuestionRequest request;
  request.content = LoadStringResource(contentId);
  request.mainInstruction = LoadStringResource(mainInstructionId);
  request.caption = LoadStringResource(captionId);
  request.firstChoice = LoadStringResource(firstChoiceId);
  request.secondChoice = LoadStringResource(secondChoiceId);
  request.owner = owner;
  IMessagePresenter* presenter = MessagePresenter();
  if (!presenter) return IDNO;
  // Anything but the first choice (closing the question included) counts as the second.
  return presenter->Ask(request) == IDYES ? IDYES : IDNO;
}

int32_t ShowInfo(uint32_t contentId, uint32_t mainInstructionId, uint32_t captionId) {
  return ShowMessage(contentId, mainInstructionId, captionId, kIconInformation, 0);
}

void ShowErrorMessage(std::u16string_view content) {
  ShowMessage(std::u16string(content), std::u16string(u"错误"), IDS_APP_TITLE, kIconError, 0);
}

}  // namespace Kestrilon::UI
