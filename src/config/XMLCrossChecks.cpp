// Rules that span the whole ServerConfig.xml model, checked after it is
// built: the schema judges each element by itself and cannot see them.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/XMLConfig.h"
#include "foundation/Exceptions.h"

namespace XMLConfig {

namespace {

// The ports in use on one host. Most hosts carry a handful of ports, kept in
// a short list; a host with many switches to a bit set of all 65536, so that
// even "1-65535" on many hosts stays cheap in time and memory.
class PortSet {
public:
    // False when the port was already there.
    bool insert(unsigned short port)
    {
        if (mBits)
            return setBit(port);
        for (unsigned short used : mFew)
            if (used == port)
                return false;
        if (mFew.size() < kFewPorts) {
            mFew.push_back(port);
            return true;
        }
        mBits.reset(new uint64_t[65536 / 64]());
        for (unsigned short used : mFew)
            setBit(used);
        mFew.clear();
        mFew.shrink_to_fit();
        return setBit(port);
    }

private:
    static const std::size_t kFewPorts = 32;

    bool setBit(unsigned short port)
    {
        uint64_t& word = mBits[port >> 6];
        const uint64_t bit = uint64_t(1) << (port & 63);
        if (word & bit)
            return false;
        word |= bit;
        return true;
    }

    std::vector<unsigned short> mFew;
    std::unique_ptr<uint64_t[]> mBits;
};

}  // namespace

void checkPools(const Config* config)
{
    TARVEL_ASSERT(config);
    for (const auto& entry : config->pools().pools()) {
        const Pool& pool = *entry.second;
        if (!pool.appServers().servers().empty() && pool.requestRouters().routerNames().empty())
            throw CException("checkPools(): Application servers, but no RequestRouters assigned to pool '" +
                             pool.name() + "'");
    }
}

void checkUniquePorts(const Config* config)
{
    TARVEL_ASSERT(config);
    // Hosts are the texts of the file: no resolution, no normalisation.
    std::unordered_map<std::string, PortSet> used;

    for (const auto& entry : config->requestRouters().routers()) {
        const RequestRouter& router = *entry.second;
        PortSet& ports = used[router.host()];
        for (unsigned short port : {router.port(), router.monitorPort(), router.mcPort()}) {
            if (port != 0 && !ports.insert(port))
                throw CException("checkUniquePorts(): Port " + std::to_string(port) +
                                 ", assigned to request router '" + router.name() +
                                 "', has already been assigned to another service on host " +
                                 router.host());
        }
    }

    for (const auto& poolEntry : config->pools().pools()) {
        const Pool& pool = *poolEntry.second;
        for (const auto& serverEntry : pool.appServers().servers()) {
            const AppServer& server = *serverEntry.second;
            PortSet& ports = used[server.host()];
            server.forEachPort([&](unsigned short port) {
                if (!ports.insert(port))
                    throw CException("checkUniquePorts(): Port " + std::to_string(port) +
                                     ", assigned to application server '" + server.name() +
                                     "' in pool '" + pool.name() +
                                     "', has already been assigned to another service on host " +
                                     server.host());
            });
        }
    }

    for (const IPEndpoint& endpoint : config->cacheServers().endpoints()) {
        if (!used[endpoint.host].insert(endpoint.port))
            throw CException("checkUniquePorts(): CacheServer port " + std::to_string(endpoint.port) +
                             " on host '" + endpoint.host + "' " +
                             "has already been assigned to another service on host " + endpoint.host);
    }
}

void checkReqRouterAssignments(const Config* config)
{
    TARVEL_ASSERT(config);
    const OwningMap<RequestRouter>& defined = config->requestRouters().routers();
    for (const auto& poolEntry : config->pools().pools()) {
        // The pool's router map holds each listed name once, in name order.
        for (const auto& routerEntry : poolEntry.second->requestRouters().routers()) {
            if (defined.find(routerEntry.first) == defined.end())
                throw CException("checkReqRouterAssignments(): Nonexistant request router '" +
                                 routerEntry.first + "' assigned to pool '" + poolEntry.first + "'");
        }
    }
}

}  // namespace XMLConfig
