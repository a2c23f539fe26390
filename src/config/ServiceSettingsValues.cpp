#include "config/ServiceSettingsValues.h"

#include <cstring>

#include "config/ServiceSettingsContainment.h"
#include "foundation/Printable.h"

namespace {

// A whole number of decimal digits from min to max; no sign, no unit.
bool ReadBounded(const std::string& text, int min, int max, int& value)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int number = std::stoi(text);
    if (number < min || number > max)
        return false;
    value = number;
    return true;
}

std::string Quoted(const std::string& value)
{
    return "'" + PrintableExcerpt(value) + "'";
}

SettingResult Seconds(const std::string& key, const std::string& value, int max, int& member,
                      std::string& reason)
{
    if (ReadBounded(value, 1, max, member))
        return SettingResult::Applied;
    reason = key + ": " + Quoted(value) + " is not a whole number of seconds from 1 to " +
             std::to_string(max);
    return SettingResult::BadValue;
}

// An HTTP request target the probe can send as it is: no blank, no control
// character, nothing beyond ASCII.
bool IsProbePath(const std::string& path)
{
    if (path.empty() || path[0] != '/' || path.size() > ServiceSettings::kMaxLivenessPath)
        return false;
    for (char c : path)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    return true;
}

SettingResult Listen(const std::string& value, ServiceSettings& settings, std::string& reason)
{
    // The endpoint is bound at start, where a name lookup has no place: the
    // address is numeric, and parsed here once.
    std::string unused;
    if (value.empty()) {
        settings.metricsListen = ListenAddress();
        return SettingResult::Applied;
    }
    if (ParseListenAddress(value, settings.metricsListen, unused))
        return SettingResult::Applied;
    reason = "METRICS_LISTEN: " + Quoted(value) +
             " is not ADDRESS:PORT (a numeric IPv4 address or an IPv6 address in brackets, "
             "and a port from 1 to 65535), nor empty";
    return SettingResult::BadValue;
}

template <class Kind, std::size_t N>
SettingResult Choice(const std::string& key, const std::string& value,
                     const std::pair<const char*, Kind> (&choices)[N], Kind& member,
                     std::string& reason)
{
    std::string names;
    for (const auto& choice : choices) {
        if (value == choice.first) {
            member = choice.second;
            return SettingResult::Applied;
        }
        names += std::string(names.empty() ? "" : ", ") + choice.first;
    }
    reason = key + ": " + Quoted(value) + " is none of " + names;
    return SettingResult::BadValue;
}

const std::pair<const char*, ReadinessProbe> kReadiness[] = {
    {"tcp", ReadinessProbe::Tcp},
    {"none", ReadinessProbe::None},
    {"notify", ReadinessProbe::Notify},
    {"tcp+notify", ReadinessProbe::TcpNotify},
};

const std::pair<const char*, LivenessProbe> kLiveness[] = {
    {"none", LivenessProbe::None},
    {"tcp", LivenessProbe::Tcp},
    {"http", LivenessProbe::Http},
    {"watchdog", LivenessProbe::Watchdog},
};

}  // namespace

SettingResult ApplyServiceSetting(const std::string& key, const std::string& value,
                                  ServiceSettings& settings, std::string& reason)
{
    using S = ServiceSettings;
    if (key == "START_TIMEOUT")
        return Seconds(key, value, S::kMaxStartTimeout, settings.startTimeout, reason);
    if (key == "READINESS")
        return Choice(key, value, kReadiness, settings.readiness, reason);
    if (key == "LIVENESS")
        return Choice(key, value, kLiveness, settings.liveness, reason);
    if (key == "LIVENESS_PATH") {
        if (IsProbePath(value)) {
            settings.livenessPath = value;
            return SettingResult::Applied;
        }
        reason = "LIVENESS_PATH: " + Quoted(value) +
                 " does not start with '/', or holds a blank or a character outside printable "
                 "ASCII, or is longer than " +
                 std::to_string(S::kMaxLivenessPath) + " characters";
        return SettingResult::BadValue;
    }
    if (key == "LIVENESS_INTERVAL")
        return Seconds(key, value, S::kMaxLivenessInterval, settings.livenessInterval, reason);
    if (key == "LIVENESS_TIMEOUT")
        return Seconds(key, value, S::kMaxLivenessTimeout, settings.livenessTimeout, reason);
    if (key == "LIVENESS_FAILURES") {
        if (ReadBounded(value, 1, S::kMaxLivenessFailures, settings.livenessFailures))
            return SettingResult::Applied;
        reason = "LIVENESS_FAILURES: " + Quoted(value) + " is not a whole number from 1 to " +
                 std::to_string(S::kMaxLivenessFailures);
        return SettingResult::BadValue;
    }
    if (key == "METRICS_LISTEN")
        return Listen(value, settings, reason);
    return ApplyContainmentSetting(key, value, settings, reason);
}

bool ReadSettingNumber(const std::string& text, int min, int max, int& value)
{
    return ReadBounded(text, min, max, value);
}

std::string QuotedSetting(const std::string& value)
{
    return Quoted(value);
}
