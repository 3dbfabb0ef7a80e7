#include "core/settings.h"

#include <mutex>

namespace {

std::mutex settingsLock;
ProxySettings settingsRecord;

}  // namespace

ProxySettings CurrentSettings() {
  std::lock_guard<std::mutex> hold(settingsLock);
  return settingsRecord;
}

void ReplaceSettings(const ProxySettings& settings) {
  std::lock_guard<std::mutex> hold(settingsLock);
  settingsRecord = settings;
  settingsRecord.UAName[kTextSettingUnits - 1] = 0;
  settingsRecord.ProxyName[kTextSettingUnits - 1] = 0;
}
