// What a failure means and what the user can do about it: one short line in the language of the
// user interface (Japanese, as the menu), and for failures at start one in English for standard
// error, where a user without a desktop reads it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/failure_page.h"

// A failed exchange, by what went wrong; viaUpstream when the target was the upstream proxy.
std::u16string_view ExchangeAdvice(FailureKind kind, bool viaUpstream);

// A failure of a step that names no exchange's target ("accept", "create socket for server").
std::u16string_view StepAdvice(std::u16string_view step);

// A failure at start (step "bind", "listen", "startup WSA", "WSA version", or none for the first
// thread) with its error code, for a proxy at address and port: the user interface's lines into
// advice, the English line into hint, both NUL-terminated and cut to their room.
void StartAdvice(std::u16string_view step, int code, std::string_view address, uint16_t port,
                 std::span<char16_t> advice, std::span<char> hint);
