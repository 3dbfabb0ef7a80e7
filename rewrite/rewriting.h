// Plugs the request rewriting into the proxy server's exchanges.
#pragma once

// Installs the request filters, the page address memory and the answers' edit (their requests
// for client hints go) as the server's exchange hooks. Call before StartProxyServer.
void InstallRewriting();
