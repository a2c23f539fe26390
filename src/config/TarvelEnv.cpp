#include "config/TarvelEnv.h"

#include <strings.h>

#include <cstring>

#include "foundation/EnvVars.h"
#include "foundation/Log.h"
#include "foundation/SplitWords.h"

std::string CTarvelEnv::getEnvDir(const char* name)
{
    std::string dir = CEnvVars::get(name);
    // Short values are left alone so that a root directory ("/", "//", or a
    // drive-like "C\") is never turned into something else.
    if (dir.size() > 2 && (dir.back() == '/' || dir.back() == '\\'))
        dir.pop_back();
    return dir;
}

std::string CTarvelEnv::baseDir() { return getEnvDir("TARVEL"); }
std::string CTarvelEnv::cartridgesDir() { return getEnvDir("TARVEL_CARTRIDGES"); }
std::string CTarvelEnv::perlDir() { return getEnvDir("TARVEL_PERL"); }
std::string CTarvelEnv::webRootDir() { return getEnvDir("TARVEL_WEBROOT"); }
std::string CTarvelEnv::configDir() { return getEnvDir("TARVEL_CONFIG"); }
std::string CTarvelEnv::logDir() { return getEnvDir("TARVEL_LOG"); }

std::vector<std::string> CTarvelEnv::ipList()
{
    return SplitWords(ipListText(), " \t,");
}

std::string CTarvelEnv::ipListText()
{
    return CEnvVars::get("TARVEL_IPLIST");
}

bool CTarvelEnv::ipBinding()
{
    std::string value;
    try {
        value = CEnvVars::get("TARVEL_IPBINDING");
    } catch (...) {
        return false;
    }
    return value == "1" || strcasecmp(value.c_str(), "TRUE") == 0;
}

std::string CTarvelConfig::webInterfaceConfigFile()
{
    return CTarvelEnv::configDir() + "/WebInterface.conf";
}

extern "C" KXStatus KX4GetDatabaseConfigFile(char* buffer, const char* name, unsigned size)
{
    if (buffer == nullptr || name == nullptr) {
        KXLogWrite(CLog::_pKXLog, "KX4GetDatabaseConfigFile(): wrong arguments passed to procedure");
        return ERROR_PARAMETER;
    }
    std::string path;
    const KXStatus status = CatchWIException("KX4GetDatabaseConfigFile", [&] {
        path = CTarvelEnv::configDir() + "/Database.d/" + name + ".conf";
    });
    if (status != ERROR_NONE)
        return status;
    if (size <= path.size())
        return ERROR_BUFFER_SIZE;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return ERROR_NONE;
}
