// The manager through which the service drives every application server of
// this host: the list of local addresses, the process table built from the
// configuration, and the operations that start, watch and stop the servers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "appserver/AppServerProcess.h"

class CAppServerManagerImpl {
public:
    // Reads the base directory; throws when TARVEL is not set.
    CAppServerManagerImpl();

    // Fills mProcesses from WebInterface.conf, ServerConfig.xml and mIPList.
    void buildTables();
    // One start attempt per record; never throws.
    void startServers();

    std::vector<AppServerProcess> mProcesses;
    std::vector<std::string> mIPList;
    std::string mBaseDir;
};

class CAppServerManager {
public:
    CAppServerManager();
    // Sends SIGTERM to every server still marked running.
    ~CAppServerManager();
    CAppServerManager(const CAppServerManager&) = delete;
    CAppServerManager& operator=(const CAppServerManager&) = delete;

    void setIPList(const char* list);
    void setIPList(const std::vector<std::string>& list);
    void buildTables();
    void startServers();
    void waitAndUpdateTerminated(unsigned milliseconds);
    void gentleStopServers();
    void stopServers();

    const std::vector<AppServerProcess>& processes() const { return mImpl->mProcesses; }
    const std::vector<std::string>& ipList() const { return mImpl->mIPList; }
    CAppServerManagerImpl& impl() { return *mImpl; }

private:
    std::unique_ptr<CAppServerManagerImpl> mImpl;
};
