#include "config/ConfigFile.h"

#include <netinet/in.h>

#include <unordered_map>
#include <utility>

#include "foundation/Exceptions.h"
#include "foundation/HostAddr.h"
#include "foundation/Log.h"
#include "foundation/Printable.h"

namespace {

// Kinds of the sections known by name; filled by the first CConfigFile.
std::unordered_map<std::string, SectionType> SectionTypes;

// Every key name accepted in any section, with its kind, searched in order.
const std::pair<const char*, KeyType> VALID_GLOBAL_KEYS[] = {
    {"MAXREQUEST", KEY_INT},
    {"TIMEOUT", KEY_INT},
    {"RETRIES", KEY_INT},
    {"MAXCONTENTLENGTH", KEY_INT},
    {"MAXMEMORY", KEY_INT},
    {"MAXUPTIME", KEY_INT},
    {"PRIORITY", KEY_INT},
    {"MONITOR_PRIORITY", KEY_INT},
    {"MANUAL_MONITOR_PRIORITY", KEY_INT},
    {"COOKIES", KEY_STRING},
    {"KEEPALIVE", KEY_BOOL},
    {"OPTIONS", KEY_STRING},
    {"MONITOR_TIMEOUT", KEY_INT},
    {"AUTORECOMPILE", KEY_BOOL},
    {"FREEREQUESTPERIOD", KEY_INT},
    {"GLOBAL", KEY_SECTION},
    {"WA-DEBUG", KEY_SECTION},
    {"URLRewrite", KEY_SECTION},
};

// Defaults and ranges of the integer keys of GLOBAL; filled by the first CConfig.
std::unordered_map<std::string, ConfigDefault<int>> DefaultIntValues;

const char LIST_SEPARATORS[] = " ,\n\t";
const char PATTERN_CHARACTERS[] = "0123456789abcdefABCDEF.:*";
const char GLOBAL_SECTION[] = "GLOBAL";
const char URLREWRITE_SECTION[] = "URLRewrite";

bool isGlobalSectionKey(const std::string& key)
{
    // Function-static so that it is built once, also under concurrent first calls.
    static const std::string GLOBAL_KEYS[] = {
        "MAXREQUEST", "TIMEOUT", "RETRIES", "KEEPALIVE", "MAXCONTENTLENGTH",
        "MAXMEMORY", "MAXUPTIME", "PRIORITY", "MONITOR_PRIORITY", "MANUAL_MONITOR_PRIORITY",
        "COOKIES", "FREEREQUESTPERIOD", "AUTORECOMPILE", "MONITOR_TIMEOUT", "OPTIONS",
    };
    for (const std::string& name : GLOBAL_KEYS)
        if (name == key)
            return true;
    return false;
}

}  // namespace

CConfigFile::CConfigFile(const char* path, bool strict) : mIniFile(path), mStrict(strict)
{
    if (SectionTypes.empty()) {
        SectionTypes["GLOBAL"] = SECTION_GLOBAL;
        SectionTypes["URLRewrite"] = SECTION_URLREWRITE;
        SectionTypes["WA-DEBUG"] = SECTION_IGNORED;
    }
    if (strict)
        checkStrictly();
    else
        checkConfig();
}

void CConfigFile::checkStrictly() const
{
    int line = 0;
    std::string reason;
    mIniFile.firstRefusedLine(line, reason);
    auto keep = [&](int at, const std::string& why) {
        if (line == 0 || at < line) {
            line = at;
            reason = why;
        }
    };
    for (const std::string& section : mIniFile.getSections()) {
        if (determineSectionType(section) == SECTION_UNKNOWN)
            keep(mIniFile.lineOf(section),
                 "unknown section [" + PrintableExcerpt(section) + "]");
        if (section == URLREWRITE_SECTION)
            continue;
        for (const std::string& key : mIniFile.getKeys(section))
            if (determineKeyType(section, key) == KEY_UNKNOWN)
                keep(mIniFile.lineOf(section, key.c_str()),
                     "unknown key '" + PrintableExcerpt(key) + "' in section [" +
                         PrintableExcerpt(section) + "]");
    }
    if (line != 0)
        mIniFile.throwAtLine(line, reason);
}

void CConfigFile::checkConfig() const
{
    for (const std::string& section : mIniFile.getSections()) {
        // URL rewriting rules have free-form keys.
        if (section == URLREWRITE_SECTION)
            continue;
        for (const std::string& key : mIniFile.getKeys(section))
            if (determineKeyType(section, key) == KEY_UNKNOWN)
                KXLogWrite(CLog::_pKXLog, "CConfigFile::checkConfig(): unknown key '%s' in section [%s]",
                           key.c_str(), section.c_str());
    }
}

KeyType CConfigFile::determineKeyType(const std::string& /*section*/, const std::string& key) const
{
    for (const auto& entry : VALID_GLOBAL_KEYS)
        if (key == entry.first)
            return entry.second;
    return KEY_UNKNOWN;
}

SectionType CConfigFile::determineSectionType(const std::string& section) const
{
    auto known = SectionTypes.find(section);
    if (known != SectionTypes.end())
        return known->second;
    if (section.find('*') != std::string::npos &&
        section.find_first_not_of(PATTERN_CHARACTERS) == std::string::npos)
        return SECTION_ADDRESS_PATTERN;
    try {
        CResolveHostName resolved(section.c_str(), 0, IPPROTO_TCP);
        return SECTION_HOST;
    } catch (const CSocketException&) {
        return SECTION_UNKNOWN;
    }
}

CConfig::CConfig(const char* path, bool strict) : CConfigFile(path, strict)
{
    if (DefaultIntValues.empty()) {
        DefaultIntValues["MAXREQUEST"] = {10000, 0, 2147483647};
        DefaultIntValues["TIMEOUT"] = {150, 1, 2147483647};
        DefaultIntValues["RETRIES"] = {150, 1, 2147483647};
        DefaultIntValues["KEEPALIVE"] = {1, 0, 1};
        DefaultIntValues["MAXCONTENTLENGTH"] = {0, 0, 2147483647};
        DefaultIntValues["MAXMEMORY"] = {0, 0, 2147483647};
        DefaultIntValues["MAXUPTIME"] = {0, 0, 2147483647};
        DefaultIntValues["FREEREQUESTPERIOD"] = {5, 0, 2147483647};
    }
    parseConfig();
}

void CConfig::parseConfig()
{
    // A strict read has refused unknown sections already.
    if (mStrict)
        return;
    for (const std::string& section : mIniFile.getSections())
        if (determineSectionType(section) == SECTION_UNKNOWN)
            KXLogWrite(CLog::_pKXLog, "CConfigFile::parseConfig(): ignoring unknown section [%s]",
                       section.c_str());
}

int CConfig::getInt(const std::string& section, const std::string& key) const
{
    const ConfigDefault<int>* limits = nullptr;
    if (section == GLOBAL_SECTION) {
        if (!isGlobalSectionKey(key))
            throw CWIException(ERROR_PARAMETER,
                               "CConfig::getInt(): key '%s' is not allowed in section [%s]",
                               key.c_str(), GLOBAL_SECTION);
        auto found = DefaultIntValues.find(key);
        if (found != DefaultIntValues.end())
            limits = &found->second;
    }

    int value;
    try {
        value = mIniFile.getInt(section.c_str(), key.c_str());
    } catch (const CWIException&) {
        // A missing or malformed value of a key with a default quietly
        // takes the default.
        if (limits == nullptr)
            throw;
        value = limits->defaultValue;
    }
    if (limits == nullptr)
        return value;
    if (value < limits->minValue || value > limits->maxValue)
        throw CWIException(ERROR_GENERAL,
                           "CConfig::getInt(): value [%s] '%s' == %d is out of range (%d .. %d)",
                           section.c_str(), key.c_str(), value, limits->minValue,
                           limits->maxValue);
    return value;
}

std::string CConfig::getString(const std::string& section, const std::string& key) const
{
    return mIniFile.getString(section.c_str(), key.c_str());
}

bool CConfig::getBoolean(const std::string& section, const std::string& key) const
{
    return mIniFile.getBoolean(section.c_str(), key.c_str());
}

std::vector<int> CConfig::getIntList(const std::string& section, const std::string& key) const
{
    return mIniFile.getIntList(section.c_str(), key.c_str(), LIST_SEPARATORS);
}

std::vector<std::string> CConfig::getStringList(const std::string& section,
                                                const std::string& key) const
{
    return mIniFile.getStringList(section.c_str(), key.c_str(), LIST_SEPARATORS);
}
