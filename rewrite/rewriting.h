// Plugs the request rewriting into the proxy server's exchanges.
#pragma once

// Installs the request filters and the page address memory as the server's exchange hooks.
// Call before StartProxyServer.
void InstallRewriting();
