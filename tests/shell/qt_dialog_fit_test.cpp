// Every text of both dialogs shows whole with the fonts this machine has, measured against the
// room Qt's own style gives it inside each widget. CMake runs this program once per dpi value in
// CORVANE_TEST_DPI (96, 144), on an offscreen screen of that dpi without Qt's scaling, so that
// fonts and style metrics both grow as on a desktop set to that dpi.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/qt/dialog.h"
#include "platform/resource_table.h"
#include "resources/corvane_resources.h"
#include "resources/resource_ids.h"

namespace {

int TestDpi() {
  const char* text = std::getenv("CORVANE_TEST_DPI");
  return text != nullptr ? std::atoi(text) : 96;
}

intptr_t IgnoreMessages(Window, uint32_t, WParam, LParam) {
  return 0;
}

// What a control shows and the room its style draws that text in, both in pixels.
struct TextRoom {
  QSize text;
  QRect room;
};

TextRoom ButtonRoom(const QAbstractButton* button, QStyle::SubElement contents) {
  QStyleOptionButton option;
  option.initFrom(button);
  option.text = button->text();
  option.icon = button->icon();
  QRect room = button->style()->subElementRect(contents, &option, button);
  return TextRoom{button->fontMetrics().size(Qt::TextShowMnemonic, button->text()), room};
}

TextRoom RoomOf(const QWidget* widget) {
  if (const auto* push = qobject_cast<const QPushButton*>(widget))
    return ButtonRoom(push, QStyle::SE_PushButtonContents);
  if (const auto* check = qobject_cast<const QCheckBox*>(widget))
    return ButtonRoom(check, QStyle::SE_CheckBoxContents);
  if (const auto* radio = qobject_cast<const QRadioButton*>(widget))
    return ButtonRoom(radio, QStyle::SE_RadioButtonContents);
  const auto* label = qobject_cast<const QLabel*>(widget);
  if (label == nullptr || label->text().isEmpty()) return TextRoom{};
  QSize text = label->fontMetrics().size(0, label->text());
  return TextRoom{text, label->contentsRect()};
}

// The pixels between the cursor before the first and after the last character of text, once
// painted: a field too narrow scrolls to keep the cursor in view, and the distance shrinks.
int ShownWidth(QLineEdit* field, const QString& text) {
  auto cursorX = [field] {
    field->grab();  // the field scrolls as it paints
    return field->inputMethodQuery(Qt::ImCursorRectangle).toRect().center().x();
  };
  field->setText(text);
  field->setCursorPosition(0);
  int start = cursorX();
  field->setCursorPosition(static_cast<int>(text.size()));
  return cursorX() - start;
}

class DialogFitTest : public ::testing::TestWithParam<uint16_t> {
 protected:
  static void SetUpTestSuite() {
    // An offscreen screen of the dpi asked for, drawn at that dpi rather than scaled from 96.
    config = std::filesystem::temp_directory_path() /
             ("corvane-screen-" + std::to_string(::getpid()) + ".json");
    std::ofstream(config) << "{\"screens\":[{\"name\":\"test\",\"x\":0,\"y\":0,\"width\":1920,"
                             "\"height\":1080,\"logicalDpi\":"
                          << TestDpi() << ",\"logicalBaseDpi\":96}]}";
    ::setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config.string()).c_str(), 1);
    ::setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 1);
    app = new QApplication(argc, argv);
  }
  static void TearDownTestSuite() {
    delete app;
    std::filesystem::remove(config);
  }

  static inline int argc = 1;
  static inline char name[] = "shell_qt_dialog_fit_tests";
  static inline char* argv[] = {name, nullptr};
  static inline QApplication* app = nullptr;
  static inline std::filesystem::path config;
};

TEST_P(DialogFitTest, EveryTextShowsWholeAndFieldsHoldFiveDigits) {
  uintptr_t lastHandle = 0;
  const DialogTemplate* dialog = FindDialogTemplate(CorvaneResources(), GetParam());
  ASSERT_NE(dialog, nullptr);
  QtDialog box(*dialog, CorvaneResources(), IgnoreMessages,
               [&] { return static_cast<Window>(++lastHandle); });
  ASSERT_EQ(box.logicalDpiX(), TestDpi());
  int checked = 0;
  for (QObject* child : box.children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget == nullptr || !widget->property("controlId").isValid()) continue;
    if (auto* field = qobject_cast<QLineEdit*>(widget)) {
      QString digits = QStringLiteral("65535");
      EXPECT_EQ(ShownWidth(field, digits), field->fontMetrics().horizontalAdvance(digits))
          << "field " << widget->property("controlId").toUInt();
      ++checked;
      continue;
    }
    TextRoom room = RoomOf(widget);
    if (room.text.isEmpty()) continue;  // the icon
    std::string text = widget->property("text").toString().toStdString();
    EXPECT_LE(room.text.width(), room.room.width()) << text;
    EXPECT_LE(room.text.height(), room.room.height()) << text;
    ++checked;
  }
  // Every control but the About box's icon, its OK button included.
  int controls = static_cast<int>(DialogWithOkButton(*dialog).Template().items.size());
  EXPECT_EQ(checked, controls - (GetParam() == IDD_ABOUT ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(BothDialogs, DialogFitTest, ::testing::Values(IDD_SETTINGS, IDD_ABOUT));

}  // namespace
