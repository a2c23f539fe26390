#include "config/ServiceSettingsContainment.h"

#include <cctype>
#include <utility>

namespace {

const std::pair<const char*, Containment> kContainment[] = {
    {"auto", Containment::Auto},
    {"cgroup", Containment::Cgroup},
    {"session", Containment::Session},
};

SettingResult Bounded(const std::string& key, const std::string& value, int min, int max,
                      const char* what, int& member, std::string& reason)
{
    if (ReadSettingNumber(value, min, max, member))
        return SettingResult::Applied;
    reason = key + ": " + QuotedSetting(value) + " is not a whole number " + what + "from " +
             std::to_string(min) + " to " + std::to_string(max);
    return SettingResult::BadValue;
}

SettingResult ContainmentChoice(const std::string& value, Containment& member, std::string& reason)
{
    for (const auto& choice : kContainment) {
        if (value == choice.first) {
            member = choice.second;
            return SettingResult::Applied;
        }
    }
    reason = "CONTAINMENT: " + QuotedSetting(value) + " is none of auto, cgroup, session";
    return SettingResult::BadValue;
}

}  // namespace

bool ReadMemorySize(const std::string& text, std::uint64_t& bytes)
{
    if (text.empty() || text == "none") {
        bytes = 0;
        return true;
    }
    // 16T in kilobytes has 11 digits; the number is bounded before the shift.
    const std::size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos || digits > 11 || digits + 1 != text.size())
        return false;
    const std::string units = "KMGT";
    const std::size_t unit = units.find(static_cast<char>(std::toupper(
        static_cast<unsigned char>(text[digits]))));
    if (unit == std::string::npos)
        return false;
    const std::uint64_t number = std::stoull(text.substr(0, digits));
    if (number > (ServiceSettings::kMaxMemoryLimit >> (10 * (unit + 1))))
        return false;
    const std::uint64_t value = number << (10 * (unit + 1));
    if (value < ServiceSettings::kMinMemoryLimit)
        return false;
    bytes = value;
    return true;
}

const char* ContainmentName(Containment containment)
{
    for (const auto& choice : kContainment)
        if (choice.second == containment)
            return choice.first;
    return "auto";
}

SettingResult ApplyContainmentSetting(const std::string& key, const std::string& value,
                                      ServiceSettings& settings, std::string& reason)
{
    using S = ServiceSettings;
    if (key == "CONTAINMENT")
        return ContainmentChoice(value, settings.containment, reason);
    if (key == "STOP_TIMEOUT")
        return Bounded(key, value, 1, S::kMaxStopTimeout, "of seconds ", settings.stopTimeout, reason);
    if (key == "KILL_TIMEOUT")
        return Bounded(key, value, 1, S::kMaxKillTimeout, "of seconds ", settings.killTimeout, reason);
    if (key == "ACCOUNTING_INTERVAL")
        return Bounded(key, value, 0, S::kMaxAccountingInterval, "of seconds (0: off) ",
                       settings.accountingInterval, reason);
    if (key == "MEMORY_LIMIT_CHECKS")
        return Bounded(key, value, 1, S::kMaxMemoryLimitChecks, "", settings.memoryLimitChecks,
                       reason);
    if (key == "MEMORY_LIMIT") {
        if (ReadMemorySize(value, settings.memoryLimit))
            return SettingResult::Applied;
        reason = "MEMORY_LIMIT: " + QuotedSetting(value) +
                 " is not a size such as 768M or 2G (a whole number with K, M, G or T, from 1M "
                 "to 16T), nor none";
        return SettingResult::BadValue;
    }
    return SettingResult::UnknownKey;
}
