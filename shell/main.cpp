// Program entry until the tray shell arrives: serve until asked to stop, then stop and exit 0.
#include <signal.h>

#include "core/server.h"
#include "rewrite/rewriting.h"
#include "store/settings_store.h"

int main() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  // Blocked before any worker exists, so every thread inherits the mask and only sigwait sees them.
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  InstallRewriting();
  if (StartProxyServer() == 1) {
    LoadSettings();
    int which = 0;
    sigwait(&stopSignals, &which);
  }
  StopProxyServer();
  return 0;
}
