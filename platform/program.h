// Running another program and waiting for it: the trust helpers hand the certificate to
// certutil this way.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The full path of an installed program found in the PATH, or "".
std::string FindProgram(std::string_view name);

// Runs argv (argv[0] a full path) with standard input empty and its output dropped, and waits.
// Returns its exit status; -1 when it could not start or ended by a signal.
int RunProgram(const std::vector<std::string>& argv);
