// A plain snapshot of one application server as the control channel reports
// it: the records fill it, and the service shows it (service/ServerStatus.h
// writes its two forms of -servers, service/StatusPage.h its page).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>

#include "foundation/TreeContainment.h"

struct ServerStatus {
    std::string address;       // host text from ServerConfig.xml
    unsigned short port = 0;
    pid_t pid = 0;             // 0 when no process runs
    std::string state;         // the state's name (ServerStateName)
    time_t throttledUntil = 0; // next start allowed, when throttled; else 0
    long uptimeSeconds = 0;    // since the running process was started; 0 when none
    unsigned restarts = 0;     // starts after the first since the service started
    std::string lastEnd;       // "exit 3", "signal 9"; empty when it never ended
    time_t lastEndTime = 0;    // when that end was seen; 0 when none
    bool ready = false;        // it serves
    double readySeconds = -1;  // from the last start to serving; < 0 when it does not serve
    unsigned probeFailures = 0;  // liveness probes failed in a row
    std::string pool{};        // its ServerConfig.xml pool; empty when the table names none
    std::string containment = "";  // "cgroup" or "session"; empty: trees not contained
    // The tree's last reading (processes, resident bytes, CPU seconds since its start).
    TreeFigures figures{};
    bool measured = false;     // figures were read for the running tree
    bool notifies = false;     // it gets the notification socket
    bool hasStatus = false;    // its process sent a STATUS= text
    std::string statusText{};  // that text
    bool stoppingNotified = false;  // its process sent STOPPING=1
};
