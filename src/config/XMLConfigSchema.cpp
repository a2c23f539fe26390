// The schema of ServerConfig.xml as descriptor tables. The tables and the
// validators built from them live in this one file so that each validator
// is constructed after the tables it copies.
#include "config/XMLConfig.h"

namespace XMLConfig {

namespace {

typedef CDataDescriptor D;
const uint32_t NONE = CNodeDescriptor::UNBOUNDED;
const unsigned E = CONTENT_ELEMENT;
const unsigned T = CONTENT_DATA;

const CNodeDescriptor ConfigNodes[] = {
    CNodeDescriptor("requestrouters", 1, 1, E, D::DATA_STRING),
    CNodeDescriptor("pools", 1, 1, E, D::DATA_STRING),
    CNodeDescriptor("cacheservers", 1, 1, E, D::DATA_STRING),
};

const CNodeDescriptor RequestRoutersNodes[] = {
    CNodeDescriptor("requestrouter", 0, NONE, E, D::DATA_STRING),
};

const CAttributeDescriptor RequestRoutersAttr[] = {
    CAttributeDescriptor("max_cache_items", D::DATA_INTEGER, false),
};

const CAttributeDescriptor RequestRouterAttrs[] = {
    CAttributeDescriptor("name", D::DATA_STRING, true),
    CAttributeDescriptor("host", D::DATA_IP_OR_HOSTNAME, true),
    CAttributeDescriptor("port", D::DATA_PORT, true),
    CAttributeDescriptor("monitor_port", D::DATA_PORT, false),
    CAttributeDescriptor("mc_port", D::DATA_PORT, false),
    CAttributeDescriptor("bind", D::DATA_BOOLEAN, false),
};

const CNodeDescriptor PoolsNodes[] = {
    CNodeDescriptor("pool", 1, NONE, E, D::DATA_STRING),
};

const CAttributeDescriptor PoolAttrs[] = {
    CAttributeDescriptor("name", D::DATA_STRING, true),
};

const CNodeDescriptor PoolNodes[] = {
    CNodeDescriptor("limits", 0, 1, E, D::DATA_STRING),
    CNodeDescriptor("requestrouters", 0, 1, E, D::DATA_STRING),
    CNodeDescriptor("appservers", 0, 1, E, D::DATA_STRING),
};

const CAttributeDescriptor PoolLimitsAttrs[] = {
    CAttributeDescriptor("servers_per_site", D::DATA_INTEGER, false),
    CAttributeDescriptor("servers_per_client", D::DATA_INTEGER, false),
};

const CNodeDescriptor PoolLimitsNodes[] = {
    CNodeDescriptor("servers_per_extension", 0, NONE, T, D::DATA_INTEGER),
};

const CAttributeDescriptor SrvPerExtAttrs[] = {
    CAttributeDescriptor("extension", D::DATA_USER, true, checkLimitExtension),
};

// Text and (implicitly) comments: a router name, nothing else.
const CNodeDescriptor PoolRRsNodes[] = {
    CNodeDescriptor("requestrouter", 0, NONE, 10, D::DATA_STRING),
};

const CNodeDescriptor AppServersNodes[] = {
    CNodeDescriptor("appserver", 0, NONE, E, D::DATA_STRING),
};

const CAttributeDescriptor AppServerAttrs[] = {
    CAttributeDescriptor("name", D::DATA_USER, false, deprecatedNameWarning),
    CAttributeDescriptor("host", D::DATA_IP_OR_HOSTNAME, true),
    CAttributeDescriptor("ports", D::DATA_INTEGER_LIST, true),
    CAttributeDescriptor("bind", D::DATA_BOOLEAN, false),
    CAttributeDescriptor("priority", D::DATA_INTEGER, false),
    CAttributeDescriptor("maxmemory", D::DATA_INTEGER, false),
};

const CNodeDescriptor CacheServersNodes[] = {
    CNodeDescriptor("server", 1, NONE, E, D::DATA_STRING),
};

const CAttributeDescriptor CacheServerAttrs[] = {
    CAttributeDescriptor("host", D::DATA_IP_OR_HOSTNAME, true),
    CAttributeDescriptor("port", D::DATA_PORT, true),
    CAttributeDescriptor("bind", D::DATA_BOOLEAN, false),
    CAttributeDescriptor("enable_cache", D::DATA_BOOLEAN, false),
};

template <class A, unsigned N>
constexpr unsigned countOf(const A (&)[N])
{
    return N;
}

}  // namespace

const CNodeValidator Config::validator(nullptr, 0, ConfigNodes, countOf(ConfigNodes));
const CNodeValidator RequestRouters::validator(RequestRoutersAttr, countOf(RequestRoutersAttr),
                                               RequestRoutersNodes, countOf(RequestRoutersNodes));
const CNodeValidator RequestRouter::validator(RequestRouterAttrs, countOf(RequestRouterAttrs),
                                              nullptr, 0);
const CNodeValidator Pools::validator(nullptr, 0, PoolsNodes, countOf(PoolsNodes));
const CNodeValidator Pool::validator(PoolAttrs, countOf(PoolAttrs), PoolNodes, countOf(PoolNodes));
const CNodeValidator PoolLimits::validator(PoolLimitsAttrs, countOf(PoolLimitsAttrs),
                                           PoolLimitsNodes, countOf(PoolLimitsNodes));
const CNodeValidator ServersPerExtension::validator(SrvPerExtAttrs, countOf(SrvPerExtAttrs),
                                                    nullptr, 0);
const CNodeValidator PoolRequestRouters::validator(nullptr, 0, PoolRRsNodes, countOf(PoolRRsNodes));
const CNodeValidator PoolRequestRouter::validator(nullptr, 0, nullptr, 0);
const CNodeValidator AppServers::validator(nullptr, 0, AppServersNodes, countOf(AppServersNodes));
const CNodeValidator AppServer::validator(AppServerAttrs, countOf(AppServerAttrs), nullptr, 0);
const CNodeValidator CacheServers::validator(nullptr, 0, CacheServersNodes,
                                             countOf(CacheServersNodes));
const CNodeValidator CacheServer::validator(CacheServerAttrs, countOf(CacheServerAttrs), nullptr, 0);

}  // namespace XMLConfig
