#include "core/settings.h"

#include <mutex>
#include <shared_mutex>

namespace {

// Read for every request step, written on a dialog's OK: readers share the lock.
std::shared_mutex settingsLock;
ProxySettings settingsRecord;

}  // namespace

ProxySettings CurrentSettings() {
  std::shared_lock<std::shared_mutex> hold(settingsLock);
  return settingsRecord;
}

void ReplaceSettings(const ProxySettings& settings) {
  std::lock_guard<std::shared_mutex> hold(settingsLock);
  settingsRecord = settings;
  settingsRecord.UAName[kTextSettingUnits - 1] = 0;
  settingsRecord.ProxyName[kTextSettingUnits - 1] = 0;
  settingsRecord.InspectBypass[kBypassListUnits - 1] = 0;
  settingsRecord.ListenAddress[kTextSettingUnits - 1] = 0;
  settingsRecord.AllowedClients[kBypassListUnits - 1] = 0;
}
