// A plain snapshot of one application server as the control channel reports
// it, and the two forms in which -servers shows a table of them: aligned
// text lines and a JSON array.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <string>
#include <vector>

#include "appserver/TreeContainment.h"
#include "foundation/HostPort.h"

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

// "HH:MM:SS" (or "Nd HH:MM:SS") for a number of seconds.
std::string FormatUptime(long seconds);

// `servers` ordered by pool name, each pool's servers in their given order:
// how -servers and the status page group them.
void GroupByPool(std::vector<ServerStatus>& servers);

// One line per server, in the given order, each column padded to the widest
// entry, each line ended by '\n'. A throttled server's state reads
// "throttled until HH:MM:SS". The pool column follows the address; a server
// that said it stops ends with "stopping notified", one that sent a
// STATUS= with `status: "<text>"`.
std::string FormatServerTable(const std::vector<ServerStatus>& servers);
// A JSON array of objects with the keys address, port, pid, state,
// throttled_until, uptime_s, restarts, last_end, last_end_time, ready,
// ready_s, probe_failures, pool (left out when the server has none), with
// contained trees containment, processes, memory_bytes and cpu_seconds,
// and, for a server that gets the notification socket, stopping_notified
// and status_text (null when none); one object per line.
std::string FormatServerJson(const std::vector<ServerStatus>& servers);
// `text` as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);
