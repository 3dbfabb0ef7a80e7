// Showing the user a failure of the server's set-up steps.
#pragma once

#include <span>
#include <string_view>

class Socket;

// Wide characters of a formatted failure message, terminator included.
inline constexpr size_t kFailureMessageUnits = 64;

// Formats "ERROR(<code>): <step>" into message, cut to its room. Returns the units written.
size_t FormatFailure(int code, std::u16string_view step, std::span<char16_t> message);

// Shows "ERROR(<code>): <step>" and waits until the user has closed it. While a box with the
// same text is open, only its standard-error line is written: a blocked address that a page
// asks for many times opens one box, not one per request.
void ShowFailure(int code, const char16_t* step);

// Shuts down and closes the client and server sockets that are given (null for none), then
// shows "ERROR(<last error code>): <step>" as ShowFailure does. A null step shows nothing.
void ReportFailure(const char16_t* step, Socket* client, Socket* server);
