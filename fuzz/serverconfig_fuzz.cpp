// ServerConfig.xml: parse, schema validation, model, cross-checks, then every
// query of a loaded model. A load that passes the checks must hold no port
// twice on one host; a load that fails must fail with a CException.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <utility>

#include "config/XMLConfig.h"
#include "foundation/Exceptions.h"
#include "fuzz_support.h"

namespace {

using XMLConfig::CConfigFile;

// Beyond this many ports the uniqueness oracle would cost more than the load.
const std::size_t kOracleLimit = 200000;

void queryModel(const CConfigFile& file)
{
    const XMLConfig::Config& config = *file.config();
    std::set<std::pair<std::string, unsigned short>> used;
    std::size_t total = 0;
    auto claim = [&](const std::string& host, unsigned short port) {
        if (++total > kOracleLimit)
            return;
        if (!used.emplace(host, port).second)
            std::abort();  // the cross-checks let a port through twice
    };

    StringVector hosts;
    for (const auto& router : config.requestRouters().routers()) {
        const XMLConfig::RequestRouter& r = *router.second;
        for (unsigned short port : {r.port(), r.monitorPort(), r.mcPort()})
            if (port != 0)
                claim(r.host(), port);
        file.getRequestRouter(r.name());
        file.getMonitor(r.name());
        try {
            file.getMessageCenter(r.name());
        } catch (const CException&) {
            if (r.mcPort() != 0)
                std::abort();
        }
    }
    for (const auto& pool : config.pools().pools()) {
        file.getRequestRoutersByPoolName(pool.first);
        for (const auto& server : pool.second->appServers().servers())
            hosts.push_back(server.second->host());
    }
    std::size_t ports = 0;
    file.getAppServers(hosts, [&](const std::string& host, unsigned short port, bool) {
        ++ports;
        claim(host, port);
    });
    for (const XMLConfig::IPEndpoint& endpoint : config.cacheServers().endpoints()) {
        claim(endpoint.host, endpoint.port);
        file.isASPoolDBCacheEnabled(endpoint);
    }
    file.getRequestRouters();
    file.getMonitors();
    file.getMessageCenters();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::setUp();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    CConfigFile file;
    try {
        file.parse(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const CException&) {
        return 0;
    }
    queryModel(file);
    return 0;
}
