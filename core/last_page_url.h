// The address of the last page the proxy relayed, shared by every worker and never stored.
//
// Each call copies or edits the whole address under one lock, so concurrent workers never
// interleave their copies: the last complete copy wins.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// Bytes of single-byte text including the terminator; a request address has the same size.
inline constexpr size_t kLastPageUrlSize = 1024;

// Copies the remembered address into dst (NUL-terminated, cut to dst's room).
void CopyLastPageUrl(std::span<char> dst);

// Remembers address, cut to 1023 bytes.
void SetLastPageUrl(std::string_view address);

// Edits the remembered address in place while no other worker can read or replace it.
void EditLastPageUrl(void (*edit)(std::span<char> address));
