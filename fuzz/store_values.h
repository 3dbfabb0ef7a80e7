// The settings file's key and the names of the eleven values, for the store targets.
#pragma once

#include <string_view>

inline constexpr std::string_view kSettingsKeyName = "HKEY_CURRENT_USER\\Software\\Lumet\\Corvane";

inline constexpr std::string_view kValueNames[] = {
    "SendReferer", "ChangeUA",      "UAName",   "SendMachine", "SpaceConvert", "SpaceConvertAll",
    "URLConvert",  "ReadYahooMail", "UseProxy", "ProxyName",   "ProxyPort",
};
