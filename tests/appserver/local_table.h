// Set-up shared by the manager tests that run real servers: the table built
// from a configuration written into a test installation. Kept apart from
// manager_peer.h, which the benchmarks include without the test support.
#pragma once

#include <string>
#include <vector>

#include "appserver/AppServerManager.h"
#include "common/installation.h"

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
