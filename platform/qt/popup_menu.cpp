// Popup menus as QMenu, run in a modal loop of our own so that messages for the windows go on
// being dispatched while the menu is open.
#include <QAction>
#include <QMenu>

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
  QPoint anchor(x, y);
  if ((flags & kTpmBottomAlign) != 0) anchor.ry() -= popup.sizeHint().height();
  popup.popup(anchor);
  RunModalLoop(closed);
  popup.hide();  // when the loop ended for the quit message instead
  // As Win32 does, the chosen command is posted, so it is handled once the menu is gone.
  if (chosen != 0) PostWindowMessage(owner, kWmCommand, chosen, 0);
  return 1;
}
