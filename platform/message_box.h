// Message boxes and notices. A box is modal and belongs to the main thread: the user answers it
// before the program goes on. A notice is what any thread may raise without waiting for anyone;
// the desktop shows it as the notification icon's notification, or as a box that holds no one.
#pragma once

#include <cstdint>
#include <string_view>

// Shows a box with no owner window (MessageBox): text, caption and style, kMbOk or kMbYesNo
// with one of the kMbIcon* styles. Returns when the user has closed it: kIdOk, kIdYes or kIdNo.
// Main thread only. Without a window system that shows boxes, nothing is shown and the answer
// is kIdOk, or kIdNo to a question. Nothing is written to standard error: callers that want a
// line there write it themselves, in English.
int ShowMessageBox(std::u16string_view text, std::u16string_view caption, uint32_t style);

// Opens a box as ShowMessageBox does, with an OK button, and returns at once: the box stays until
// the user closes it, and holds nothing meanwhile. While a box with the same text is open, no
// second one opens. Main thread only.
void OpenMessageBox(std::u16string_view text, std::u16string_view caption, uint32_t style);

using MessageBoxHandler = int (*)(std::u16string_view text, std::u16string_view caption,
                                  uint32_t style);
// Replaces how boxes are shown, those that wait and those that do not; null shows none.
void SetMessageBoxHandlers(MessageBoxHandler modal, MessageBoxHandler modeless);
// Replaces how boxes that wait are shown, and shows none that do not.
void SetMessageBoxHandler(MessageBoxHandler handler);

// Writes text to standard error as one line, in UTF-8.
void WriteMessageLine(std::u16string_view text);

// Hands text to whoever shows notices and returns at once, from any thread. Nothing is shown
// when no one does (a proxy without a desktop): its caller has written the standard-error line.
void ShowNotice(std::u16string_view text);

// Must copy the text and return without waiting for the user or the main thread.
using NoticeHandler = void (*)(std::u16string_view text);
// Replaces who shows notices; null shows none. Once this returns, the handler it replaced is
// no longer running on any thread.
void SetNoticeHandler(NoticeHandler handler);
