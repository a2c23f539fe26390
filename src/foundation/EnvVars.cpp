#include "foundation/EnvVars.h"

#include <cstdlib>

#include "foundation/Exceptions.h"

std::string CEnvVars::get(const char* name)
{
    if (name == nullptr)
        throw CWIException(ERROR_PARAMETER, "CEnvVars::get(): no varName supplied");
    const char* value = getenv(name);
    if (value == nullptr)
        throw CWIException(ERROR_GENERAL, "Environment variable '%s' not found", name);
    return value;
}

void CEnvVars::set(const std::string& name, const std::string& value)
{
    if (name.empty())
        throw CWIException(ERROR_PARAMETER, "CEnvVars::set(): no varName supplied");
    setenv(name.c_str(), value.c_str(), 1);
}

void CEnvVars::unset(const std::string& name)
{
    unsetenv(name.c_str());
}

CScopedEnvChange::CScopedEnvChange(const std::string& name, const std::string& value, bool append)
    : mName(name)
{
    try {
        mOldValue = CEnvVars::get(mName.c_str());
        mExisted = true;
    } catch (...) {
        // Unset: restored by removing it again.
    }
    CEnvVars::set(mName, append ? mOldValue + value : value);
}

CScopedEnvChange::~CScopedEnvChange()
{
    // A variable that was set to the empty string is restored, not removed.
    if (mExisted)
        CEnvVars::set(mName, mOldValue);
    else
        CEnvVars::unset(mName);
}
