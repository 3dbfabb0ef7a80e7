#include "platform/resource_table.h"

#include <algorithm>

namespace {

template <typename Entry>
const Entry* FindById(std::span<const Entry> entries, uint16_t id) {
  auto found = std::find_if(entries.begin(), entries.end(),
                            [id](const Entry& entry) { return entry.id == id; });
  return found == entries.end() ? nullptr : &*found;
}

}  // namespace

int LoadStringResource(Instance instance, uint16_t id, std::span<char16_t> buffer) {
  if (instance == nullptr || buffer.empty()) return 0;
  const StringResource* found = FindById(instance->strings, id);
  if (found == nullptr) {
    buffer[0] = u'\0';
    return 0;
  }
  size_t n = std::min(found->text.size(), buffer.size() - 1);
  std::copy_n(found->text.begin(), n, buffer.begin());
  buffer[n] = u'\0';
  return static_cast<int>(n);
}

Icon LoadIconResource(Instance instance, uint16_t id) {
  return LoadIconImage(instance, id, kImageIcon, kStandardIconSize, kStandardIconSize, 0);
}

Icon LoadIconImage(Instance instance, uint16_t id, uint32_t type, int width, int height,
                   uint32_t /*options*/) {
  if (instance == nullptr || type != kImageIcon) return nullptr;
  const IconGroup* group = FindById(instance->icons, id);
  if (group == nullptr) return nullptr;
  for (const IconImage& image : group->images) {
    if (image.width == width && image.height == height) return &image;
  }
  return nullptr;
}

Menu LoadMenuResource(Instance instance, uint16_t id) {
  if (instance == nullptr || id == 0) return nullptr;
  return FindById(instance->menus, id);
}

Menu MenuSubmenu(Menu menu, int position) {
  if (menu == nullptr || position < 0 || static_cast<size_t>(position) >= menu->items.size())
    return nullptr;
  return menu->items[static_cast<size_t>(position)].submenu;
}

namespace {

// The check marks of the menus loaded now. Menus are the resource data itself, so the marks are
// kept beside them; a tray menu has a handful of items.
struct CheckMark {
  uint16_t command;
  bool checked;
};
constexpr size_t kMaxCheckMarks = 8;
CheckMark checkMarks[kMaxCheckMarks] = {};
size_t checkMarkCount = 0;

}  // namespace

void ReleaseMenu(Menu /*menu*/) {
  // Loaded menus are the resource data itself: only their marks go.
  checkMarkCount = 0;
}

void CheckMenuCommand(Menu menu, uint16_t command, bool checked) {
  if (menu == nullptr) return;
  for (size_t i = 0; i < checkMarkCount; ++i) {
    if (checkMarks[i].command == command) {
      checkMarks[i].checked = checked;
      return;
    }
  }
  if (checkMarkCount < kMaxCheckMarks) checkMarks[checkMarkCount++] = {command, checked};
}

MenuCheck MenuCommandCheck(uint16_t command) {
  for (size_t i = 0; i < checkMarkCount; ++i) {
    if (checkMarks[i].command == command)
      return checkMarks[i].checked ? MenuCheck::kMenuChecked : MenuCheck::kMenuUnchecked;
  }
  return MenuCheck::kMenuNoCheck;
}

Accelerators LoadAcceleratorTable(Instance instance, uint16_t id) {
  if (instance == nullptr) return nullptr;
  return FindById(instance->accelerators, id);
}

const DialogTemplate* FindDialogTemplate(Instance instance, uint16_t id) {
  if (instance == nullptr) return nullptr;
  const DialogResource* found = FindById(instance->dialogs, id);
  return found == nullptr ? nullptr : found->dialog;
}

StockObject GetStockObjectAt(int index) {
  // Any non-null value will do: nothing is drawn with it.
  return index < 0 ? StockObject::None : static_cast<StockObject>(index + 1);
}
