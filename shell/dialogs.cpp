#include "shell/dialogs.h"

// The resources carry no dialog templates yet, so neither dialog can open and no message reaches
// these handlers; each answers "not handled" until its dialog is built.
intptr_t SettingsDialogProc(Window /*dialog*/, uint32_t /*message*/, WParam /*wParam*/,
                            LParam /*lParam*/) {
  return 0;
}

intptr_t AboutDialogProc(Window /*dialog*/, uint32_t /*message*/, WParam /*wParam*/,
                         LParam /*lParam*/) {
  return 0;
}
