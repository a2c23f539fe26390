// The table of application servers of this host, from WebInterface.conf,
// ServerConfig.xml and the manager's address list.
#include <string>

#include "appserver/AppServerManager.h"
#include "config/ConfigFile.h"
#include "config/TarvelEnv.h"
#include "config/XMLConfig.h"
#include "foundation/Exceptions.h"
#include "servicectl/Signals.h"

void CAppServerManager::buildTables()
{
    // Before the first child: none may end unseen.
    if (servicectl::SignalDescriptor() < 0)
        servicectl::WatchSignals();

    std::string options;
    {
        CConfig config(CTarvelConfig::webInterfaceConfigFile().c_str());
        try {
            options = config.getString("GLOBAL", "OPTIONS");
        } catch (CWIException&) {
            // No interpreter options configured.
        }
    }

    XMLConfig::CConfigFile serverConfig;
    serverConfig.loadFile(XMLConfig::CConfigFile::defaultFileName());
    serverConfig.getAppServers(
        mIPList, [&](const std::string& host, unsigned short port, bool bind) {
            mProcesses.emplace_back(mBaseDir, options, host, port, bind ? 1 : 0);
        });

    if (mProcesses.empty()) {
        std::string message = "CAppServerManagerImpl::buildTables(): no service configured for IP";
        if (mIPList.size() >= 2)
            message += "'s";
        message += ":";
        for (const auto& ip : mIPList)
            message += " " + ip;
        throw CWIException(ERROR_GENERAL, "%s", message.c_str());
    }
}
