// The user settings that steer the proxy, held in one process-wide record.
//
// The main thread replaces the record (settings load at start, the dialog's OK); workers read it
// while they serve. Both go through the two calls below, which copy the record whole under a
// lock, so a worker sees every field wholly old or wholly new and a text never half-written.
#pragma once

#include <cstdint>

// Capacity of each wide text setting in UTF-16 units, terminator included.
inline constexpr int kTextSettingUnits = 128;
// The bypass list gets more room: a handful of banking and pinned hosts outgrow 127 units.
inline constexpr int kBypassListUnits = 1024;

// Field order is the store order. A flag is off when 0 and on for any other value.
struct ProxySettings {
  int32_t SendReferer = 1;
  int32_t ChangeUA = 0;
  char16_t UAName[kTextSettingUnits] = {};
  int32_t SendMachine = 0;
  int32_t SpaceConvert = 0;
  int32_t SpaceConvertAll = 1;
  int32_t URLConvert = 0;
  int32_t ReadYahooMail = 0;
  int32_t UseProxy = 0;
  char16_t ProxyName[kTextSettingUnits] = {};
  int32_t ProxyPort = 5060;  // not 8080, our own listening port
  // HTTPS inspection: a CONNECT is opened with the local authority's certificate and rewritten
  // like plain HTTP, unless its host matches a pattern of the bypass list (core/bypass_list.h).
  int32_t InspectHttps = 0;
  char16_t InspectBypass[kBypassListUnits] = {};
  // Where the proxy listens: addresses separated by spaces or ";", "*" for every address of the
  // machine; and the port. Read when the server starts. The user's machine only, by default.
  char16_t ListenAddress[kTextSettingUnits] = u"127.0.0.1 ::1";
  int32_t ListenPort = 8080;
  // Clients from elsewhere that may use the proxy when it listens beyond loopback: addresses and
  // CIDR ranges separated by spaces or ";". Empty: this machine only.
  char16_t AllowedClients[kBypassListUnits] = {};
};

// A consistent copy of the record as it stands now.
ProxySettings CurrentSettings();

// Replaces the whole record. Text fields are kept terminated within their capacity.
void ReplaceSettings(const ProxySettings& settings);
