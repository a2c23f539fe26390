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

// A whole number of decimal digits from min to max into value (unchanged
// when false); no sign, no unit.
bool ReadSettingNumber(const std::string& text, int min, int max, int& value);

// value in single quotes, cut and made printable, for a reason.
std::string QuotedSetting(const std::string& value);
