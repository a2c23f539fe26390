// The keys of [SERVICE] about a server's whole process tree: how it is
// contained, how long its stop may take, how often its usage is read and
// the memory it may use.
#pragma once

#include <cstdint>
#include <string>

#include "config/ServiceSettings.h"
#include "config/ServiceSettingsValues.h"

// As ApplyServiceSetting, for CONTAINMENT, STOP_TIMEOUT, KILL_TIMEOUT,
// ACCOUNTING_INTERVAL, MEMORY_LIMIT and MEMORY_LIMIT_CHECKS.
SettingResult ApplyContainmentSetting(const std::string& key, const std::string& value,
                                      ServiceSettings& settings, std::string& reason);

// A size as MEMORY_LIMIT takes it into bytes: a whole number directly
// followed by K, M, G or T (powers of 1024, either case), from 1M to 16T;
// "none" or empty is 0 (no limit). False for anything else (bytes unchanged):
// a number without a unit is refused, as "768" meant as megabytes would
// recycle every server.
bool ReadMemorySize(const std::string& text, std::uint64_t& bytes);

// The text of a containment mode: "auto", "cgroup" or "session".
const char* ContainmentName(Containment containment);
