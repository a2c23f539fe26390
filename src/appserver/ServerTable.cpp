// The table of application servers of this host, from WebInterface.conf,
// ServerConfig.xml and the manager's address list.
#include <malloc.h>

#include <cctype>
#include <string>

#include "appserver/AppServerManager.h"
#include "config/ConfigFile.h"
#include "config/TarvelEnv.h"
#include "config/XMLConfig.h"
#include "foundation/Exceptions.h"

namespace {

// AppServer_<address>_<port>.log in `dir`. A host text is a name or an
// address; anything else in it (a "/" above all) must not make the file
// land elsewhere.
std::string ServerOutputFile(const std::string& dir, const AppServerProcess& process)
{
    std::string host = process.mHost;
    for (char& c : host)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' &&
            c != '_')
            c = '_';
    return dir + "/AppServer_" + host + "_" + std::to_string(process.mPort) + ".log";
}

}  // namespace

void CAppServerManager::buildTables()
{
    if (mIPListPending) {
        mIPListPending = false;
        setIPList(mIPListNull ? nullptr : mIPListText.c_str());
    }

    mProcesses = loadTable();
    for (auto& record : mProcesses)
        record.mId = mNextId++;
}

std::vector<AppServerProcess> CAppServerManager::loadTable(bool strict) const
{
    std::vector<AppServerProcess> table;
    std::string options;
    {
        CConfig config(CTarvelConfig::webInterfaceConfigFile().c_str(), strict);
        try {
            options = config.getString("GLOBAL", "OPTIONS");
        } catch (CWIException&) {
            // No interpreter options configured.
        }
    }

    {
        XMLConfig::CConfigFile serverConfig;
        serverConfig.loadFile(XMLConfig::CConfigFile::defaultFileName());
        serverConfig.getPooledAppServers(mIPList, [&](const std::string& pool,
                                                      const std::string& host,
                                                      unsigned short port, bool bind) {
            table.emplace_back(mBaseDir, options, host, port, bind ? 1 : 0);
            table.back().mPool = pool;
        });
    }
    // The model is gone, but the C library would keep its pages for the life
    // of the service: tens of megabytes on every host of a large landscape.
    malloc_trim(0);

    if (table.empty()) {
        std::string message = "CAppServerManagerImpl::buildTables(): no service configured for IP";
        if (mIPList.size() >= 2)
            message += "'s";
        message += ":";
        for (const auto& ip : mIPList)
            message += " " + ip;
        throw CWIException(ERROR_GENERAL, "%s", message.c_str());
    }
    for (auto& process : table) {
        if (!mServerOutputDir.empty())
            process.mOutputFile = ServerOutputFile(mServerOutputDir, process);
        process.mTarget = ProbeTarget::For(process.mHost, process.mPort);
        configure(process);
    }
    return table;
}
