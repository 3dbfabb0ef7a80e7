// The hosts that HTTPS inspection leaves alone: a list of patterns separated by ";" or white
// space. "*.example.com" matches every name under example.com; any other pattern matches its own
// name only. Letter case and a final dot do not count.
#pragma once

#include <string_view>

// True when host matches a pattern of list.
bool IsBypassed(std::string_view host, std::string_view list);
