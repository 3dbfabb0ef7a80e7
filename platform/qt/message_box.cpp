// Message boxes on the desktop. A box is always shown on the main thread; a worker thread that
// reports a failure hands its text over and waits until the user has closed the box. The handover
// uses our own lock and an eventfd rather than Qt's queued calls, so that every step of it can be
// checked by the thread sanitizer.
#include <sys/eventfd.h>

#include <QMessageBox>
#include <QSocketNotifier>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/message_box.h"
#include "platform/posix/unique_fd.h"
#include "platform/qt/window_system.h"

namespace {

// The caption of a box that was given none, as on Win32.
constexpr char kDefaultCaption[] = "Error";

struct BoxRequest {
  std::u16string text;
  bool closed = false;
};

// Main thread only, between installing and uninstalling.
QtWindowSystem* boxSystem = nullptr;
std::thread::id mainThread;
UniqueFd boxWake;
std::unique_ptr<QSocketNotifier> boxNotifier;

// Shared with the workers.
std::mutex boxLock;
std::condition_variable boxClosed;
std::deque<BoxRequest*> pendingBoxes;
bool acceptingBoxes = false;

QString FromWide(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

void ShowPendingBoxes() {
  uint64_t count = 0;
  [[maybe_unused]] ssize_t n = ::read(boxWake.Get(), &count, sizeof count);
  for (;;) {
    BoxRequest* request = nullptr;
    {
      std::lock_guard<std::mutex> hold(boxLock);
      if (pendingBoxes.empty()) return;
      request = pendingBoxes.front();
      pendingBoxes.pop_front();
    }
    boxSystem->RunMessageBox(FromWide(request->text));
    {
      std::lock_guard<std::mutex> hold(boxLock);
      request->closed = true;
    }
    boxClosed.notify_all();
  }
}

void ShowQtMessageBox(std::u16string_view text) {
  if (std::this_thread::get_id() == mainThread) {
    if (boxSystem != nullptr) boxSystem->RunMessageBox(FromWide(text));
    return;
  }
  BoxRequest request{std::u16string(text)};
  std::unique_lock<std::mutex> hold(boxLock);
  if (!acceptingBoxes) return;  // the desktop is going away: the line on standard error stays
  pendingBoxes.push_back(&request);
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = ::write(boxWake.Get(), &one, sizeof one);
  boxClosed.wait(hold, [&] { return request.closed; });
}

bool AskQtQuestion(std::u16string_view text) {
  return std::this_thread::get_id() == mainThread && boxSystem != nullptr &&
         boxSystem->RunQuestionBox(FromWide(text));
}

// Lets every waiting worker go on; their boxes will never be shown.
void ReleaseWaitingWorkers() {
  {
    std::lock_guard<std::mutex> hold(boxLock);
    acceptingBoxes = false;
    for (BoxRequest* request : pendingBoxes)
      request->closed = true;
    pendingBoxes.clear();
  }
  boxClosed.notify_all();
}

}  // namespace

void InstallQtMessageBoxes(QtWindowSystem* system) {
  if (system == nullptr) {
    SetMessageBoxHandler(nullptr);
    SetQuestionHandler(nullptr);
    ReleaseWaitingWorkers();
    boxNotifier.reset();
    boxSystem = nullptr;
    return;
  }
  boxSystem = system;
  mainThread = std::this_thread::get_id();
  boxWake.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  boxNotifier = std::make_unique<QSocketNotifier>(boxWake.Get(), QSocketNotifier::Read);
  QObject::connect(boxNotifier.get(), &QSocketNotifier::activated, [] { ShowPendingBoxes(); });
  {
    std::lock_guard<std::mutex> hold(boxLock);
    acceptingBoxes = true;
  }
  SetMessageBoxHandler(ShowQtMessageBox);
  SetQuestionHandler(AskQtQuestion);
}

void QtWindowSystem::RunMessageBox(const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromLatin1(kDefaultCaption), text, QMessageBox::Ok);
  bool closed = false;
  QObject::connect(&box, &QDialog::finished, [&] { closed = true; });
  box.open();
  RunModalLoop(closed);
}

bool QtWindowSystem::RunQuestionBox(const QString& text) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Corvane"), text,
                  QMessageBox::Yes | QMessageBox::No);
  bool closed = false;
  QObject::connect(&box, &QDialog::finished, [&] { closed = true; });
  box.open();
  RunModalLoop(closed);
  return box.result() == QMessageBox::Yes;
}
