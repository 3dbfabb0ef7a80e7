// The dialogs as the desktop builds them, under Qt's offscreen platform: the widgets made from
// templates 103 and 104, the keys and clicks a user gives them, the store file that OK writes,
// and the running proxy taking the new settings for its next request.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <functional>

#include "core/server.h"
#include "core/settings.h"
#include "platform/qt/dialog.h"
#include "platform/qt/window_system.h"
#include "platform/resource_table.h"
#include "resources/corvane_resources.h"
#include "rewrite/rewriting.h"
#include "shell/dialogs.h"
#include "shell/main_window.h"
#include "tests/store/config_home.h"
#include "tests/support/loopback.h"

namespace {

using Act = std::function<void(QDialog*)>;

// A dialog handler that only ends on OK and Cancel, so the template shows as it was built.
intptr_t PlainDialogProc(Window dialog, uint32_t message, WParam wParam, LParam) {
  if (message == kWmInitDialog) return 1;
  if (message != kWmCommand) return 0;
  uint16_t command = LowWord(wParam);
  if (command != kIdOk && command != kIdCancel) return 0;
  EndModalDialog(dialog, command);
  return 1;
}

// The template's controls in the order they were made.
std::vector<QWidget*> ControlsOf(QDialog* dialog) {
  std::vector<QWidget*> controls;
  for (QObject* child : dialog->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget != nullptr && widget->property("controlId").isValid()) controls.push_back(widget);
  }
  return controls;
}

QWidget* Control(QDialog* dialog, unsigned id) {
  for (QWidget* widget : ControlsOf(dialog)) {
    if (widget->property("controlId").toUInt() == id) return widget;
  }
  ADD_FAILURE() << "no control " << id;
  return nullptr;
}

template <typename Widget>
Widget* ControlAs(QDialog* dialog, unsigned id) {
  auto* widget = qobject_cast<Widget*>(Control(dialog, id));
  EXPECT_NE(widget, nullptr) << "control " << id;
  return widget;
}

QAbstractButton* Button(QDialog* dialog, unsigned id) {
  return ControlAs<QAbstractButton>(dialog, id);
}

QLineEdit* Field(QDialog* dialog, unsigned id) {
  return ControlAs<QLineEdit>(dialog, id);
}

void PressKey(QWidget* target, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(target, &release);
}

// Replaces a field's text the way typing over a selection does.
void TypeInto(QLineEdit* field, const QString& text) {
  field->selectAll();
  field->insert(text);
}

// One row of what a control looks like: its id, kind, shown text and whether it takes input.
struct ControlLook {
  unsigned id;
  std::string kind;
  QString text;
  bool enabled;

  friend bool operator==(const ControlLook&, const ControlLook&) = default;
  friend std::ostream& operator<<(std::ostream& out, const ControlLook& c) {
    return out << c.id << " " << c.kind << " \"" << c.text.toStdString() << "\" "
               << (c.enabled ? "enabled" : "disabled");
  }
};

ControlLook LookOf(QWidget* widget) {
  ControlLook look{widget->property("controlId").toUInt(), "?", QString(), widget->isEnabled()};
  if (auto* push = qobject_cast<QPushButton*>(widget)) {
    look.kind = push->isDefault() ? "default button" : "button";
    look.text = push->text();
  } else if (auto* check = qobject_cast<QCheckBox*>(widget)) {
    look.kind = "check box";
    look.text = check->text();
  } else if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
    look.kind = "radio button";
    look.text = radio->text();
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    look.kind = "edit";
    look.text = edit->text();
  } else if (auto* label = qobject_cast<QLabel*>(widget)) {
    look.kind = label->alignment() & Qt::AlignRight     ? "right label"
                : label->alignment() & Qt::AlignHCenter ? "centred label"
                                                        : "label";
    look.text = label->text();
  }
  return look;
}

class QtDialogTest : public SettingsFileTest {
 protected:
  static void SetUpTestSuite() {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    system = new QtWindowSystem(argc, argv);
    UseWindowSystem(system);
    AppInstance = CorvaneResources();
    ScreenWidth = ScreenMetric(kSmCxScreen);
    ScreenHeight = ScreenMetric(kSmCyScreen);
  }
  static void TearDownTestSuite() {
    UseWindowSystem(nullptr);
    delete system;
  }

  // Runs the dialog of the template with proc; once it is on the screen, act() plays the user.
  // A dialog still open after a few seconds is cancelled and the test fails.
  intptr_t RunDialog(uint16_t templateId, DialogProc proc, const Act& act) {
    bool acted = false;
    QTimer poll;
    poll.callOnTimeout([&] {
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog == nullptr || !dialog->isVisible() || acted) continue;
        acted = true;
        poll.stop();
        act(dialog);
      }
    });
    poll.start(10);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    watchdog.callOnTimeout([] {
      ADD_FAILURE() << "the dialog did not end";
      for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible())
          dialog->reject();
      }
    });
    watchdog.start(5000);
    const DialogTemplate* dialog = FindDialogTemplate(CorvaneResources(), templateId);
    intptr_t result = RunDialogFromTemplate(CorvaneResources(), dialog, Window::None, proc, 0);
    EXPECT_TRUE(acted);
    return result;
  }

  static inline int argc = 1;
  static inline char name[] = "shell_qt_dialog_tests";
  static inline char* argv[] = {name, nullptr};
  static inline QtWindowSystem* system = nullptr;
};

TEST_F(QtDialogTest, SettingsTemplateBuildsItsSixteenControlsInTemplateOrder) {
  std::vector<ControlLook> looks;
  RunDialog(IDD_SETTINGS, PlainDialogProc, [&](QDialog* dialog) {
    for (QWidget* widget : ControlsOf(dialog))
      looks.push_back(LookOf(widget));
    EXPECT_EQ(dialog->windowTitle(), QString::fromUtf16(u"Corvane 設定"));
    PressKey(dialog, Qt::Key_Escape);
  });
  auto text = [](const char16_t* wide) { return QString::fromUtf16(wide); };
  const std::vector<ControlLook> expected = {
      {1, "default button", text(u"OK"), true},
      {2, "button", text(u"ｷｬﾝｾﾙ"), true},
      {1001, "check box", text(u"U&A送信"), true},
      {1007, "check box", text(u"? → &_ 変換:"), true},
      {1002, "check box", text(u"&Referer送信"), true},
      {1003, "check box", text(u"&User-Agent変更:"), true},
      {1005, "check box", text(u"PRO&XY利用:"), true},
      {1006, "edit", text(u""), false},
      {1004, "edit", text(u""), false},
      {1008, "edit", text(u""), false},
      {65535, "right label", text(u"http://"), true},
      {65535, "centred label", text(u":"), true},
      {1011, "radio button", text(u"引用マークだけ"), true},
      {1012, "radio button", text(u"全てに適用"), true},
      {1010, "check box", text(u"Referer /%7&E → /~ 変換"), true},
      {1013, "check box", text(u"簡単Yahoo!メール"), false},
  };
  EXPECT_EQ(looks, expected);
}

TEST_F(QtDialogTest, SettingsLayoutFollowsTheDialogUnitsOfItsFont) {
  RunDialog(IDD_SETTINGS, PlainDialogProc, [&](QDialog* dialog) {
    // The dialog font, drawn with its stand-in.
    EXPECT_EQ(dialog->font().family(), QString::fromUtf16(u"ＭＳ Ｐゴシック"));
    EXPECT_EQ(dialog->font().pointSize(), 9);
    EXPECT_EQ(QFontInfo(dialog->font()).family(), QStringLiteral("IPAPGothic"));
    DialogBaseUnits units = BaseUnitsOf(dialog->font());
    EXPECT_GT(units.x, 0);
    EXPECT_GT(units.y, units.x);  // a character is taller than it is wide
    // The base units, stretched where a text needs it, never shrunk.
    auto* built = dynamic_cast<QtDialog*>(dialog);
    ASSERT_NE(built, nullptr);
    DialogScale scale = built->Scale();
    EXPECT_GE(scale.xPixels * 4, units.x * scale.xUnits);
    EXPECT_GE(scale.yPixels * 8, units.y * scale.yUnits);
    EXPECT_EQ(dialog->size(), DialogUnitsToPixels(scale, 0, 0, 171, 121).size());
    EXPECT_EQ(Control(dialog, 1)->geometry(), DialogUnitsToPixels(scale, 59, 100, 50, 14));
    EXPECT_EQ(Control(dialog, 1008)->geometry(), DialogUnitsToPixels(scale, 146, 51, 18, 14));
    EXPECT_EQ(Control(dialog, 1013)->geometry(), DialogUnitsToPixels(scale, 99, 85, 69, 10));
    // Row five: "apply to all" stands left of "quote marks only".
    EXPECT_LT(Control(dialog, 1012)->x(), Control(dialog, 1011)->x());
    PressKey(dialog, Qt::Key_Escape);
  });
}

TEST_F(QtDialogTest, TabFollowsTemplateOrderThroughTabStopsAndOkHasTheFocus) {
  std::vector<unsigned> tabOrder;
  QWidget* focused = nullptr;
  QWidget* ok = nullptr;
  RunDialog(IDD_SETTINGS, PlainDialogProc, [&](QDialog* dialog) {
    ok = Control(dialog, 1);
    focused = dialog->focusWidget();
    QWidget* widget = ok;
    do {
      if ((widget->focusPolicy() & Qt::TabFocus) != 0 && widget->property("controlId").isValid())
        tabOrder.push_back(widget->property("controlId").toUInt());
      widget = widget->nextInFocusChain();
    } while (widget != ok);
    PressKey(dialog, Qt::Key_Escape);
  });
  EXPECT_EQ(focused, ok);
  // The radio buttons have no tab stop; the labels take no focus.
  EXPECT_EQ(tabOrder, (std::vector<unsigned>{1, 2, 1001, 1007, 1002, 1003, 1005, 1006, 1004, 1008,
                                             1010, 1013}));
}

TEST_F(QtDialogTest, RadioButtonsAreOneExclusiveGroupAndLeaveTheCheckBoxesAlone) {
  RunDialog(IDD_SETTINGS, PlainDialogProc, [&](QDialog* dialog) {
    QAbstractButton* quoteOnly = Button(dialog, 1011);
    QAbstractButton* all = Button(dialog, 1012);
    QAbstractButton* urlConvert = Button(dialog, 1010);
    urlConvert->click();
    quoteOnly->click();
    EXPECT_TRUE(quoteOnly->isChecked());
    all->click();
    EXPECT_TRUE(all->isChecked());
    EXPECT_FALSE(quoteOnly->isChecked());
    EXPECT_TRUE(urlConvert->isChecked());
    PressKey(dialog, Qt::Key_Escape);
  });
}

TEST_F(QtDialogTest, EnterPressesTheDefaultOkAndEscapeSendsCancel) {
  EXPECT_EQ(RunDialog(IDD_SETTINGS, PlainDialogProc,
                      [](QDialog* dialog) { PressKey(dialog, Qt::Key_Return); }),
            kIdOk);
  EXPECT_EQ(RunDialog(IDD_SETTINGS, PlainDialogProc,
                      [](QDialog* dialog) { PressKey(dialog, Qt::Key_Escape); }),
            kIdCancel);
  EXPECT_EQ(RunDialog(IDD_SETTINGS, PlainDialogProc, [](QDialog* dialog) { dialog->close(); }),
            kIdCancel);
}

TEST_F(QtDialogTest, SettingsOpensCentredOnTheDefaults) {
  RunDialog(IDD_SETTINGS, SettingsDialogProc, [&](QDialog* dialog) {
    EXPECT_EQ(dialog->x(), (ScreenWidth - dialog->width()) / 2);
    EXPECT_EQ(dialog->y(), (ScreenHeight - dialog->height() - 28) / 2);
    EXPECT_TRUE(Button(dialog, 1002)->isChecked());
    EXPECT_TRUE(Button(dialog, 1012)->isChecked());
    for (unsigned id : {1001u, 1003u, 1005u, 1007u, 1010u, 1011u, 1013u})
      EXPECT_FALSE(Button(dialog, id)->isChecked()) << id;
    for (unsigned id : {1004u, 1006u, 1008u, 1011u, 1012u, 1013u})
      EXPECT_FALSE(Control(dialog, id)->isEnabled()) << id;
    EXPECT_EQ(Field(dialog, 1008)->text(), QStringLiteral("5060"));
    PressKey(dialog, Qt::Key_Escape);
  });
}

TEST_F(QtDialogTest, ClickingThroughAndOkWritesTheStoreFile) {
  intptr_t result = RunDialog(IDD_SETTINGS, SettingsDialogProc, [&](QDialog* dialog) {
    Button(dialog, 1002)->click();  // no Referer
    Button(dialog, 1005)->click();
    EXPECT_TRUE(Field(dialog, 1006)->isEnabled());
    EXPECT_TRUE(Field(dialog, 1008)->isEnabled());
    TypeInto(Field(dialog, 1006), QStringLiteral("proxy.example"));
    TypeInto(Field(dialog, 1008), QStringLiteral("3128"));
    Button(dialog, 1003)->click();
    EXPECT_TRUE(Field(dialog, 1004)->isEnabled());
    TypeInto(Field(dialog, 1004), QString::fromUtf16(u"テスト/1.0"));
    Button(dialog, 1007)->click();
    EXPECT_TRUE(Button(dialog, 1011)->isEnabled());
    Button(dialog, 1011)->click();
    Button(dialog, 1007)->click();  // cleared again: the choice is kept, and saved
    EXPECT_FALSE(Button(dialog, 1011)->isEnabled());
    EXPECT_TRUE(Button(dialog, 1011)->isChecked());
    Button(dialog, 1)->click();
  });
  EXPECT_EQ(result, kIdOk);
  ProxySettings saved = CurrentSettings();
  EXPECT_EQ(saved.SendReferer, 0);
  EXPECT_EQ(saved.UseProxy, 1);
  EXPECT_EQ(saved.ChangeUA, 1);
  EXPECT_EQ(saved.SpaceConvert, 0);
  EXPECT_EQ(saved.SpaceConvertAll, 0);
  EXPECT_EQ(saved.ProxyPort, 3128);
  std::string file = ReadFile();
  for (const char* line : {"\"SendReferer\"=dword:00000000\n", "\"ChangeUA\"=dword:00000001\n",
                           "\"UAName\"=\"テスト/1.0\"\n", "\"SpaceConvertAll\"=dword:00000000\n",
                           "\"UseProxy\"=dword:00000001\n", "\"ProxyName\"=\"proxy.example\"\n",
                           "\"ProxyPort\"=dword:00000c38\n"})
    EXPECT_NE(file.find(line), std::string::npos) << line << " in\n" << file;
}

TEST_F(QtDialogTest, EscapeAndTheCloseButtonLeaveRecordAndStoreAlone) {
  for (bool closeButton : {false, true}) {
    intptr_t result = RunDialog(IDD_SETTINGS, SettingsDialogProc, [&](QDialog* dialog) {
      Button(dialog, 1002)->click();
      Button(dialog, 1005)->click();
      TypeInto(Field(dialog, 1008), QStringLiteral("1"));
      if (closeButton) {
        dialog->close();
      } else {
        PressKey(Field(dialog, 1008), Qt::Key_Escape);
      }
    });
    EXPECT_EQ(result, kIdCancel);
  }
  EXPECT_EQ(CurrentSettings().SendReferer, 1);
  EXPECT_EQ(CurrentSettings().ProxyPort, 5060);
  EXPECT_FALSE(std::filesystem::exists(FilePath()));
}

TEST_F(QtDialogTest, StoredFlagOfTwoShowsCheckedAndALongPortShowsWhole) {
  ProxySettings stored;
  stored.SendMachine = 2;
  stored.ProxyPort = 2147483647;
  ReplaceSettings(stored);
  RunDialog(IDD_SETTINGS, SettingsDialogProc, [&](QDialog* dialog) {
    EXPECT_TRUE(Button(dialog, 1001)->isChecked());
    EXPECT_EQ(Field(dialog, 1008)->text(), QStringLiteral("2147483647"));
    PressKey(dialog, Qt::Key_Return);
  });
  EXPECT_EQ(CurrentSettings().SendMachine, 1);
  EXPECT_EQ(CurrentSettings().ProxyPort, 2147483);  // OK reads seven characters
}

TEST_F(QtDialogTest, AboutShowsIconVersionAndOkAndEndsOnOkEnterEscapeOrClose) {
  intptr_t entered = RunDialog(IDD_ABOUT, AboutDialogProc, [&](QDialog* dialog) {
    EXPECT_EQ(dialog->windowTitle(), QString::fromUtf16(u"Corvane のバージョン情報"));
    std::vector<QWidget*> controls = ControlsOf(dialog);
    ASSERT_EQ(controls.size(), 4u);
    auto* icon = qobject_cast<QLabel*>(controls[0]);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->pixmap().size(), QSize(32, 32));
    EXPECT_EQ(LookOf(controls[1]).text, QStringLiteral("Corvane Version 1.08"));
    EXPECT_FALSE(LookOf(controls[2]).text.isEmpty());
    EXPECT_EQ(LookOf(controls[3]), (ControlLook{kIdOk, "default button", "OK", true}));
    EXPECT_EQ(dialog->focusWidget(), controls[3]);
    EXPECT_TRUE(dialog->rect().contains(controls[3]->geometry()));
    EXPECT_GE(controls[3]->y(), controls[2]->geometry().bottom());
    EXPECT_EQ(dialog->x(), (ScreenWidth - dialog->width()) / 2);
    PressKey(controls[3], Qt::Key_Return);
  });
  EXPECT_EQ(entered, kIdOk);
  const std::pair<Act, intptr_t> otherWays[] = {
      {[](QDialog* dialog) { Button(dialog, kIdOk)->click(); }, kIdOk},
      {[](QDialog* dialog) { dialog->close(); }, kIdOk},  // the title bar's close, as its OK
      {[](QDialog* dialog) { PressKey(dialog, Qt::Key_Escape); }, kIdCancel},
  };
  for (const auto& [act, result] : otherWays)
    EXPECT_EQ(RunDialog(IDD_ABOUT, AboutDialogProc, act), result);
}

TEST_F(QtDialogTest, LabelsDropMnemonicMarksUnlessTheirStyleKeepsThem) {
  EXPECT_EQ(LabelText(u"&File && Edit", kSsLeft), QStringLiteral("File & Edit"));
  EXPECT_EQ(LabelText(u"a&", kSsLeft), QStringLiteral("a&"));
  EXPECT_EQ(LabelText(u"&File && Edit", kSsNoPrefix), QStringLiteral("&File && Edit"));
}

TEST_F(QtDialogTest, MissingTemplateReturnsAtOnce) {
  EXPECT_EQ(RunDialogFromTemplate(CorvaneResources(), nullptr, Window::None, PlainDialogProc, 0),
            -1);
}

// The settings the user confirms govern the running proxy's very next request.
TEST_F(QtDialogTest, NextRequestThroughTheRunningServerUsesTheNewSettings) {
  InstallRewriting();
  uint16_t proxyPort = FreeLoopbackPort();
  ASSERT_EQ(StartProxyServerOn(proxyPort, 50), 1);
  TestOrigin origin("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nhello");
  std::string host = "127.0.0.1:" + std::to_string(origin.Port());

  std::string before = "GET http://" + host + "/first HTTP/1.0\r\nHost: " + host +
                       "\r\nUser-Agent: Browser/9\r\n\r\n";
  EXPECT_NE(Exchange(proxyPort, before).find("hello"), std::string::npos);
  EXPECT_NE(origin.Request(0).find("User-Agent: Browser/9\r\n"), std::string::npos);

  // Now everything goes through the origin as the upstream proxy, with another agent.
  RunDialog(IDD_SETTINGS, SettingsDialogProc, [&](QDialog* dialog) {
    Button(dialog, 1005)->click();
    TypeInto(Field(dialog, 1006), QStringLiteral("127.0.0.1"));
    TypeInto(Field(dialog, 1008), QString::number(origin.Port()));
    Button(dialog, 1003)->click();
    TypeInto(Field(dialog, 1004), QStringLiteral("Corvane-Test/1"));
    PressKey(dialog, Qt::Key_Return);
  });
  std::string after =
      "GET http://nowhere.invalid/second HTTP/1.0\r\nHost: nowhere.invalid\r\n"
      "User-Agent: Browser/9\r\n\r\n";
  EXPECT_NE(Exchange(proxyPort, after).find("hello"), std::string::npos);
  std::string seen = origin.Request(1);
  StopProxyServer();
  EXPECT_EQ(seen.rfind("GET http://nowhere.invalid/second HTTP/1.0\r\n", 0), 0u) << seen;
  EXPECT_NE(seen.find("User-Agent: Corvane-Test/1\r\n"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("Browser/9"), std::string::npos) << seen;
}

}  // namespace
