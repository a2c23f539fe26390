// What a reload changes: the table that runs against the one the
// configuration gives now, compared by address and port.
#pragma once

#include <string>
#include <vector>

#include "appserver/AppServerProcess.h"

struct ReloadPlan {
    struct Change {
        std::string host;
        unsigned short port;
        std::string command;  // the new command line
    };
    std::vector<AppServerProcess> added;   // in the new table's order
    std::vector<Change> changed;           // command line differs, in the new table's order
    std::vector<Change> removed;           // in the running table's order (command: the old one)
    unsigned unchanged = 0;
};

// The plan that turns `running` into `fresh`. A record that a stop is
// already removing counts as changed when `fresh` has it again.
ReloadPlan PlanReload(const std::vector<AppServerProcess>& running,
                      const std::vector<AppServerProcess>& fresh);
