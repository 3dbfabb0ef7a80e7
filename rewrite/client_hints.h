// Client Hints: the request lines in which today's browsers describe the device and themselves.
#pragma once

#include <span>

// Removes from the NUL-terminated request chunk, which stays terminated, every line of a client
// hint the settings withhold, in any letter case: those describing the device unless SendMachine
// is on, those naming the real browser while ChangeUA is on. A head cut short loses the hints of
// its complete lines.
void RemoveClientHints(std::span<char> chunk);
