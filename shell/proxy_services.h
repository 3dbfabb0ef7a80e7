// What the main window starts, loads and stops: the proxy server and the settings store. One
// process-wide record, so that the entry can point the server at another port and tests can stand
// in for both without a network or a store.
#pragma once

struct ProxyServices {
  int (*startProxyServer)();  // 1 when serving; 0 after the failure was shown
  void (*stopProxyServer)();
  void (*loadSettings)();
};

// Starts as StartProxyServer, StopProxyServer and LoadSettings.
extern ProxyServices Services;
