// Who may use the proxy and where a request may go. By default only this machine's clients are
// served; the user may open the proxy to others by address. A client from elsewhere never
// reaches this machine's own services through it, and no request is sent back into the proxy.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "platform/socket.h"

// On this machine: a loopback address, or one of its own.
bool IsLocalClient(const IpAddress& client);

// Whether client may use the proxy: a local one always, another when allowed names it. allowed
// holds addresses and CIDR ranges ("192.0.2.0/24", "2001:db8::/32") separated by spaces or ";".
bool ClientAllowed(const IpAddress& client, std::string_view allowed);

// What the address check of one exchange knows.
struct TargetRules {
  bool remoteClient = false;   // the client is not on this machine
  bool upstream = false;       // the target is the upstream proxy the user set
  uint16_t listeningPort = 0;  // the proxy's own port
};

// The judge of an AddressCheck over TargetRules: kLoop for the proxy's own port at an address of
// this machine; kForbidden, for a client from elsewhere, for an address of this machine or a
// link-local one (never for the upstream proxy, which the user chose); kConnected otherwise.
ConnectResult JudgeTarget(const IpAddress& address, uint16_t port, const void* rules);
