// WebInterface.conf: CConfigFile opens the file and logs unknown keys;
// CConfig adds typed access with defaults and ranges for section GLOBAL and
// logs unknown sections.
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
    // Throws the CIniFile exception when the file cannot be read.
    explicit CConfigFile(const char* path);
    CConfigFile(const CConfigFile&) = delete;
    CConfigFile& operator=(const CConfigFile&) = delete;

    void checkConfig() const;
    KeyType determineKeyType(const std::string& section, const std::string& key) const;
    SectionType determineSectionType(const std::string& section) const;

    const CIniFile& iniFile() const { return mIniFile; }

protected:
    CIniFile mIniFile;
};

class CConfig : public CConfigFile {
public:
    explicit CConfig(const char* path);

    void parseConfig();
    int getInt(const std::string& section, const std::string& key) const;
    std::string getString(const std::string& section, const std::string& key) const;
    bool getBoolean(const std::string& section, const std::string& key) const;
    std::vector<int> getIntList(const std::string& section, const std::string& key) const;
    std::vector<std::string> getStringList(const std::string& section,
                                           const std::string& key) const;
};
