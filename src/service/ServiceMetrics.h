// The service's metrics as the control channel and the metrics endpoint
// give them: the table's records, the reload counts and the process.
#pragma once

#include <string>

#include "appserver/AppServerManager.h"

struct ReloadCounts {
    unsigned long reloads = 0;   // reloads that applied a new configuration
    unsigned long failures = 0;  // reloads refused, or stopped at a server that did not serve
};

// The exposition (Prometheus text format 0.0.4) of `manager`'s table now,
// ending with tarvel_service_up 1.
std::string ServiceMetricsText(const CAppServerManager& manager, const ReloadCounts& counts);

// The family tarvel_service_up alone, 1 or 0: what -metrics prints when no
// service runs, so that a file written from it says so.
std::string ServiceUpText(bool up);
