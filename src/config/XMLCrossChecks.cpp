// Rules that span the whole ServerConfig.xml model, checked after it is
// built: the schema judges each element by itself and cannot see them.
#include <algorithm>
#include <iterator>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config/XMLConfig.h"
#include "foundation/Exceptions.h"

namespace XMLConfig {

namespace {

// Every port or run of ports that a service claims on a host, in the order
// the check visits them: request routers (port, monitor port, message-center
// port, each when not 0), application servers (pools, then servers, in name
// order, ports in list order), cache servers (document order). claim(host,
// first, last, message) receives the ports first..last in visiting order
// (counting down when last < first); message(port) words the failure for
// the port of that run found taken.
template <class Claim>
void forEachClaim(const Config& config, Claim claim)
{
    for (const auto& entry : config.requestRouters().routers()) {
        const RequestRouter& router = *entry.second;
        const auto message = [&router](unsigned short port) {
            return "checkUniquePorts(): Port " + std::to_string(port) +
                   ", assigned to request router '" + router.name() +
                   "', has already been assigned to another service on host " + router.host();
        };
        for (unsigned short port : {router.port(), router.monitorPort(), router.mcPort()})
            if (port != 0)
                claim(router.host(), port, port, message);
    }

    for (const auto& poolEntry : config.pools().pools()) {
        const Pool& pool = *poolEntry.second;
        for (const auto& serverEntry : pool.appServers().servers()) {
            const AppServer& server = *serverEntry.second;
            const auto message = [&server, &pool](unsigned short port) {
                return "checkUniquePorts(): Port " + std::to_string(port) +
                       ", assigned to application server '" + server.name() + "' in pool '" +
                       pool.name() + "', has already been assigned to another service on host " +
                       server.host();
            };
            for (const Parser::IntRange& range : server.portRanges())
                claim(server.host(), static_cast<unsigned short>(range.first),
                      static_cast<unsigned short>(range.last), message);
        }
    }

    for (const IPEndpoint& endpoint : config.cacheServers().endpoints()) {
        const auto message = [&endpoint](unsigned short port) {
            return "checkUniquePorts(): CacheServer port " + std::to_string(port) + " on host '" +
                   endpoint.host + "' " + "has already been assigned to another service on host " +
                   endpoint.host;
        };
        claim(endpoint.host, endpoint.port, endpoint.port, message);
    }
}

// A run of ports claimed on a host; the host text belongs to the model.
struct PortSpan {
    const std::string* host;
    unsigned short low;
    unsigned short high;
};

// The hosts on which two claims share a port. Memory: one span per claim.
std::unordered_set<std::string_view> hostsWithSharedPorts(const Config& config)
{
    std::vector<PortSpan> spans;
    forEachClaim(config, [&spans](const std::string& host, unsigned short first,
                                  unsigned short last, const auto&) {
        spans.push_back({&host, std::min(first, last), std::max(first, last)});
    });
    std::sort(spans.begin(), spans.end(), [](const PortSpan& a, const PortSpan& b) {
        const int order = a.host == b.host ? 0 : a.host->compare(*b.host);
        return order != 0 ? order < 0 : a.low < b.low;
    });
    std::unordered_set<std::string_view> shared;
    for (std::size_t i = 1, highest = 0; i < spans.size(); ++i) {
        if (*spans[i].host != *spans[i - 1].host)
            highest = i;
        else if (spans[i].low <= spans[highest].high)
            shared.insert(*spans[i].host);
        if (spans[i].high > spans[highest].high)
            highest = i;
    }
    return shared;
}

// The ports taken on one host, as disjoint runs: first port -> last port.
class TakenPorts {
public:
    // The first port of first..last, in visiting order, that is already
    // taken; -1 when none is, and then the run is taken.
    long claim(unsigned short first, unsigned short last)
    {
        const unsigned short low = std::min(first, last), high = std::max(first, last);
        long found = -1;
        if (first <= last) {  // the lowest taken port of the run
            auto next = mRuns.upper_bound(low);
            if (next != mRuns.begin() && std::prev(next)->second >= low)
                found = low;
            else if (next != mRuns.end() && next->first <= high)
                found = next->first;
        } else {  // the highest taken port of the run
            auto next = mRuns.upper_bound(high);
            if (next != mRuns.begin() && std::prev(next)->second >= low)
                found = std::min(std::prev(next)->second, high);
        }
        if (found < 0)
            mRuns.emplace(low, high);
        return found;
    }

private:
    std::map<unsigned short, unsigned short> mRuns;
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
    // Hosts are the texts of the file: no resolution, no normalisation. A
    // sort of all claims finds the hosts with a port given twice, in memory
    // proportional to what the file lists; only those hosts are then
    // replayed in order, to name the claim that comes second.
    const std::unordered_set<std::string_view> shared = hostsWithSharedPorts(*config);
    if (shared.empty())
        return;
    std::unordered_map<std::string_view, TakenPorts> taken;
    forEachClaim(*config, [&](const std::string& host, unsigned short first, unsigned short last,
                              const auto& message) {
        if (shared.count(host) == 0)
            return;
        const long port = taken[host].claim(first, last);
        if (port >= 0)
            throw CException(message(static_cast<unsigned short>(port)));
    });
    TARVEL_ASSERT(!"a port given twice was not found again");
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
