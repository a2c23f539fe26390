// The installation as the environment describes it. The service has no
// other source for its directories: every accessor reads the environment
// again, so nothing here can go stale.
#pragma once

#include <string>
#include <vector>

#include "baselib/kx_status.h"

class CTarvelEnv {
public:
    // The directory named by the variable, without one trailing "/" or "\"
    // (values of up to 2 characters are kept, so "/" and "//" survive).
    // Throws CWIException (status 1) when the variable is not set.
    static std::string getEnvDir(const char* name);

    static std::string baseDir();         // TARVEL
    static std::string cartridgesDir();   // TARVEL_CARTRIDGES
    static std::string perlDir();         // TARVEL_PERL
    static std::string webRootDir();      // TARVEL_WEBROOT
    static std::string configDir();       // TARVEL_CONFIG
    static std::string logDir();          // TARVEL_LOG

    // The words of TARVEL_IPLIST (separated by blanks, tabs and commas).
    // Throws CWIException (status 1) when the variable is not set.
    static std::vector<std::string> ipList();
    // TARVEL_IPLIST as written. Throws CWIException (status 1) when not set.
    static std::string ipListText();

    // TARVEL_IPBINDING is "1" or "true" in any letter case; never throws.
    static bool ipBinding();
};

class CTarvelConfig {
public:
    // configDir() + "/WebInterface.conf"
    static std::string webInterfaceConfigFile();
};

// Copies configDir() + "/Database.d/" + name + ".conf" into buffer (size
// bytes, terminating zero included). Returns ERROR_NONE, ERROR_BUFFER_SIZE
// when the path does not fit (buffer untouched), or the status of the
// exception that stopped it (logged). Never throws.
extern "C" KXStatus KX4GetDatabaseConfigFile(char* buffer, const char* name, unsigned size);
