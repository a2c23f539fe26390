// The tests' (and the stop benchmark's) one way into the manager's table:
// records are added and put into states by hand here, where a real run would
// need a configuration or a history.
#pragma once

#include <string>
#include <vector>

#include "appserver/AppServerManager.h"

struct ManagerTestPeer {
    static std::vector<AppServerProcess>& records(CAppServerManager& manager)
    {
        return manager.mProcesses;
    }
};
