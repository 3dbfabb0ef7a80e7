// Interim answers ("100 Continue", any 1xx but 101) come before the final answer on the same
// connection; they pass to the client as they are, and only the final answer is looked at.
// "101 Switching Protocols" counts as final: the connection speaks another protocol after it.
#pragma once

#include <cstddef>
#include <string_view>

// Where the final answer starts in bytes that begin an answer, after the interim answers whole
// in them: bytes.size() when they hold interim answers alone, std::string_view::npos when one is
// cut off before its blank line.
size_t FinalAnswerStart(std::string_view bytes);
