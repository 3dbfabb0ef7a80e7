// The host a browser names in its TLS ClientHello (SNI), read from the bytes of its first record
// as they arrive, before anything reaches the origin.
#pragma once

#include <string_view>

enum class HelloName {
  kNamed,       // *name holds the host
  kNone,        // a whole ClientHello that names no host
  kIncomplete,  // more bytes are needed
  kNotTls,      // the bytes begin no TLS handshake at all
};

// Reads bytes, which begin the client's first TLS record.
HelloName ServerNameOf(std::string_view bytes, std::string_view* name);

// Whether a ClientHello's name may go to host, the one the CONNECT named: none at all, or the
// same name in any letter case (with or without a final dot).
bool SameHostName(std::string_view named, std::string_view host);
