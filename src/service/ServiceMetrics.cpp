#include "service/ServiceMetrics.h"

#include "appserver/RecordViews.h"
#include "config/TarvelEnv.h"

std::string ServiceMetricsText(const CAppServerManager& manager, const ReloadCounts& counts)
{
    ServiceMetrics service;
    service.version = TARVELSVC_VERSION;
    service.installation = CTarvelEnv::baseDir();
    service.reloads = counts.reloads;
    service.reloadFailures = counts.failures;
    if (const NotifySocket* socket = manager.notifySocket()) {
        service.notifySocket = true;
        service.droppedForeign = socket->drops().foreign;
        service.droppedUnknown = socket->drops().unknown;
        service.droppedMalformed = socket->drops().malformed;
    }
    for (ServerState state : kServerStates)
        service.stateNames.push_back(ServerStateName(state));
    if (manager.trees() != nullptr)
        service.containment = manager.trees()->modeName();
    std::vector<ServerMetrics> servers;
    servers.reserve(manager.processes().size());
    for (const AppServerProcess& record : manager.processes())
        servers.push_back(MetricsOf(record));
    return RenderMetrics(service, servers, ReadProcessMetrics()) + ServiceUpText(true);
}

std::string ServiceUpText(bool up)
{
    return std::string("# HELP tarvel_service_up 1 when the service answered, 0 when none runs.\n"
                       "# TYPE tarvel_service_up gauge\n"
                       "tarvel_service_up ") +
           (up ? "1\n" : "0\n");
}
