// The status page of the running service, as the metrics endpoint serves it
// at "/": the table's servers grouped by pool, and the service itself.
#pragma once

#include <time.h>

#include <string>
#include <vector>

#include "appserver/ServerStatus.h"

// Returns the page of `servers` (grouped by pool) at wall time `now`.
std::string ServiceStatusPageText(const std::vector<ServerStatus>& servers, time_t now);
