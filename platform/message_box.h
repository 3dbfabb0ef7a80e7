// A message box with no owner window, the default caption and an OK button. Until a window system
// is attached, a box is its text as one line on standard error.
#pragma once

#include <string_view>

using MessageBoxHandler = void (*)(std::u16string_view text);

// Shows text and returns when the user has closed the box (at once for a box nobody can close).
void ShowMessageBox(std::u16string_view text);

// Writes text to standard error as one line, as every box does, without showing a box.
void WriteMessageLine(std::u16string_view text);

// Asks a question with Yes and No buttons (MB_YESNO) and returns true for Yes. Main thread only.
// Without a window system that can ask, the text goes to standard error and the answer is No.
bool AskYesNo(std::u16string_view text);

using QuestionHandler = bool (*)(std::u16string_view text);
void SetQuestionHandler(QuestionHandler handler);

// Replaces how boxes are shown; every box's text is written to standard error in any case.
void SetMessageBoxHandler(MessageBoxHandler handler);
