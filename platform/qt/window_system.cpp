#include "platform/qt/window_system.h"

#include <QFont>
#include <QScreen>

#include <algorithm>

#include "platform/resource_table.h"

namespace {

// The dialog font of the resources, which Linux systems do not have, and its metric-compatible
// stand-in from the IPA fonts.
const char16_t kDialogFontFamily[] = u"ＭＳ Ｐゴシック";
constexpr char kDialogFontStandIn[] = "IPAPGothic";
// The dialogs' font size in points.
constexpr int kDialogFontPoints = 9;

QString FromWide(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

void InstallQtMessageBoxes(QtWindowSystem* system);

QtWindowSystem::QtWindowSystem(int& argc, char** argv)
    : application_(std::make_unique<QApplication>(argc, argv)) {
  // Windows come and go (boxes, dialogs) while the program lives on in the tray.
  QApplication::setQuitOnLastWindowClosed(false);
  QFont::insertSubstitution(FromWide(kDialogFontFamily), QString::fromLatin1(kDialogFontStandIn));
  QApplication::setFont(QFont(FromWide(kDialogFontFamily), kDialogFontPoints));
  InstallQtMessageBoxes(this);
}

QtWindowSystem::~QtWindowSystem() {
  InstallQtMessageBoxes(nullptr);
  trayIcons_.clear();
  notifiers_.clear();
}

int QtWindowSystem::RegisterWindowClass(const WindowClass& windowClass) {
  Instance instance = windowClass.instance;
  if (instance != nullptr && instance->version != nullptr) {
    QApplication::setApplicationName(FromWide(instance->version->productName));
    const uint16_t* v = instance->version->fileVersion;
    QApplication::setApplicationVersion(
        QStringLiteral("%1.%2.%3.%4").arg(v[0]).arg(v[1]).arg(v[2]).arg(v[3]));
  }
  // The class icon is what the program's own windows (boxes, dialogs) show in their frames.
  if (windowClass.icon != nullptr) QApplication::setWindowIcon(IconFromImage(windowClass.icon));
  return LocalWindowSystem::RegisterWindowClass(windowClass);
}

int QtWindowSystem::ScreenMetric(int index) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return 0;
  if (index == kSmCxScreen) return screen->geometry().width();
  if (index == kSmCyScreen) return screen->geometry().height();
  return 0;
}

int QtWindowSystem::NotifyTrayIcon(uint32_t operation, const NotifyIconData& data) {
  auto named = std::find_if(trayIcons_.begin(), trayIcons_.end(),
                            [&](const auto& icon) { return icon->Names(data.window, data.id); });
  if (operation == kNimAdd) {
    if (named != trayIcons_.end()) return 0;
    trayIcons_.push_back(std::make_unique<QtTrayIcon>(*this, data));
    // Without a tray host the icon waits, and appears once a host starts.
    return QSystemTrayIcon::isSystemTrayAvailable() ? 1 : 0;
  }
  if (named == trayIcons_.end()) return 0;
  if (operation == kNimModify) return (*named)->Modify(data);
  if (operation == kNimDelete) {
    trayIcons_.erase(named);
    return 1;
  }
  return 0;
}

int QtWindowSystem::BringToForeground(Window /*window*/) {
  // The main window is never shown; the popup menu takes the pointer and keys by itself.
  return 1;
}

void QtWindowSystem::WaitForEvents() {
  WatchDescriptors();
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void QtWindowSystem::WatchDescriptors() {
  std::vector<int> wanted = WatchedDescriptors();
  std::erase_if(notifiers_, [&](const auto& entry) {
    return std::find(wanted.begin(), wanted.end(), entry.first) == wanted.end();
  });
  for (int fd : wanted) {
    if (notifiers_.count(fd) != 0) continue;
    auto notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    // Drained at once, so no nested Qt loop ever spins on a descriptor left readable.
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [this] { ServiceDescriptors(); });
    notifiers_.emplace(fd, std::move(notifier));
  }
}
