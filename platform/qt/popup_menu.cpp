// Popup menus as QMenu, run in a modal loop of our own so that messages for the windows go on
// being dispatched while the menu is open.
#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QScreen>

#include "platform/qt/window_system.h"
#include "platform/resource_table.h"

namespace {

void FillMenu(QMenu* target, const MenuResource& source) {
  for (const MenuItemResource& item : source.items) {
    QString text = QString::fromUtf16(item.text.data(), static_cast<qsizetype>(item.text.size()));
    if (item.submenu != nullptr) {
      FillMenu(target->addMenu(text), *item.submenu);
    } else if (item.text.empty() && item.command == 0) {
      target->addSeparator();
    } else {
      QAction* action = target->addAction(text);
      action->setData(static_cast<unsigned>(item.command));
      MenuCheck check = MenuCommandCheck(item.command);
      action->setCheckable(check != MenuCheck::kMenuNoCheck);
      action->setChecked(check == MenuCheck::kMenuChecked);
    }
  }
}

}  // namespace

// Where the user clicked: beside the owner's icon when the tray host says where it is, else at
// the pointer; the place the shell worked out only when neither is known. The menu opens
// towards the middle of the screen, upwards from a panel at the bottom and downwards from one
// at the top, and Qt keeps it on the screen.
QPoint QtWindowSystem::MenuPlace(Window owner, QPoint given, uint32_t flags, QSize size) const {
  QRect icon;
  for (const auto& tray : trayIcons_) {
    if (tray->Names(owner, tray->Id())) icon = tray->Geometry();
  }
  QPoint pointer = QCursor::pos();
  QScreen* screen = QGuiApplication::screenAt(icon.isValid() ? icon.center() : pointer);
  if (screen == nullptr) {
    QPoint anchor = given;
    if ((flags & kTpmBottomAlign) != 0) anchor.ry() -= size.height();
    return anchor;
  }
  QRect area = screen->geometry();
  QRect around = icon.isValid() ? icon : QRect(pointer, QSize(1, 1));
  bool upwards = around.center().y() > area.center().y();
  return upwards ? QPoint(around.left(), around.top() - size.height())
                 : QPoint(around.left(), around.bottom() + 1);
}

int QtWindowSystem::TrackMenuPopup(Menu menu, uint32_t flags, int x, int y, Window owner) {
  if (menu == nullptr) return 0;
  QMenu popup;
  popup.setObjectName(QStringLiteral("corvane-popup-menu"));
  FillMenu(&popup, *menu);
  unsigned chosen = 0;
  bool closed = false;
  QObject::connect(&popup, &QMenu::triggered, [&](QAction* action) {
    chosen = action->data().toUInt();
    popup.close();
  });
  QObject::connect(&popup, &QMenu::aboutToHide, [&] { closed = true; });
  popup.popup(MenuPlace(owner, QPoint(x, y), flags, popup.sizeHint()));
  RunModalLoop(closed);
  popup.hide();  // when the loop ended for the quit message instead
  // As Win32 does, the chosen command is posted, so it is handled once the menu is gone.
  if (chosen != 0) PostWindowMessage(owner, kWmCommand, chosen, 0);
  return 1;
}
