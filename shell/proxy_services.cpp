#include "shell/proxy_services.h"

#include "core/server.h"
#include "store/settings_store.h"

ProxyServices Services = {StartProxyServer, StopProxyServer, LoadSettings};
