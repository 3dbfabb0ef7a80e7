// Message boxes on the desktop, on the main thread, with the caption and icon they are given.
// A box opens above every other window and takes the focus: it is what the user must answer
// before the program goes on.
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>

#include "platform/message_box.h"
#include "platform/qt/window_system.h"
#include "platform/window_types.h"

namespace {

// Main thread only, between installing and uninstalling.
QtWindowSystem* boxSystem = nullptr;

QString FromWide(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QMessageBox::Icon IconOf(uint32_t style) {
  switch (style & kMbIconMask) {
    case kMbIconError:
      return QMessageBox::Critical;
    case kMbIconQuestion:
      return QMessageBox::Question;
    case kMbIconInformation:
      return QMessageBox::Information;
    default:
      return QMessageBox::NoIcon;
  }
}

int ShowQtMessageBox(std::u16string_view text, std::u16string_view caption, uint32_t style) {
  if (boxSystem == nullptr) return (style & kMbButtonsMask) == kMbYesNo ? kIdNo : kIdOk;
  return boxSystem->RunMessageBox(FromWide(text), FromWide(caption), style);
}

// A box that nobody waits for: it lives until the user closes it, then deletes itself.
int OpenQtMessageBox(std::u16string_view text, std::u16string_view caption, uint32_t style) {
  QString shown = FromWide(text);
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    auto* open = qobject_cast<QMessageBox*>(widget);
    if (open != nullptr && open->isVisible() && open->text() == shown) return kIdOk;
  }
  auto* box = new QMessageBox(IconOf(style), FromWide(caption), shown, QMessageBox::Ok);
  box->setObjectName(QStringLiteral("corvane-message-box"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowFlag(Qt::WindowStaysOnTopHint);
  box->setModal(false);
  box->show();
  box->raise();
  return kIdOk;
}

}  // namespace

void InstallQtMessageBoxes(QtWindowSystem* system) {
  boxSystem = system;
  if (system != nullptr) {
    SetMessageBoxHandlers(ShowQtMessageBox, OpenQtMessageBox);
    return;
  }
  SetMessageBoxHandlers(nullptr, nullptr);
  // Boxes nobody closed go with the desktop.
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (auto* box = qobject_cast<QMessageBox*>(widget)) delete box;
  }
}

int QtWindowSystem::RunMessageBox(const QString& text, const QString& caption, uint32_t style) {
  bool question = (style & kMbButtonsMask) == kMbYesNo;
  QMessageBox box(IconOf(style), caption, text,
                  question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok);
  box.setObjectName(QStringLiteral("corvane-message-box"));
  box.setWindowFlag(Qt::WindowStaysOnTopHint);
  if (question) {
    // In the language of the menu, as the system's own boxes are on a Japanese desktop.
    box.button(QMessageBox::Yes)->setText(QString::fromUtf16(u"はい(&Y)"));
    box.button(QMessageBox::No)->setText(QString::fromUtf16(u"いいえ(&N)"));
  }
  bool closed = false;
  QObject::connect(&box, &QDialog::finished, [&] { closed = true; });
  box.open();
  box.raise();
  box.activateWindow();
  RunModalLoop(closed);
  if (!question) return kIdOk;
  return box.result() == QMessageBox::Yes ? kIdYes : kIdNo;
}
