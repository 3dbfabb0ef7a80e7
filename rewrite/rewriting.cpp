#include "rewrite/rewriting.h"

#include "core/server.h"

// Placeholder until the filters land: requests pass as the browser sent them.
void InstallRewriting() {
  InstallExchangeHooks(ExchangeHooks{});
}
