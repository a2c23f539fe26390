// The read-only HTML page of this host's service that the metrics endpoint
// serves at "/": its servers grouped by pool, each state in colour and in
// words, and the service's version, containment and start time.
//
// The page carries everything it shows: no script, no external asset, and a
// Content-Security-Policy that lets the browser load nothing else, so that a
// pool or host name cannot make it do more than show text. It reloads itself
// every 5 s (meta refresh). Rendering takes plain values, like the metrics.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "service/ServerStatus.h"

// The Content-Type of the page.
constexpr const char* kStatusPageContentType = "text/html; charset=utf-8";

// The service as the page shows it.
struct StatusPageService {
    std::string host;         // this host's name
    std::string version;
    std::string containment;  // empty: not known ("-")
    time_t startTime = 0;     // when the service started; 0: not known
};

// One server: its status and the figures of its process tree, < 0 while
// they are not known ("-").
struct StatusPageServer {
    ServerStatus status;
    double memoryBytes = -1;
    double cpuSeconds = -1;
};

// Returns the whole page at wall time `now`; the servers are shown in the
// order given, a pool heading before each run of one pool (GroupByPool
// makes one run per pool).
std::string RenderStatusPage(const StatusPageService& service, const std::vector<StatusPageServer>& servers,
                             time_t now);

// Returns `text` safe inside HTML text and quoted attribute values: & < > "
// and ' as references, other control characters dropped.
std::string EscapeHtml(const std::string& text);
