// Telling the user about failures. A failure of one exchange never holds the thread that hit
// it: its line goes to standard error and a notice to the desktop, which shows it without
// waiting for anyone. A failure at start is a box, which the user closes before the program ends.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

class Socket;

// Wide characters of a formatted failure line, terminator included.
inline constexpr size_t kFailureMessageUnits = 64;
// Wide characters of a notice or a box: the failure line, the host and what it means.
inline constexpr size_t kFailureNoticeUnits = 256;

// The caption of every box the program shows.
inline constexpr std::u16string_view kBoxCaption = u"Corvane";

// Formats "ERROR(<code>): <step>" into message, cut to its room. Returns the units written.
size_t FormatFailure(int code, std::u16string_view step, std::span<char16_t> message);

// Tells of a failure of one exchange, from any thread, and returns at once: the line
// "ERROR(<code>): <step>" on standard error every time; and a notice of that line, the host
// (when there is one) and advice, unless the same notice was shown within the last 30 seconds.
void ShowFailure(int code, std::u16string_view step, std::string_view host,
                 std::u16string_view advice);

// Lets each notice be shown at once again: a new run of the server starts afresh.
void ForgetShownNotices();

// Tells of a failure at start and returns when the user has closed its box (main thread): the
// line and an English hint on standard error, the line and advice in an error box. A code below
// zero stands for a step that has no code: the whole line is "ERROR: <step>". address names the
// listening address at fault, when one is.
void ShowStartFailure(int code, std::u16string_view step, uint16_t port,
                      std::string_view address = {});

// Shuts down and closes the client and server sockets that are given (null for none), then
// tells of step's failure as ShowFailure does, with the last error code. A null step tells
// nothing.
void ReportFailure(const char16_t* step, Socket* client, Socket* server);
