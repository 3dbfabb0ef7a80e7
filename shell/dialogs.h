// The settings dialog (template 104) and the About dialog (template 103), which the main window
// runs modally on IDM_SETTINGS and IDM_ABOUT. Both handlers reach their dialog only through the
// window system, and neither keeps anything between openings: the settings dialog shows the
// record as it is when it opens and, on OK only, replaces the record whole and saves it.
#pragma once

#include <cstdint>

#include "platform/window_types.h"

// Pixels left free at the bottom of the screen when a dialog is centred: the bar that holds the
// notification area.
inline constexpr int kDialogBottomReserve = 28;

// Room for the port as the field shows it when the dialog opens: a sign, the ten digits of any
// stored 32-bit number and the terminator, so that even 2147483647 is shown whole.
inline constexpr int kPortShownUnits = 12;
// Room for the port as OK reads it: at most 7 characters and the terminator.
inline constexpr int kPortReadUnits = 8;

// A point on the screen in pixels.
struct ScreenPoint {
  int32_t x = 0;
  int32_t y = 0;
};

intptr_t SettingsDialogProc(Window dialog, uint32_t message, WParam wParam, LParam lParam);
intptr_t AboutDialogProc(Window dialog, uint32_t message, WParam wParam, LParam lParam);

// Where the dialog's top-left corner goes for it to sit in the middle of the screen above the
// bottom bar, never off its top or left edge. 1 with *position filled in; 0 with (0, 0) when the
// dialog's rectangle cannot be had.
int CenterOnScreen(Window dialog, ScreenPoint* position);

// 1 exactly when the button answers kBstChecked, else 0.
int IsButtonChecked(Window dialog, int id);

// Hands state to the button as it is (kBmSetCheck): a stored flag of 2 is not turned into 1.
void SetButtonCheck(Window dialog, int id, int32_t state);

// The standard text-to-integer conversion: leading white space, an optional sign, then digits up
// to the first other character; 0 when there are none. A text of more than 9 digits wraps.
int32_t TextToInt(const char16_t* text);
