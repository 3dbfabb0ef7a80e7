#include "resources/corvane_resources.h"

#include "resources/corvane_version.h"
#include "resources/dialog_templates.h"
#include "resources/icon_101_16.xpm"
#include "resources/icon_101_32.xpm"

namespace {

const StringResource kStrings[] = {
    {IDS_TITLE, u"Corvane"},
    {IDS_CLASS_NAME, u"CORVANE"},
};

// Menu 102: one popup, never shown itself, whose submenu is the tray menu.
const MenuItemResource kTrayMenuItems[] = {
    {u"設定(&S)", IDM_SETTINGS, nullptr},
    {u"バージョン情報(&A)", IDM_ABOUT, nullptr},
    {u"HTTPS を検査(&H)", IDM_INSPECT_HTTPS, nullptr},  // checked while inspection is on
    {u"", 0, nullptr},                                  // separator
    {u"終了(&X)", IDM_EXIT, nullptr},
};
const MenuResource kTrayMenu = {0, kTrayMenuItems};
const MenuItemResource kTrayMenuBar[] = {
    {u"ポップアップメニュー", 0, &kTrayMenu},
};

const MenuResource kMenus[] = {
    {IDR_TRAY_MENU, kTrayMenuBar},
};

// Neither key highlights a menu when it fires.
const AcceleratorEntry kAcceleratorEntries[] = {
    {kFAlt | kFNoInvert, '/', IDM_ACCEL_ALT_SLASH},
    {kFVirtKey | kFAlt | kFNoInvert, kVkF4, IDM_ACCEL_ALT_F4},
};
const AcceleratorTable kAccelerators[] = {
    {IDR_ACCELERATORS, kAcceleratorEntries},
};

const IconImage kIconImages[] = {
    {32, 32, kIcon101Size32},
    {16, 16, kIcon101Size16},
};
const IconGroup kIcons[] = {
    {IDI_CORVANE, kIconImages},
};

const DialogResource kDialogs[] = {
    {IDD_ABOUT, &kAboutDialogTemplate},
    {IDD_SETTINGS, &kSettingsDialogTemplate},
};

const VersionInfo kVersion = {
    {CORVANE_VERSION_MAJOR, CORVANE_VERSION_MINOR, CORVANE_VERSION_PATCH, CORVANE_VERSION_TWEAK},
    CORVANE_VERSION_TEXT,
    u"041104b0",
    u"Lumet",
    u"Corvane",
    u"Corvane",
    u"Corvane",
};

const ResourceTable kResources = {
    kResourceLanguage, kStrings, kMenus, kAccelerators, kIcons, kDialogs, &kVersion,
};

}  // namespace

Instance CorvaneResources() {
  return &kResources;
}
