#include <gtest/gtest.h>

#include <vector>

#include "ui/host/host.h"

namespace Kestrilon::UI {
namespace {

// Records what the message functions hand to the presentation layer and answers as told.
class RecordingPresenter : public IMessagePresenter {
 public:
  int32_t Show(const MessageRequest& request) override {
    shown.push_back(request);
    return IDOK;
  }
  int32_t Ask(const QuestionRequest& request) override {
    asked.push_back(request);
    return askAnswer;
  }
  std::vector<MessageRequest> shown;
  std::vector<QuestionRequest> asked;
  int32_t askAnswer = IDYES;
};

class MessageFunctions : public ::testing::Test {
 protected:
  void SetUp() override { SetMessagePresenter(&presenter); }
  void TearDown() override { SetMessagePresenter(nullptr); }
  RecordingPresenter presenter;
};

TEST_F(MessageFunctions, IconKindsOutsideTheTableShowNoIcon) {
  const struct {
    int32_t given, shown;
  } cases[] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {0, 0}, {6, 0}, {-1, 0}, {1000, 0}};
  for (const auto& c : cases) {
    presenter.shown.clear();
    EXPECT_EQ(ShowMessage(std::u16string(u"text"), std::u16string(), std::u16string(u"cap"), c.given), IDOK);
    ASSERT_EQ(presenter.shown.size(), 1u);
    EXPECT_EQ(presenter.shown[0].iconKind, c.shown) << c.given;
  }
}

TEST_F(MessageFunctions, TextsAreStringsOrResourceIds) {
  ShowMessage(uint32_t{255}, uint32_t{256}, uint32_t{102}, kIconWarning, 42);
  ShowMessage(std::u16string(u"直接文本"), uint32_t{9999}, uint32_t{70000}, 0);
  ASSERT_EQ(presenter.shown.size(), 2u);
  EXPECT_EQ(presenter.shown[0].content, u"应用程序为当前最新版本。");
  EXPECT_EQ(presenter.shown[0].mainInstruction, u"无需更新");
  EXPECT_EQ(presenter.shown[0].caption, LoadStringResource(102));
  EXPECT_EQ(presenter.shown[0].owner, 42u);
  EXPECT_EQ(presenter.shown[1].content, u"直接文本");
  EXPECT_EQ(presenter.shown[1].mainInstruction, u"");  // no such resource
  EXPECT_EQ(presenter.shown[1].caption, u"");          // not a resource id
  EXPECT_FALSE(LoadStringResource(102).empty());
  EXPECT_FALSE(LoadStringResource(103).empty());
}

TEST_F(MessageFunctions, ShowInfoIsAnInformationMessageWithoutOwner) {
  EXPECT_EQ(ShowInfo(105, 106, 102), IDOK);
  ASSERT_EQ(presenter.shown.size(), 1u);
  EXPECT_EQ(presenter.shown[0].content, u"应用程序有重要更新\n需要立即应用");
  EXPECT_EQ(presenter.shown[0].mainInstruction, u"发现更新");
  EXPECT_EQ(presenter.shown[0].iconKind, kIconInformation);
  EXPECT_EQ(presenter.shown[0].owner, 0u);
}

TEST_F(MessageFunctions, AskYesNoAnswersYesOnlyForTheFirstChoice) {
  const struct {
    int32_t presenterAnswer, answer;
  } cases[] = {{IDYES, IDYES}, {IDNO, IDNO}, {IDCANCEL, IDNO}, {0, IDNO}};
  for (const auto& c : cases) {
    presenter.askAnswer = c.presenterAnswer;
    EXPECT_EQ(AskYesNo(104, 106, 102, 107, 108, 7), c.answer) << c.presenterAnswer;
  }
  ASSERT_FALSE(presenter.asked.empty());
  const auto& question = presenter.asked.back();
  EXPECT_EQ(question.content, u"应用程序有更新发布\n是否立即应用");
  EXPECT_EQ(question.firstChoice, u"立即更新");
  EXPECT_EQ(question.secondChoice, u"稍后更新");
  EXPECT_EQ(question.owner, 7u);
}

TEST_F(MessageFunctions, ErrorMessageHasItsFixedForm) {
  ShowErrorMessage(u"出错了");
  ASSERT_EQ(presenter.shown.size(), 1u);
  EXPECT_EQ(presenter.shown[0].content, u"出错了");
  EXPECT_EQ(presenter.shown[0].mainInstruction, u"错误");
  EXPECT_EQ(presenter.shown[0].caption, LoadStringResource(IDS_APP_TITLE));
  EXPECT_EQ(presenter.shown[0].iconKind, kIconError);
  EXPECT_EQ(presenter.shown[0].owner, 0u);
}

TEST(MessageFunctionsWithoutPresenter, MessagesGoToStandardErrorAndQuestionsAnswerNo) {
  SetMessagePresenter(nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(ShowMessage(std::u16string(u"hello"), std::u16string(u"main"), std::u16string(u"cap"), 1), IDOK);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("hello"), std::string::npos);
  EXPECT_EQ(AskYesNo(104, 106, 102, 107, 108), IDNO);
}

}  // namespace
}  // namespace Kestrilon::UI
