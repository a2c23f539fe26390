// The status page of the running service, as the metrics endpoint serves it
// at "/": the table's servers grouped by pool, and the service itself.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "appserver/ServerStatus.h"
#include "endpoints/MetricsEndpoint.h"
#include "service/ServerControl.h"

// Returns the page of `servers` (grouped by pool) at wall time `now`.
std::string ServiceStatusPageText(const std::vector<ServerStatus>& servers, time_t now);

// The endpoint's pages: the metrics at /metrics, this page at / and
// -servers -json's text at /servers.json, rendered from `control`, which
// must outlive them. The endpoint renders each at most once a second: the
// page reloads itself in every browser that shows it.
std::vector<CMetricsEndpoint::Page> ServicePages(const CServerControl& control);
