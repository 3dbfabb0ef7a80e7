#include "platform/qt/tray_icon.h"

#include <QApplication>
#include <QPixmap>

#include "platform/resource_table.h"

QIcon IconFromImage(Icon image) {
  if (image == nullptr || image->xpm == nullptr) return QIcon();
  return QIcon(QPixmap(image->xpm));
}

namespace {

// The text of a NUL-terminated field of the record.
template <size_t N>
QString FieldText(const char16_t (&field)[N]) {
  size_t n = 0;
  while (n < N && field[n] != u'\0')
    ++n;
  return QString::fromUtf16(field, static_cast<qsizetype>(n));
}

QSystemTrayIcon::MessageIcon NoticeIcon(uint32_t infoFlags) {
  switch (infoFlags & 0x0F) {
    case kNiifInfo:
      return QSystemTrayIcon::Information;
    case kNiifWarning:
      return QSystemTrayIcon::Warning;
    case kNiifError:
      return QSystemTrayIcon::Critical;
    default:
      return QSystemTrayIcon::NoIcon;
  }
}

}  // namespace

QtTrayIcon::QtTrayIcon(WindowSystem& system, const NotifyIconData& data)
    : system_(system),
      window_(data.window),
      id_(data.id),
      callbackMessage_(data.callbackMessage),
      reports_((data.flags & kNifMessage) != 0),
      icon_(new QSystemTrayIcon(qApp)) {
  icon_->setObjectName(QStringLiteral("corvane-tray-icon-%1").arg(id_));
  if ((data.flags & kNifIcon) != 0) icon_->setIcon(IconFromImage(data.icon));
  if ((data.flags & kNifTip) != 0) icon_->setToolTip(FieldText(data.tip));
  heldClick_.setSingleShot(true);
  heldClick_.setInterval(QApplication::doubleClickInterval());
  QObject::connect(&heldClick_, &QTimer::timeout, [this] { Post(kWmLButtonDown); });
  QObject::connect(icon_, &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); });
  icon_->show();
}

int QtTrayIcon::Modify(const NotifyIconData& data) {
  if ((data.flags & kNifIcon) != 0) icon_->setIcon(IconFromImage(data.icon));
  if ((data.flags & kNifTip) != 0) icon_->setToolTip(FieldText(data.tip));
  if ((data.flags & kNifInfo) == 0) return 1;
  // Without a tray host, or one that shows no messages, the caller shows the text otherwise.
  if (!QSystemTrayIcon::isSystemTrayAvailable() || !QSystemTrayIcon::supportsMessages()) return 0;
  icon_->showMessage(FieldText(data.infoTitle), FieldText(data.info), NoticeIcon(data.infoFlags),
                     kNoticeShownMs);
  return 1;
}

QRect QtTrayIcon::Geometry() const {
  return icon_->geometry();
}

QtTrayIcon::~QtTrayIcon() {
  heldClick_.stop();
  icon_->hide();
  delete icon_;
}

void QtTrayIcon::OnActivated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      heldClick_.start();
      break;
    case QSystemTrayIcon::DoubleClick:
      heldClick_.stop();  // the click that began it is part of the double click
      Post(kWmLButtonDblClk);
      break;
    case QSystemTrayIcon::Context:
      Post(kWmRButtonUp);  // a right click, as Win32 reports the one that opens menus
      break;
    case QSystemTrayIcon::MiddleClick:
      Post(kWmMButtonDown);
      break;
    default:
      break;
  }
}

void QtTrayIcon::Post(uint32_t pointerEvent) {
  if (reports_) system_.PostWindowMessage(window_, callbackMessage_, id_, pointerEvent);
}
