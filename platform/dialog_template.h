// A dialog template as data (DLGTEMPLATE with its DLGITEMTEMPLATE list): the dialog's styles,
// rectangle in dialog units, title and font, and its controls in template order, which is also
// their tab order. Styles are the Win32 numbers, so a control's kind, initial enabled state, tab
// stop and group all come from the same bits a native template carries.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

// Window styles.
inline constexpr uint32_t kWsPopup = 0x80000000;     // WS_POPUP
inline constexpr uint32_t kWsChild = 0x40000000;     // WS_CHILD
inline constexpr uint32_t kWsVisible = 0x10000000;   // WS_VISIBLE
inline constexpr uint32_t kWsDisabled = 0x08000000;  // WS_DISABLED
inline constexpr uint32_t kWsCaption = 0x00C00000;   // WS_CAPTION
inline constexpr uint32_t kWsBorder = 0x00800000;    // WS_BORDER
inline constexpr uint32_t kWsSysMenu = 0x00080000;   // WS_SYSMENU
inline constexpr uint32_t kWsGroup = 0x00020000;     // WS_GROUP
inline constexpr uint32_t kWsTabStop = 0x00010000;   // WS_TABSTOP

// Dialog styles and extended styles.
inline constexpr uint32_t kDsSetFont = 0x40;                  // DS_SETFONT
inline constexpr uint32_t kDsModalFrame = 0x80;               // DS_MODALFRAME
inline constexpr uint32_t kWsExCaptionOkButton = 0x80000000;  // WS_EX_CAPTIONOKBTN

// Button styles: the low four bits are the button's kind.
inline constexpr uint32_t kBsTypeMask = 0x0F;       // BS_TYPEMASK
inline constexpr uint32_t kBsPushButton = 0;        // BS_PUSHBUTTON
inline constexpr uint32_t kBsDefPushButton = 1;     // BS_DEFPUSHBUTTON
inline constexpr uint32_t kBsAutoCheckBox = 3;      // BS_AUTOCHECKBOX
inline constexpr uint32_t kBsAutoRadioButton = 9;   // BS_AUTORADIOBUTTON
inline constexpr uint32_t kEsAutoHScroll = 0x0080;  // ES_AUTOHSCROLL

// Static styles: the low five bits are the kind.
inline constexpr uint32_t kSsTypeMask = 0x1F;  // SS_TYPEMASK
inline constexpr uint32_t kSsLeft = 0;         // SS_LEFT
inline constexpr uint32_t kSsCenter = 1;       // SS_CENTER
inline constexpr uint32_t kSsRight = 2;        // SS_RIGHT
inline constexpr uint32_t kSsIcon = 3;         // SS_ICON
inline constexpr uint32_t kSsNoPrefix = 0x80;  // SS_NOPREFIX: "&" is shown, not a mnemonic mark

// Every edit field holds at least this many digits, however narrow its template draws it: any
// 16-bit number, such as a port, shows whole.
inline constexpr int kFieldDigits = 5;

// The id of a control that has none of its own (labels, the icon).
inline constexpr uint16_t kIdStatic = 0xFFFF;  // IDC_STATIC, -1 as a 16-bit id

// The predefined control classes, as the atoms a template names them by.
enum class ControlClass : uint16_t {
  Button = 0x0080,
  Edit = 0x0081,
  Static = 0x0082,
};

// One control (DLGITEMTEMPLATE). An icon control names its image by the resource id in `image`
// where a native template holds the ordinal in place of the text.
struct DialogItemTemplate {
  uint32_t style;
  int16_t x;
  int16_t y;
  int16_t width;
  int16_t height;
  uint16_t id;
  ControlClass controlClass;
  std::u16string_view text;
  uint16_t image = 0;
};

// A whole dialog (DLGTEMPLATE). The rectangle is the client area, in dialog units of its font.
struct DialogTemplate {
  uint32_t style;
  uint32_t exStyle;
  int16_t x;
  int16_t y;
  int16_t width;
  int16_t height;
  std::u16string_view title;
  uint16_t pointSize;
  std::u16string_view font;
  std::span<const DialogItemTemplate> items;
};

// A template as a desktop without an OK button in title bars shows it. One whose extended style
// asks for that button (kWsExCaptionOkButton) gets an OK button of its own instead: kIdOk, the
// default button so that Enter presses it, at the bottom right below every control, the dialog
// grown to hold it. Any other template stands as it is.
class DialogWithOkButton {
 public:
  explicit DialogWithOkButton(const DialogTemplate& dialog);
  DialogWithOkButton(const DialogWithOkButton&) = delete;  // the template points into items_
  DialogWithOkButton& operator=(const DialogWithOkButton&) = delete;

  const DialogTemplate& Template() const { return dialog_; }

 private:
  std::vector<DialogItemTemplate> items_;
  DialogTemplate dialog_;
};
