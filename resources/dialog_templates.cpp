#include "resources/dialog_templates.h"

#include "platform/window_types.h"
#include "resources/resource_ids.h"

namespace {

// Both dialogs: a framed popup with a title bar, in the font the template names.
constexpr uint32_t kDialogStyle =
    kWsPopup | kWsCaption | kWsSysMenu | kDsModalFrame | kDsSetFont;  // 0x80C800C0
constexpr uint16_t kDialogPoints = 9;
constexpr char16_t kDialogFont[] = u"ＭＳ Ｐゴシック";

constexpr uint32_t kControl = kWsChild | kWsVisible;
constexpr uint32_t kCheckBox = kControl | kWsTabStop | kBsAutoCheckBox;  // 0x50010003
constexpr uint32_t kDisabledCheckBox = kCheckBox | kWsDisabled;          // 0x58010003
constexpr uint32_t kEditField =
    kControl | kWsDisabled | kWsBorder | kWsTabStop | kEsAutoHScroll;      // 0x58810080
constexpr uint32_t kRadioButton = kControl | kBsAutoRadioButton;           // 0x50000009
constexpr uint32_t kOkButton = kControl | kWsTabStop | kBsDefPushButton;   // 0x50010001
constexpr uint32_t kCancelButton = kControl | kWsTabStop | kBsPushButton;  // 0x50010000
constexpr uint32_t kRightLabel = kControl | kWsGroup | kSsRight;           // 0x50020002
constexpr uint32_t kCentredLabel = kControl | kWsGroup | kSsCenter;        // 0x50020001
constexpr uint32_t kIconImage = kControl | kSsIcon;                        // 0x50000003
constexpr uint32_t kPlainLine = kControl | kWsGroup | kSsNoPrefix;         // 0x50020080
constexpr uint32_t kTextLine = kControl | kWsGroup | kSsLeft;              // 0x50020000

constexpr auto kButton = ControlClass::Button;
constexpr auto kEdit = ControlClass::Edit;
constexpr auto kStatic = ControlClass::Static;

// Template order is tab order. The ":" label starts the group that holds both radio buttons.
const DialogItemTemplate kSettingsItems[] = {
    {kOkButton, 59, 100, 50, 14, kIdOk, kButton, u"OK"},
    {kCancelButton, 114, 100, 50, 14, kIdCancel, kButton, u"ｷｬﾝｾﾙ"},
    {kCheckBox, 7, 39, 39, 10, IDC_SEND_MACHINE, kButton, u"U&A送信"},
    {kCheckBox, 7, 69, 50, 10, IDC_SPACE_CONVERT, kButton, u"? → &_ 変換:"},
    {kCheckBox, 7, 9, 51, 10, IDC_SEND_REFERER, kButton, u"&Referer送信"},
    {kCheckBox, 7, 24, 61, 10, IDC_CHANGE_UA, kButton, u"&User-Agent変更:"},
    {kCheckBox, 7, 54, 47, 10, IDC_USE_PROXY, kButton, u"PRO&XY利用:"},
    {kEditField, 82, 51, 54, 14, IDC_PROXY_NAME, kEdit, u""},
    {kEditField, 73, 22, 91, 14, IDC_UA_NAME, kEdit, u""},
    {kEditField, 146, 51, 18, 14, IDC_PROXY_PORT, kEdit, u""},
    {kRightLabel, 54, 54, 24, 8, kIdStatic, kStatic, u"http://"},
    {kCentredLabel, 137, 54, 8, 8, kIdStatic, kStatic, u":"},
    {kRadioButton, 106, 69, 59, 10, IDC_QUOTE_MARKS_ONLY, kButton, u"引用マークだけ"},
    {kRadioButton, 57, 69, 47, 10, IDC_CONVERT_ALL, kButton, u"全てに適用"},
    {kCheckBox, 7, 85, 88, 10, IDC_URL_CONVERT, kButton, u"Referer /%7&E → /~ 変換"},
    {kDisabledCheckBox, 99, 85, 69, 10, IDC_READ_YAHOO_MAIL, kButton, u"簡単Yahoo!メール"},
};

const DialogItemTemplate kAboutItems[] = {
    {kIconImage, 11, 17, 20, 20, kIdStatic, kStatic, u"", IDI_CORVANE},
    {kPlainLine, 40, 10, 170, 8, kIdStatic, kStatic, u"Corvane Version 1.08"},
    {kTextLine, 40, 25, 170, 8, kIdStatic, kStatic, u"ブラウザのリクエストを書き換えるプロキシ"},
};

}  // namespace

const DialogTemplate kSettingsDialogTemplate = {
    kDialogStyle, 0, 0, 0, 171, 121, u"Corvane 設定", kDialogPoints, kDialogFont, kSettingsItems,
};

// No buttons of its own: it asks for an OK in its title bar, which sends kIdOk. Where title bars
// hold none, the builders add an OK button that does the same (DialogWithOkButton).
const DialogTemplate kAboutDialogTemplate = {
    kDialogStyle,  kWsExCaptionOkButton, 0,           0, 217, 55, u"Corvane のバージョン情報",
    kDialogPoints, kDialogFont,          kAboutItems,
};
