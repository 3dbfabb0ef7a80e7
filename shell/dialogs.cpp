#include "shell/dialogs.h"

#include <span>

#include "core/settings.h"
#include "platform/window_system.h"
#include "resources/resource_ids.h"
#include "shell/main_window.h"
#include "store/settings_store.h"

namespace {

// A check box and the flag it shows.
struct FlagBox {
  uint16_t id;
  int32_t ProxySettings::*field;
};

// The order in which the dialog sets the boxes when it opens.
constexpr FlagBox kBoxesShown[] = {
    {IDC_SEND_REFERER, &ProxySettings::SendReferer},
    {IDC_CHANGE_UA, &ProxySettings::ChangeUA},
    {IDC_SEND_MACHINE, &ProxySettings::SendMachine},
    {IDC_USE_PROXY, &ProxySettings::UseProxy},
    {IDC_SPACE_CONVERT, &ProxySettings::SpaceConvert},
    {IDC_READ_YAHOO_MAIL, &ProxySettings::ReadYahooMail},
    {IDC_URL_CONVERT, &ProxySettings::URLConvert},
};

// The order in which OK reads them; the last is the radio button of "apply to all".
constexpr FlagBox kBoxesRead[] = {
    {IDC_SEND_REFERER, &ProxySettings::SendReferer},
    {IDC_SEND_MACHINE, &ProxySettings::SendMachine},
    {IDC_CHANGE_UA, &ProxySettings::ChangeUA},
    {IDC_USE_PROXY, &ProxySettings::UseProxy},
    {IDC_SPACE_CONVERT, &ProxySettings::SpaceConvert},
    {IDC_READ_YAHOO_MAIL, &ProxySettings::ReadYahooMail},
    {IDC_URL_CONVERT, &ProxySettings::URLConvert},
    {IDC_CONVERT_ALL, &ProxySettings::SpaceConvertAll},
};

bool IsSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// value as signed decimal text in buffer, which holds kPortShownUnits.
void IntToText(int32_t value, std::span<char16_t, kPortShownUnits> buffer) {
  char16_t reversed[kPortShownUnits];
  int n = 0;
  // Through the unsigned magnitude, so the most negative number has its digits too.
  uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
  do {
    reversed[n++] = static_cast<char16_t>(u'0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  size_t out = 0;
  if (value < 0) buffer[out++] = u'-';
  while (n > 0)
    buffer[out++] = reversed[--n];
  buffer[out] = u'\0';
}

void EnableItem(Window dialog, int id, int enable) {
  EnableAppWindow(GetDialogItem(dialog, id), enable);
}

// Both dialogs open in the middle of the screen; when their rectangle cannot be had they stay
// where the window system put them.
void PlaceInMiddle(Window dialog) {
  ScreenPoint position;
  if (CenterOnScreen(dialog, &position) == 1)
    SetWindowPosition(dialog, Window::None, position.x, position.y, 0, 0,
                      kSwpNoSize | kSwpNoZOrder);
}

void EnableProxyFields(Window dialog, int enable) {
  EnableItem(dialog, IDC_PROXY_NAME, enable);
  EnableItem(dialog, IDC_PROXY_PORT, enable);
}

void EnableConversionChoice(Window dialog, int enable) {
  EnableItem(dialog, IDC_CONVERT_ALL, enable);
  EnableItem(dialog, IDC_QUOTE_MARKS_ONLY, enable);
}

void OpenSettings(Window dialog) {
  PlaceInMiddle(dialog);
  ProxySettings settings = CurrentSettings();
  char16_t port[kPortShownUnits];
  IntToText(settings.ProxyPort, port);
  for (const FlagBox& box : kBoxesShown)
    SetButtonCheck(dialog, box.id, settings.*box.field);
  // The other radio button keeps the clear state the template gives it.
  SetButtonCheck(dialog, settings.SpaceConvertAll != 0 ? IDC_CONVERT_ALL : IDC_QUOTE_MARKS_ONLY, 1);
  SetDialogItemText(dialog, IDC_UA_NAME, settings.UAName);
  SetDialogItemText(dialog, IDC_PROXY_NAME, settings.ProxyName);
  SetDialogItemText(dialog, IDC_PROXY_PORT, port);
  EnableItem(dialog, IDC_UA_NAME, settings.ChangeUA != 0 ? 1 : 0);
  EnableProxyFields(dialog, settings.UseProxy != 0 ? 1 : 0);
  EnableConversionChoice(dialog, settings.SpaceConvert != 0 ? 1 : 0);
}

// Reads every control, disabled ones included, into a new record, puts it in place of the old
// one and saves it. Longer texts are cut; a port that is no number is 0.
void AcceptSettings(Window dialog) {
  ProxySettings settings = CurrentSettings();
  for (const FlagBox& box : kBoxesRead)
    settings.*box.field = IsButtonChecked(dialog, box.id);
  GetDialogItemText(dialog, IDC_UA_NAME, settings.UAName, kTextSettingUnits);
  GetDialogItemText(dialog, IDC_PROXY_NAME, settings.ProxyName, kTextSettingUnits);
  char16_t port[kPortReadUnits];
  GetDialogItemText(dialog, IDC_PROXY_PORT, port, kPortReadUnits);
  settings.ProxyPort = TextToInt(port);
  ReplaceSettings(settings);
  SaveSettings();  // a failed save leaves the new values in force all the same
}

}  // namespace

int32_t TextToInt(const char16_t* text) {
  while (IsSpace(*text))
    ++text;
  bool negative = *text == u'-';
  if (*text == u'-' || *text == u'+') ++text;
  uint32_t value = 0;  // unsigned, so a number too large for 32 bits wraps instead of overflowing
  for (; *text >= u'0' && *text <= u'9'; ++text)
    value = value * 10 + static_cast<uint32_t>(*text - u'0');
  return static_cast<int32_t>(negative ? 0u - value : value);
}

int CenterOnScreen(Window dialog, ScreenPoint* position) {
  WindowRect rect;
  if (GetWindowRectangle(dialog, &rect) == 0) {
    *position = ScreenPoint{0, 0};
    return 0;
  }
  // Signed divisions, truncating toward zero; a dialog larger than the room goes to the edge.
  int32_t x = (ScreenWidth - (rect.right - rect.left)) / 2;
  int32_t y = (ScreenHeight - (rect.bottom - rect.top) - kDialogBottomReserve) / 2;
  *position = ScreenPoint{x < 0 ? 0 : x, y < 0 ? 0 : y};
  return 1;
}

int IsButtonChecked(Window dialog, int id) {
  return SendDialogItemMessage(dialog, id, kBmGetCheck, 0, 0) == kBstChecked ? 1 : 0;
}

void SetButtonCheck(Window dialog, int id, int32_t state) {
  SendDialogItemMessage(dialog, id, kBmSetCheck, static_cast<WParam>(state), 0);
}

intptr_t SettingsDialogProc(Window dialog, uint32_t message, WParam wParam, LParam /*lParam*/) {
  if (message == kWmInitDialog) {
    OpenSettings(dialog);
    return 1;  // the focus goes to the first tab stop, OK
  }
  if (message != kWmCommand) return 0;
  // Check boxes have changed their state already when their command arrives.
  switch (LowWord(wParam)) {  // the notification code in the high word is not looked at
    case kIdOk:
      AcceptSettings(dialog);
      EndModalDialog(dialog, kIdOk);
      return 1;
    case kIdCancel:  // Cancel and Escape: nothing is read, record and store stay as they were
      EndModalDialog(dialog, kIdCancel);
      return 1;
    case IDC_CHANGE_UA:
      EnableItem(dialog, IDC_UA_NAME, IsButtonChecked(dialog, IDC_CHANGE_UA));
      return 0;
    case IDC_USE_PROXY:
      EnableProxyFields(dialog, IsButtonChecked(dialog, IDC_USE_PROXY));
      return 0;
    case IDC_SPACE_CONVERT:
      EnableConversionChoice(dialog, IsButtonChecked(dialog, IDC_SPACE_CONVERT));
      return 0;
    default:
      return 0;
  }
}

intptr_t AboutDialogProc(Window dialog, uint32_t message, WParam wParam, LParam /*lParam*/) {
  if (message == kWmInitDialog) {
    PlaceInMiddle(dialog);
    return 1;
  }
  if (message != kWmCommand) return 0;
  uint16_t command = LowWord(wParam);
  if (command != kIdOk && command != kIdCancel) return 0;  // its OK (Enter), or Escape
  EndModalDialog(dialog, command);
  return 1;
}
