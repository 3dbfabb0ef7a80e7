#include "platform/dialog_template.h"

#include <algorithm>

#include "platform/window_types.h"

namespace {

// A push button's size and a dialog's margin, in dialog units, as dialogs are commonly laid out.
constexpr int kButtonWidth = 50;
constexpr int kButtonHeight = 14;
constexpr int kMargin = 7;

}  // namespace

DialogWithOkButton::DialogWithOkButton(const DialogTemplate& dialog) : dialog_(dialog) {
  if ((dialog.exStyle & kWsExCaptionOkButton) == 0) return;
  int lowest = 0;
  for (const DialogItemTemplate& item : dialog.items)
    lowest = std::max(lowest, item.y + item.height);
  int top = std::max(dialog.height - kMargin - kButtonHeight, lowest + kMargin);
  items_.assign(dialog.items.begin(), dialog.items.end());
  items_.push_back({kWsChild | kWsVisible | kWsTabStop | kBsDefPushButton,
                    static_cast<int16_t>(dialog.width - kMargin - kButtonWidth),
                    static_cast<int16_t>(top), kButtonWidth, kButtonHeight, kIdOk,
                    ControlClass::Button, u"OK"});
  dialog_.exStyle &= ~kWsExCaptionOkButton;
  dialog_.height = static_cast<int16_t>(top + kButtonHeight + kMargin);
  dialog_.items = items_;
}
