// The message box's sizing and the close-code dialog's results, driven
// through their modal calls.
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include "shell/close_code_dialog.h"
#include "shell/message_box.h"
#include "tests/shell/modal_driver.h"
#include "tests/shell/qt_test_main.h"

namespace drvvzt {
namespace {

using testing::AnswerNextModal;
using testing::TypeText;

struct SizeCase {
  const char* text;
  int width;
  int button_left;
};

class MessageBoxSizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(MessageBoxSizeTest, WidthAndButtonFollowTheText) {
  const SizeCase& c = GetParam();
  TMessageForm box;
  box.SetText(QString::fromUtf8(c.text));
  EXPECT_EQ(box.size(), QSize(c.width, 73));
  EXPECT_EQ(box.OkButton()->geometry(), QRect(c.button_left, 41, 72, 25));
  EXPECT_EQ(box.TextLabel()->geometry().left(), 2);
  EXPECT_EQ(box.TextLabel()->geometry().width(), c.width);
  EXPECT_EQ(box.TextLabel()->text(), QString::fromUtf8(c.text));
}

INSTANTIATE_TEST_SUITE_P(Texts, MessageBoxSizeTest,
                         ::testing::Values(SizeCase{"Порт уже занят!", 150, 39},
                                           SizeCase{"Неправильный пароль. В доступе отказано", 390, 159},
                                           SizeCase{"Не правильный пароль.", 210, 69}));

TEST(MessageBoxTest, ShowReturnsWhenTheOperatorPressesOk) {
  QString shown;
  QString title;
  AnswerNextModal<TMessageForm>([&](TMessageForm* box) {
    shown = box->TextLabel()->text();
    title = box->windowTitle();
    box->OkButton()->click();
  });
  ShowMessageBox(QStringLiteral("Порт уже занят. Смените его."));
  EXPECT_EQ(shown, QStringLiteral("Порт уже занят. Смените его."));
  EXPECT_EQ(title, QStringLiteral("advsm"));
}

enum class Press { kOk, kCancel, kCloseWindow };

struct AskCase {
  const char* typed;
  Press press;
  TCloseCodeResult result;
};

class CloseCodeAskTest : public ::testing::TestWithParam<AskCase> {};

TEST_P(CloseCodeAskTest, GivesTheResultOfTheEntryAndButton) {
  const AskCase& c = GetParam();
  TForm2 dialog;
  AnswerNextModal<TForm2>([&](TForm2* d) {
    TypeText(d->Entry(), QString::fromLatin1(c.typed));
    switch (c.press) {
      case Press::kOk: d->OkButton()->click(); break;
      case Press::kCancel: d->CancelButton()->click(); break;
      case Press::kCloseWindow: d->close(); break;
    }
  });
  EXPECT_EQ(dialog.Ask(QStringLiteral("48213")), c.result) << c.typed;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, CloseCodeAskTest,
    ::testing::Values(AskCase{"48213", Press::kOk, TCloseCodeResult::crAccepted},
                      AskCase{"4821", Press::kOk, TCloseCodeResult::crWrongCode},
                      AskCase{"", Press::kOk, TCloseCodeResult::crWrongCode},
                      AskCase{"48214", Press::kOk, TCloseCodeResult::crWrongCode},
                      AskCase{"482136", Press::kOk, TCloseCodeResult::crAccepted},  // sixth digit refused
                      AskCase{"48213", Press::kCancel, TCloseCodeResult::crCancelled},
                      AskCase{"48213", Press::kCloseWindow, TCloseCodeResult::crCancelled}));

TEST(CloseCodeDialogTest, TakesDigitsOnlyAndShowsStars) {
  TForm2 dialog;
  TypeText(dialog.Entry(), QStringLiteral("1a2b3"));
  EXPECT_EQ(dialog.Entry()->text(), QStringLiteral("123"));
  EXPECT_EQ(dialog.Entry()->displayText(), QStringLiteral("***"));
  EXPECT_EQ(dialog.size(), QSize(281, 93));
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Закрытый доступ"));
}

TEST(CloseCodeDialogTest, KeepsAndSelectsThePreviousEntryOnEveryShow) {
  TForm2 dialog;
  AnswerNextModal<TForm2>([](TForm2* d) {
    TypeText(d->Entry(), QStringLiteral("1111"));
    d->OkButton()->click();
  });
  ASSERT_EQ(dialog.Ask(QStringLiteral("22222")), TCloseCodeResult::crWrongCode);

  QString kept;
  QString selected;
  AnswerNextModal<TForm2>([&](TForm2* d) {
    kept = d->Entry()->text();
    selected = d->Entry()->selectedText();
    TypeText(d->Entry(), QStringLiteral("22222"));  // typing over the selection replaces it
    d->OkButton()->click();
  });
  EXPECT_EQ(dialog.Ask(QStringLiteral("22222")), TCloseCodeResult::crAccepted);
  EXPECT_EQ(kept, QStringLiteral("1111"));
  EXPECT_EQ(selected, QStringLiteral("1111"));
}

}  // namespace
}  // namespace drvvzt

DRVVZT_QT_TEST_MAIN
