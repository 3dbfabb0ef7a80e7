#include "platform/qt/tray_icon.h"

#include <QApplication>
#include <QPixmap>

#include "platform/resource_table.h"

QIcon IconFromImage(Icon image) {
  if (image == nullptr || image->xpm == nullptr) return QIcon();
  return QIcon(QPixmap(image->xpm));
}

QtTrayIcon::QtTrayIcon(WindowSystem& system, const NotifyIconData& data)
    : system_(system),
      window_(data.window),
      id_(data.id),
      callbackMessage_(data.callbackMessage),
      reports_((data.flags & kNifMessage) != 0),
      icon_(new QSystemTrayIcon(qApp)) {
  icon_->setObjectName(QStringLiteral("corvane-tray-icon-%1").arg(id_));
  if ((data.flags & kNifIcon) != 0) icon_->setIcon(IconFromImage(data.icon));
  if ((data.flags & kNifTip) != 0) {
    size_t n = 0;
    while (n < std::size(data.tip) && data.tip[n] != u'\0')
      ++n;
    icon_->setToolTip(QString::fromUtf16(data.tip, static_cast<qsizetype>(n)));
  }
  heldClick_.setSingleShot(true);
  heldClick_.setInterval(QApplication::doubleClickInterval());
  QObject::connect(&heldClick_, &QTimer::timeout, [this] { Post(kWmLButtonDown); });
  QObject::connect(icon_, &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason reason) { OnActivated(reason); });
  icon_->show();
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
      Post(kWmRButtonDown);
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
