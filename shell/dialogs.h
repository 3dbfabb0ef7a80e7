// The handlers of the settings dialog (template 104) and the About dialog (template 103), which
// the main window runs modally on IDM_SETTINGS and IDM_ABOUT.
#pragma once

#include "platform/window_types.h"

intptr_t SettingsDialogProc(Window dialog, uint32_t message, WParam wParam, LParam lParam);
intptr_t AboutDialogProc(Window dialog, uint32_t message, WParam wParam, LParam lParam);
