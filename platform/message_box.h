// A message box with no owner window, the default caption and an OK button. Until a window system
// is attached, a box is its text as one line on standard error.
#pragma once

#include <string_view>

using MessageBoxHandler = void (*)(std::u16string_view text);

// Shows text and returns when the user has closed the box (at once for a box nobody can close).
void ShowMessageBox(std::u16string_view text);

// Writes line to standard error alone, never as a box: for failures no one need confirm.
void WriteErrorLine(std::string_view line);

// Replaces how boxes are shown; every box's text is written to standard error in any case.
void SetMessageBoxHandler(MessageBoxHandler handler);
