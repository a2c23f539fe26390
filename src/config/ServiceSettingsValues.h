// The keys of section [SERVICE] of tarvelsvc.conf and how each value is
// read; used by LoadServiceSettings.
#pragma once

#include <string>

#include "config/ServiceSettings.h"

enum class SettingResult { Applied, UnknownKey, BadValue };

// Sets the member of settings that key names from value (blanks around it
// already removed). On BadValue, reason says what is wrong ("KEY: ...");
// settings is unchanged then and for an unknown key.
SettingResult ApplyServiceSetting(const std::string& key, const std::string& value,
                                  ServiceSettings& settings, std::string& reason);
