#include "config/ServiceSettings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <utility>

#include "config/ServiceSettingsValues.h"
#include "config/TarvelEnv.h"
#include "foundation/IniFile.h"
#include "foundation/Printable.h"

namespace {

const char kSection[] = "SERVICE";

// The lowest numbered line with a problem: the one an operator fixes first.
class FirstProblem {
public:
    void keep(int line, const std::string& reason)
    {
        if (mLine == 0 || line < mLine) {
            mLine = line;
            mReason = reason;
        }
    }
    void throwIfAny(const CIniFile& file) const
    {
        if (mLine != 0)
            file.throwAtLine(mLine, mReason);
    }

private:
    int mLine = 0;
    std::string mReason;
};

std::string TrimBlanks(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Keys as written may carry blanks around the name ("KEY = value"); the
// reader keeps them, so "KEY=1" and "KEY =2" are two of its keys but one of
// ours. Returns the line of each name given.
std::map<std::string, int> ApplyKeys(const CIniFile& file, ServiceSettings& settings,
                                     FirstProblem& problems)
{
    std::map<std::string, int> lines;
    for (const std::string& raw : file.getKeys(kSection)) {
        const std::string key = TrimBlanks(raw);
        const int line = file.lineOf(kSection, raw.c_str());
        auto known = lines.emplace(key, line);
        if (!known.second) {
            problems.keep(std::max(line, known.first->second),
                          "repeated key: " + PrintableExcerpt(key));
            continue;
        }
        std::string reason;
        const std::string value = TrimBlanks(file.getString(kSection, raw.c_str()));
        switch (ApplyServiceSetting(key, value, settings, reason)) {
        case SettingResult::Applied:
            break;
        case SettingResult::UnknownKey:
            problems.keep(line, "unknown key '" + PrintableExcerpt(key) + "' in section [" +
                                    kSection + "]");
            break;
        case SettingResult::BadValue:
            problems.keep(line, reason);
            break;
        }
    }
    return lines;
}

// A probe that may take longer than the pause between two probes would
// overlap the next one. A watchdog makes no probe.
void CheckTimeoutWithinInterval(const ServiceSettings& settings,
                                const std::map<std::string, int>& lines, FirstProblem& problems)
{
    if (settings.livenessTimeout <= settings.livenessInterval ||
        settings.liveness == LivenessProbe::Watchdog)
        return;
    // One of the two was given, as their defaults fit.
    auto given = lines.find("LIVENESS_TIMEOUT");
    if (given == lines.end())
        given = lines.find("LIVENESS_INTERVAL");
    const int line = given != lines.end() ? given->second : 1;
    problems.keep(line, "LIVENESS_TIMEOUT (" + std::to_string(settings.livenessTimeout) +
                            " s) is longer than LIVENESS_INTERVAL (" +
                            std::to_string(settings.livenessInterval) + " s)");
}

}  // namespace

bool ServiceSettings::operator==(const ServiceSettings& other) const
{
    return startTimeout == other.startTimeout && readiness == other.readiness &&
           liveness == other.liveness && livenessPath == other.livenessPath &&
           livenessInterval == other.livenessInterval &&
           livenessTimeout == other.livenessTimeout &&
           livenessFailures == other.livenessFailures && metricsListen == other.metricsListen &&
           containment == other.containment && stopTimeout == other.stopTimeout &&
           killTimeout == other.killTimeout && accountingInterval == other.accountingInterval &&
           memoryLimit == other.memoryLimit && memoryLimitChecks == other.memoryLimitChecks;
}

std::string ServiceSettingsFile()
{
    return CTarvelEnv::configDir() + "/tarvelsvc.conf";
}

ServiceSettings LoadServiceSettings(const std::string& path)
{
    ServiceSettings settings;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0 && errno == ENOENT)
        return settings;

    CIniFile file(path.c_str());
    FirstProblem problems;
    int line = 0;
    std::string reason;
    if (file.firstRefusedLine(line, reason))
        problems.keep(line, reason);
    bool hasSection = false;
    for (const std::string& section : file.getSections()) {
        if (section == kSection)
            hasSection = true;
        else
            problems.keep(file.lineOf(section), "unknown section [" + PrintableExcerpt(section) + "]");
    }
    if (hasSection) {
        std::map<std::string, int> lines = ApplyKeys(file, settings, problems);
        CheckTimeoutWithinInterval(settings, lines, problems);
    }
    problems.throwIfAny(file);
    return settings;
}
