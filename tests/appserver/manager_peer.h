// The tests' one way into the manager's table: records are added and put
// into states by hand here, where a real run would need a configuration or
// a history.
#pragma once

#include <string>
#include <vector>

#include "appserver/AppServerManager.h"
#include "common/installation.h"

struct ManagerTestPeer {
    static std::vector<AppServerProcess>& records(CAppServerManager& manager)
    {
        return manager.mProcesses;
    }
};

// An empty WebInterface.conf, servers on `ports` of 127.0.0.1, and the
// manager's table built from them.
inline void BuildLocalTable(const testutil::Installation& inst, CAppServerManager& manager,
                            const std::string& ports)
{
    inst.writeWebInterfaceConf("[GLOBAL]\n");
    inst.writeServerConfig({"<appserver host=\"127.0.0.1\" ports=\"" + ports + "\"/>"});
    manager.setIPList(std::vector<std::string>{"127.0.0.1"});
    manager.buildTables();
}
