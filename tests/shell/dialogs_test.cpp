// The message box's sizing and the close-code dialog's results, driven
// through their modal calls.
#include <functional>
#include <string>

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

#include "shell/close_code_dialog.h"
#include "shell/dialog_window.h"
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

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.text; }

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
                                           SizeCase{"Не правильный пароль.", 210, 69}),
                         [](const ::testing::TestParamInfo<SizeCase>& info) {
                           return "width_" + std::to_string(info.param.width);
                         });

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

const char* PressName(Press press) {
  switch (press) {
    case Press::kOk: return "ok";
    case Press::kCancel: return "cancel";
    case Press::kCloseWindow: return "close_window";
  }
  return "unknown";
}

std::string AskCaseName(const AskCase& c) {
  return (c.typed[0] == '\0' ? std::string("nothing") : std::string("typed_") + c.typed) +
         "_then_" + PressName(c.press);
}

void PrintTo(const AskCase& c, std::ostream* os) { *os << AskCaseName(c); }

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
                      AskCase{"48213", Press::kCloseWindow, TCloseCodeResult::crCancelled}),
    [](const ::testing::TestParamInfo<AskCase>& info) { return AskCaseName(info.param); });

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

// ---- Their windows ---------------------------------------------------------------

// What a dialog looks like while it is up, looked at from inside its modal loop.
struct ShownDialog {
  Qt::WindowFlags flags;
  QWindow* transient_parent = nullptr;
  QPoint frame_centre;
};

template <typename Dialog>
ShownDialog LookWhileShown(const std::function<void()>& run) {
  ShownDialog seen;
  AnswerNextModal<Dialog>([&](Dialog* d) {
    seen = {d->windowFlags(), d->windowHandle() ? d->windowHandle()->transientParent() : nullptr,
            d->frameGeometry().center()};
    d->reject();
  });
  run();
  return seen;
}

void ExpectDialogWindow(const ShownDialog& seen, QWidget& owner) {
  EXPECT_EQ(seen.flags & Qt::WindowType_Mask, Qt::Dialog);
  EXPECT_TRUE(seen.flags & Qt::WindowTitleHint);
  EXPECT_TRUE(seen.flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(seen.flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(seen.flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(seen.transient_parent, owner.windowHandle());
  EXPECT_NE(seen.transient_parent, nullptr);
  const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((seen.frame_centre - area.center()).manhattanLength(), 2)
      << seen.frame_centre.x() << "," << seen.frame_centre.y() << " vs " << area.center().x() << ","
      << area.center().y();
}

TEST(DialogWindowTest, DialogsHaveNoMinimiseOrMaximiseAndStayAboveTheMainWindowInTheMiddle) {
  QWidget main_window;
  main_window.move(30, 20);
  main_window.show();
  SetDialogOwner(&main_window);
  {
    SCOPED_TRACE("close code");
    TForm2 dialog;
    ExpectDialogWindow(LookWhileShown<TForm2>([&] { dialog.Ask(QStringLiteral("12345")); }), main_window);
  }
  for (const char* text : {"Порт уже занят!", "Неправильный пароль. В доступе отказано"}) {
    SCOPED_TRACE(text);
    ExpectDialogWindow(LookWhileShown<TMessageForm>([&] { ShowMessageBox(QString::fromUtf8(text)); }), main_window);
  }
  SetDialogOwner(nullptr);
}

TEST(DialogWindowTest, AMinimisedDialogComesBack) {
  TForm2 dialog;
  bool came_back = false;
  AnswerNextModal<TForm2>([&](TForm2* d) {
    d->setWindowState(Qt::WindowMinimized);
    auto* poll = new QTimer(d);
    QObject::connect(poll, &QTimer::timeout, d, [&came_back, d] {
      if (d->windowState() & Qt::WindowMinimized) return;
      came_back = true;
      d->reject();
    });
    poll->start(5);
    QTimer::singleShot(10000, d, &QDialog::reject);  // the deadline
  });
  dialog.Ask(QStringLiteral("12345"));
  EXPECT_TRUE(came_back);
}

// Five stars must be readable in the field's unchanged geometry: each about
// as wide as a digit of an ordinary face, and all five inside the field.
TEST(CloseCodeDialogTest, TheStarsAreReadableAndFitTheField) {
  TForm2 dialog;
  EXPECT_EQ(dialog.Entry()->geometry(), QRect(120, 33, 49, 19));
  const QFontMetrics stars(dialog.Entry()->font());
  EXPECT_GE(stars.horizontalAdvance(QLatin1Char('*')), 7);
  EXPECT_LE(stars.horizontalAdvance(QStringLiteral("*****")), 49 - 8);
}

}  // namespace
}  // namespace drvvzt

DRVVZT_QT_TEST_MAIN
