#include "service/ServiceStatusPage.h"

#include <limits.h>
#include <unistd.h>

#include "endpoints/Metrics.h"
#include "endpoints/ProcessMetrics.h"
#include "service/StatusPage.h"

namespace {

std::string HostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "this host";  // the page names the host only for the reader
    return name;
}

}  // namespace

std::string ServiceStatusPageText(const std::vector<ServerStatus>& servers, time_t now)
{
    // The process's start is its service's start; read once, not at every
    // load of the page (which would list every descriptor).
    static const time_t started = static_cast<time_t>(ReadProcessMetrics().startTime);
    StatusPageService service;
    service.host = HostName();
    service.version = TARVELSVC_VERSION;
    service.startTime = started > 0 ? started : 0;
    // A tree not read (not running, or not contained) shows "-".
    std::vector<StatusPageServer> rows;
    rows.reserve(servers.size());
    for (const ServerStatus& status : servers) {
        if (service.containment.empty())
            service.containment = status.containment;
        if (status.measured)
            rows.push_back({status, static_cast<double>(status.figures.memoryBytes),
                            status.figures.cpuSeconds});
        else
            rows.push_back({status, -1, -1});
    }
    return RenderStatusPage(service, rows, now);
}

std::vector<CMetricsEndpoint::Page> ServicePages(const CServerControl& control)
{
    return {
        {"/metrics", kMetricsContentType, [&control] { return control.metrics(); }},
        {"/", kStatusPageContentType,
         // A page that refreshes itself in every open browser shows the
         // last periodic reading of the trees: its loads cost no /proc scan.
         [&control] { return ServiceStatusPageText(control.grouped(false), time(nullptr)); }},
        {"/servers.json", "application/json", [&control] { return control.serversText(true); }},
    };
}
