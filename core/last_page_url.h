// The address of the last page the proxy relayed to a client, never stored. Each client has its
// own: the clients on this machine share one, every other client address has its own (the most
// recently active ones), so no client's pages ever become another's Referer.
//
// Each call copies or edits the whole address under one lock, so concurrent workers never
// interleave their copies: the last complete copy wins.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "platform/socket.h"

// Bytes of single-byte text including the terminator; a request address has the same size.
inline constexpr size_t kLastPageUrlSize = 1024;
// Clients from elsewhere whose page is remembered at once; the one idle longest is forgotten.
inline constexpr size_t kRememberedClients = 32;

// The client whose page the calling thread reads and writes from now on: none (this machine's
// clients), or another address. A worker names its client at the start of each exchange.
void UsePageMemoryOf(const IpAddress& client);

// Copies the remembered address into dst (NUL-terminated, cut to dst's room).
void CopyLastPageUrl(std::span<char> dst);

// Remembers address, cut to 1023 bytes, without the user name and password it may carry
// ("http://user:pw@host/" is remembered as "http://host/").
void SetLastPageUrl(std::string_view address);

// Edits the remembered address in place while no other worker can read or replace it.
void EditLastPageUrl(void (*edit)(std::span<char> address));
