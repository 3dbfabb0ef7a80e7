#include "store/settings_store.h"

#include <span>

#include "core/settings.h"
#include "platform/registry.h"
#include "platform/text_convert.h"

namespace {

constexpr char16_t kSettingsKeyPath[] = u"Software\\Lumet\\Corvane";

// One stored value: its name and the field it keeps, a number or a text.
struct StoredValue {
  const char16_t* name;
  int32_t ProxySettings::*number;
  std::span<char16_t> (*text)(ProxySettings&);
};

template <auto field>
std::span<char16_t> TextField(ProxySettings& settings) {
  return settings.*field;
}

// Store order, which is also the record's field order. Load and save both walk this table.
constexpr StoredValue kStoredValues[] = {
    {u"SendReferer", &ProxySettings::SendReferer, nullptr},
    {u"ChangeUA", &ProxySettings::ChangeUA, nullptr},
    {u"UAName", nullptr, TextField<&ProxySettings::UAName>},
    {u"SendMachine", &ProxySettings::SendMachine, nullptr},
    {u"SpaceConvert", &ProxySettings::SpaceConvert, nullptr},
    {u"SpaceConvertAll", &ProxySettings::SpaceConvertAll, nullptr},
    {u"URLConvert", &ProxySettings::URLConvert, nullptr},
    {u"ReadYahooMail", &ProxySettings::ReadYahooMail, nullptr},
    {u"UseProxy", &ProxySettings::UseProxy, nullptr},
    {u"ProxyName", nullptr, TextField<&ProxySettings::ProxyName>},
    {u"ProxyPort", &ProxySettings::ProxyPort, nullptr},
    {u"InspectHttps", &ProxySettings::InspectHttps, nullptr},
    {u"InspectBypass", nullptr, TextField<&ProxySettings::InspectBypass>},
    {u"ListenAddress", nullptr, TextField<&ProxySettings::ListenAddress>},
    {u"ListenPort", &ProxySettings::ListenPort, nullptr},
    {u"AllowedClients", nullptr, TextField<&ProxySettings::AllowedClients>},
};

// The open key while a load or save runs; the key is never held open between them.
RegistryKey SettingsKey = 0;

long OpenSettingsKey(uint32_t* disposition) {
  long status = RegistryCreateKey(kRegistryCurrentUser, kSettingsKeyPath, u"", kRegistryNonVolatile,
                                  kRegistryAllAccess, nullptr, &SettingsKey, disposition);
  if (status != kRegistrySuccess) SettingsKey = 0;
  return status;
}

void CloseSettingsKey() {
  RegistryCloseKey(SettingsKey);
  SettingsKey = 0;
}

// Whatever the value holds, up to the field's 4 bytes, lands in the field; a larger value is
// refused and the field keeps what it had.
long ReadNumber(const char16_t* name, int32_t* field) {
  uint32_t type = 0;
  return RegistryReadValue(SettingsKey, name, &type,
                           std::as_writable_bytes(std::span<int32_t, 1>(field, 1)), nullptr);
}

// A text that fills the whole field, or is stored without its terminator, still ends up
// terminated: right after the units read, and in any case in the field's last unit.
long ReadText(const char16_t* name, std::span<char16_t> field) {
  uint32_t type = 0;
  uint32_t size = 0;
  long status = RegistryReadValue(SettingsKey, name, &type, std::as_writable_bytes(field), &size);
  size_t unitsRead = (size + 1) / 2;
  if (status == kRegistrySuccess && unitsRead < field.size()) field[unitsRead] = 0;
  field.back() = 0;
  return status;
}

long WriteNumber(const char16_t* name, const int32_t& field) {
  return RegistryWriteValue(SettingsKey, name, kRegistryNumber,
                            std::as_bytes(std::span<const int32_t, 1>(&field, 1)));
}

// The text and its terminator: (length + 1) * 2 bytes.
long WriteText(const char16_t* name, std::span<const char16_t> field) {
  size_t units = WideLength(field) + 1;
  if (units > field.size()) units = field.size();  // the record keeps its texts terminated
  return RegistryWriteValue(SettingsKey, name, kRegistryText, std::as_bytes(field.first(units)));
}

}  // namespace

void LoadSettings() {
  uint32_t disposition = 0;
  if (OpenSettingsKey(&disposition) != kRegistrySuccess) return;
  if (disposition == kRegistryCreatedNewKey) {
    // First run: nothing to read; the store gets the record's defaults.
    CloseSettingsKey();
    SaveSettings();
    return;
  }
  // Workers read the record meanwhile: fill a copy and publish it whole.
  ProxySettings settings = CurrentSettings();
  for (const StoredValue& value : kStoredValues) {
    if (value.number != nullptr)
      ReadNumber(value.name, &(settings.*value.number));
    else
      ReadText(value.name, value.text(settings));
  }
  CloseSettingsKey();
  ReplaceSettings(settings);
}

void SaveSettings() {
  uint32_t disposition = 0;
  if (OpenSettingsKey(&disposition) != kRegistrySuccess) return;
  ProxySettings settings = CurrentSettings();
  for (const StoredValue& value : kStoredValues) {
    if (value.number != nullptr)
      WriteNumber(value.name, settings.*value.number);
    else
      WriteText(value.name, value.text(settings));
  }
  CloseSettingsKey();
}
