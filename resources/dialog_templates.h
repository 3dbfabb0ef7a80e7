// The two dialog templates: the About dialog (103) and the settings dialog (104).
#pragma once

#include "platform/dialog_template.h"

extern const DialogTemplate kAboutDialogTemplate;
extern const DialogTemplate kSettingsDialogTemplate;
