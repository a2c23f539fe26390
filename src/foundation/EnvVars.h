// Access to the process environment.
#pragma once

#include <string>

class CEnvVars {
public:
    // Throws CWIException: status 5 for a null name, status 1 when unset.
    static std::string get(const char* name);
    static void set(const std::string& name, const std::string& value);
    static void unset(const std::string& name);
};

// Changes one variable for the lifetime of a scope and restores it after.
class CScopedEnvChange {
public:
    CScopedEnvChange(const std::string& name, const std::string& value, bool append);
    ~CScopedEnvChange();
    CScopedEnvChange(const CScopedEnvChange&) = delete;
    CScopedEnvChange& operator=(const CScopedEnvChange&) = delete;

private:
    std::string mName;
    std::string mOldValue;
    bool mExisted = false;
};
