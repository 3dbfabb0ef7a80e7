// The settings file's key and the names of the eleven values, for the store targets.
#pragma once

#include <string_view>

inline constexpr std::string_view kSettingsKeyName = "HKEY_CURRENT_USER\\Software\\Lumet\\Corvane";

inline constexpr std::string_view kValueNames[] = {
    "SendReferer", "ChangeUA",      "UAName",   "SendMachine", "SpaceConvert", "SpaceConvertAll",
    "URLConvert",  "ReadYahooMail", "UseProxy", "ProxyName",   "ProxyPort",
};

// Each save drops one carriage return from the end of a line the file ends with "\r\r\n" (its
// text keeps the line with one "\r" and writes it with a bare "\n"), and a first run saves twice.
// Lines compare equal here when they differ only by that, so that the targets keep looking past it.
inline bool SameLineAfterSave(std::string_view before, std::string_view after) {
  if (!before.starts_with(after)) return false;
  std::string_view dropped = before.substr(after.size());
  return dropped.find_first_not_of('\r') == std::string_view::npos;
}

template <typename Lines>
bool SameLinesAfterSave(const Lines& before, const Lines& after) {
  if (before.size() != after.size()) return false;
  for (size_t i = 0; i < before.size(); ++i)
    if (!SameLineAfterSave(before[i], after[i])) return false;
  return true;
}
