// The program's resources as data: what an Instance points to, and the loaders that read it
// (LoadString, LoadIcon, LoadImage, LoadMenu, GetSubMenu, DestroyMenu, LoadAccelerators,
// FindResource with LoadResource for dialog templates, GetStockObject).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/window_types.h"

struct StringResource {
  uint16_t id;
  std::u16string_view text;
};

// One item of a menu: a command, a separator (no text, command 0) or a popup with its submenu.
struct MenuItemResource {
  std::u16string_view text;
  uint16_t command;
  const MenuResource* submenu;
};

struct MenuResource {
  uint16_t id;  // 0 for a submenu
  std::span<const MenuItemResource> items;
};

struct AcceleratorEntry {
  uint8_t flags;  // kFVirtKey, kFNoInvert, kFAlt
  uint16_t key;   // a virtual key with kFVirtKey, else a character code
  uint16_t command;
};

struct AcceleratorTable {
  uint16_t id;
  std::span<const AcceleratorEntry> entries;
};

// One image of an icon group, as an XPM picture (at most 16 colours: 4 bits per pixel).
struct IconImage {
  int width;
  int height;
  const char* const* xpm;
};

struct IconGroup {
  uint16_t id;
  std::span<const IconImage> images;
};

// A dialog template; its layout is declared with the dialogs that use it.
struct DialogResource {
  uint16_t id;
  const DialogTemplate* dialog;
};

// The version record: the window system takes the application name and version from it, and
// the command line's --version.
struct VersionInfo {
  uint16_t fileVersion[4];
  std::u16string_view versionText;  // "1, 0, 8, 1"
  std::u16string_view translation;  // language and code page, "041104b0"
  std::u16string_view companyName;
  std::u16string_view fileDescription;
  std::u16string_view internalName;
  std::u16string_view productName;
};

struct ResourceTable {
  uint16_t language;
  std::span<const StringResource> strings;
  std::span<const MenuResource> menus;
  std::span<const AcceleratorTable> accelerators;
  std::span<const IconGroup> icons;
  std::span<const DialogResource> dialogs;
  const VersionInfo* version;
};

// The edge of the platform's standard icon (SM_CXICON), which LoadIconResource picks.
inline constexpr int kStandardIconSize = 32;

// Copies string id into buffer, cut to its room and NUL-terminated. Returns the units copied
// without the terminator; 0 when there is no such string or no room.
int LoadStringResource(Instance instance, uint16_t id, std::span<char16_t> buffer);

// The icon of group id at the standard size, or null.
Icon LoadIconResource(Instance instance, uint16_t id);

// The image of icon group id with exactly that size; type must be kImageIcon. Null otherwise.
Icon LoadIconImage(Instance instance, uint16_t id, uint32_t type, int width, int height,
                   uint32_t options);

// Menu id, or null. Menus are read-only data here: a loaded menu needs no copy.
Menu LoadMenuResource(Instance instance, uint16_t id);

// The submenu of the popup item at position, or null when there is none.
Menu MenuSubmenu(Menu menu, int position);

// Gives back a loaded menu and its submenus, and forgets their check marks.
void ReleaseMenu(Menu menu);

// Shows or hides the check mark of the item that sends command (CheckMenuItem with
// MF_BYCOMMAND), until the menu is released. Main thread only.
void CheckMenuCommand(Menu menu, uint16_t command, bool checked);

// How a menu drawn now shows command: kMenuUnchecked or kMenuChecked once CheckMenuCommand has
// named it, kMenuNoCheck otherwise.
enum class MenuCheck { kMenuNoCheck, kMenuUnchecked, kMenuChecked };
MenuCheck MenuCommandCheck(uint16_t command);

// Accelerator table id, or null.
Accelerators LoadAcceleratorTable(Instance instance, uint16_t id);

// Dialog template id, or null.
const DialogTemplate* FindDialogTemplate(Instance instance, uint16_t id);

// A stock object by index (kWhiteBrush).
StockObject GetStockObjectAt(int index);
