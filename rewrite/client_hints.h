// Client Hints: the request lines in which today's browsers describe the device and themselves,
// and the answer lines in which sites ask for more of them.
#pragma once

#include <cstddef>
#include <span>

// Removes from the NUL-terminated request chunk, which stays terminated, every line of a client
// hint the settings withhold, in any letter case: those describing the device unless SendMachine
// is on, those naming the real browser while ChangeUA is on. A head cut short loses the hints of
// its complete lines.
void RemoveClientHints(std::span<char> chunk);

// Unless SendMachine is on, removes the Accept-CH and Critical-CH lines from the head that starts
// the answer's first bytes, so that the site does not get the browser to send more hints nor to
// ask again for them. Returns the bytes' length then; a head not whole in them is left as it came.
size_t RemoveHintRequests(std::span<char> answer);
