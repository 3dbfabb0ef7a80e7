#include "shell/proxy_services.h"

#include "core/local_authority.h"
#include "core/server.h"
#include "core/settings.h"
#include "store/settings_store.h"

namespace {

// Inspection found on in the store starts the authority at once (making it the first time), so
// that a key file that others can read is reported at start rather than at the first CONNECT.
void LoadSettingsAndAuthority() {
  LoadSettings();
  if (CurrentSettings().InspectHttps != 0) EnableInspection();
}

}  // namespace

ProxyServices Services = {StartProxyServer, StopProxyServer, LoadSettingsAndAuthority};
