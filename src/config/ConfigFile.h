// WebInterface.conf: CConfigFile opens the file and logs unknown keys;
// CConfig adds typed access with defaults and ranges for section GLOBAL and
// logs unknown sections. Read strictly (as a reload does), the file is
// refused instead: a line the reader refused, an unknown key or an unknown
// section throws CWIException "<file>:<line>: <reason>" for the first one.
#pragma once

#include <string>
#include <vector>

#include "foundation/IniFile.h"

enum SectionType {
    SECTION_UNKNOWN = 0,
    SECTION_IGNORED = 1,
    SECTION_ADDRESS_PATTERN = 2,
    SECTION_HOST = 3,
    SECTION_GLOBAL = 4,
    SECTION_URLREWRITE = 5
};

enum KeyType {
    KEY_UNKNOWN = 0,
    KEY_SECTION = 1,
    KEY_INT = 2,
    KEY_BOOL = 4,
    KEY_STRING = 6
};

template <class T>
struct ConfigDefault {
    T defaultValue;
    T minValue;
    T maxValue;
};

class CConfigFile {
public:
    // Throws the CIniFile exception when the file cannot be read, and when
    // strict, the first problem of its content.
    explicit CConfigFile(const char* path, bool strict = false);
    CConfigFile(const CConfigFile&) = delete;
    CConfigFile& operator=(const CConfigFile&) = delete;

    void checkConfig() const;
    // Throws for the first (lowest numbered) line with a problem, if any.
    void checkStrictly() const;
    KeyType determineKeyType(const std::string& section, const std::string& key) const;
    SectionType determineSectionType(const std::string& section) const;

    const CIniFile& iniFile() const { return mIniFile; }

protected:
    CIniFile mIniFile;
    bool mStrict;
};

class CConfig : public CConfigFile {
public:
    explicit CConfig(const char* path, bool strict = false);

    void parseConfig();
    int getInt(const std::string& section, const std::string& key) const;
    std::string getString(const std::string& section, const std::string& key) const;
    bool getBoolean(const std::string& section, const std::string& key) const;
    std::vector<int> getIntList(const std::string& section, const std::string& key) const;
    std::vector<std::string> getStringList(const std::string& section,
                                           const std::string& key) const;
};
