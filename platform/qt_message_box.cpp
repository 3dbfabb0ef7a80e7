// Message boxes on the desktop. A box is always shown on the main thread; a worker thread that
// reports a failure waits there until the user has closed it.
#include <QMessageBox>
#include <QThread>
#include <atomic>

#include "platform/message_box.h"
#include "platform/qt_window_system.h"

namespace {

std::atomic<QtWindowSystem*> boxSystem{nullptr};

// The caption of a box that was given none, as on Win32.
constexpr char kDefaultCaption[] = "Error";

void ShowQtMessageBox(std::u16string_view text) {
  QtWindowSystem* system = boxSystem.load();
  if (system == nullptr) return;
  QString shown = QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
  if (QThread::currentThread() == qApp->thread()) {
    system->RunMessageBox(shown);
    return;
  }
  QMetaObject::invokeMethod(
      qApp, [system, shown] { system->RunMessageBox(shown); }, Qt::BlockingQueuedConnection);
}

}  // namespace

void InstallQtMessageBoxes(QtWindowSystem* system) {
  boxSystem.store(system);
  SetMessageBoxHandler(system != nullptr ? ShowQtMessageBox : nullptr);
}

void QtWindowSystem::RunMessageBox(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kDefaultCaption), text, QMessageBox::Ok);
  bool closed = false;
  QObject::connect(&box, &QDialog::finished, [&] { closed = true; });
  box.open();
  RunModalLoop(closed);
}
