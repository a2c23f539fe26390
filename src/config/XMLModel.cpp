// Construction of the ServerConfig.xml model and its lookups. Each
// constructor validates its element (through CNode) before reading it.
#include <climits>

#include <rapidxml/rapidxml.hpp>

#include "config/XMLConfig.h"
#include "foundation/Exceptions.h"

namespace XMLConfig {

using namespace Parser;

namespace {

std::string attributeText(const Node* node, const char* name)
{
    const rapidxml::xml_attribute<char>* attribute = node->first_attribute(name);
    return attribute != nullptr ? std::string(attribute->value()) : std::string();
}

// The first of equal keys wins; later ones are dropped without complaint.
template <class T>
void enter(OwningMap<T>& map, std::string key, std::unique_ptr<T> value)
{
    map.emplace(std::move(key), std::move(value));
}

// Calls make for every child element called name, in document order.
template <class F>
void forEachChild(const Node* node, const char* name, F make)
{
    for (const Node* child = node->first_node(name); child != nullptr;
         child = child->next_sibling(name))
        make(child);
}

}  // namespace

// ---- Request routers --------------------------------------------------------

RequestRouter::RequestRouter(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    mName = attributeText(node, "name");
    mHost = parseIP(node, "host", true, true);
    mPort = parsePort(node, "port");
    mMonitorPort = parsePort(node, "monitor_port");
    mMCPort = parsePort(node, "mc_port");
    mBind = parseBool(node, "bind", true);
}

RequestRouters::RequestRouters(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    forEachChild(node, "requestrouter", [this](const Node* child) {
        auto router = std::make_unique<RequestRouter>(child);
        std::string name = router->name();
        enter(mRouters, std::move(name), std::move(router));
    });
    mMaxCacheItems = parseAttrNumber<int>(node, "max_cache_items", 1000, 0, INT_MAX);
}

const RequestRouter* RequestRouters::routerByName(const std::string& name) const
{
    const auto found = mRouters.find(name);
    if (found == mRouters.end())
        throw CException("RequestRouters::routerByName(): Request router '" + name + "' not defined");
    return found->second.get();
}

const RequestRouter* RequestRouters::routerByIP(const std::string& ip) const
{
    for (const auto& entry : mRouters)
        if (entry.second->host() == ip)
            return entry.second.get();
    throw CException("RequestRouters::routerByIP(): No request router found for IP " + ip);
}

// ---- Pools ----------------------------------------------------------------------

ServersPerExtension::ServersPerExtension(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    mExtension = attributeText(node, "extension");
    mLimit = parseNumber<int>(node, -1, -1, INT_MAX);
}

PoolLimits::PoolLimits(const Node* node)
    : CNode(node, validator), mServersPerSite(-1), mServersPerClient(-1)
{
    if (node == nullptr)
        return;
    mServersPerSite = parseAttrNumber<int>(node, "servers_per_site", -1, INT_MIN, INT_MAX);
    mServersPerClient = parseAttrNumber<int>(node, "servers_per_client", -1, INT_MIN, INT_MAX);
    forEachChild(node, "servers_per_extension", [this](const Node* child) {
        auto limit = std::make_unique<ServersPerExtension>(child);
        std::string extension = limit->extension();
        enter(mExtensions, std::move(extension), std::move(limit));
    });
}

int PoolLimits::extensionLimit(const std::string& extension) const
{
    const auto found = mExtensions.find(extension);
    return found != mExtensions.end() ? found->second->limit() : 0;
}

PoolRequestRouter::PoolRequestRouter(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    // Verbatim: white space around the name is part of it.
    mName = node->value();
}

PoolRequestRouters::PoolRequestRouters(const Node* node) : CNode(node, validator)
{
    if (node == nullptr)
        return;
    forEachChild(node, "requestrouter", [this](const Node* child) {
        auto router = std::make_unique<PoolRequestRouter>(child);
        std::string name = router->name();
        enter(mRouters, std::move(name), std::move(router));
    });
    forEachChild(node, "requestrouter",
                 [this](const Node* child) { mRouterNames.push_back(child->value()); });
}

AppServer::AppServer(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    // The name attribute is deprecated and not used: servers are named by
    // where they listen.
    mName = attributeText(node, "host") + "_" + attributeText(node, "ports");
    mHost = parseIP(node, "host", true, true);
    mPortRanges = parseIntRanges(node, "ports", 1, 65535);
    mPriority = parseAttrNumber<int>(node, "priority", 0, INT_MIN, INT_MAX);
    mBind = parseBool(node, "bind", true);
}

std::vector<unsigned short> AppServer::ports() const
{
    std::vector<unsigned short> ports;
    forEachPort([&](unsigned short port) { ports.push_back(port); });
    return ports;
}

AppServers::AppServers(const Node* node) : CNode(node, validator)
{
    if (node == nullptr)
        return;
    forEachChild(node, "appserver", [this](const Node* child) {
        auto server = std::make_unique<AppServer>(child);
        std::string name = server->name();
        enter(mServers, std::move(name), std::move(server));
    });
}

const AppServer* AppServers::serverByName(const std::string& name) const
{
    const auto found = mServers.find(name);
    if (found == mServers.end())
        throw CException("AppServers::serverByName(): Application server '" + name + "' not defined");
    return found->second.get();
}

Pool::Pool(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    mName = attributeText(node, "name");
    mLimits = std::make_unique<PoolLimits>(node->first_node("limits"));
    mRequestRouters = std::make_unique<PoolRequestRouters>(node->first_node("requestrouters"));
    mAppServers = std::make_unique<AppServers>(node->first_node("appservers"));
}

Pools::Pools(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    forEachChild(node, "pool", [this](const Node* child) {
        auto pool = std::make_unique<Pool>(child);
        std::string name = pool->name();
        enter(mPools, std::move(name), std::move(pool));
    });
}

const Pool* Pools::poolByName(const std::string& name) const
{
    const auto found = mPools.find(name);
    if (found == mPools.end())
        throw CException("Pools::poolByName(): Pool '" + name + "' not defined");
    return found->second.get();
}

// ---- Cache servers --------------------------------------------------------------

CacheServer::CacheServer(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    mHost = parseIP(node, "host", true, true);
    mPort = parsePort(node, "port");
    mBind = parseBool(node, "bind", true);
    mEnableCache = parseBool(node, "enable_cache", true);
}

CacheServers::CacheServers(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    forEachChild(node, "server", [this](const Node* child) {
        mServers.push_back(std::make_unique<CacheServer>(child));
    });
    mEndpoints.reserve(mServers.size());
    for (const auto& server : mServers)
        mEndpoints.emplace_back(server->host(), server->port(), server->bind());
}

const CacheServer* CacheServers::serverByAddr(const IPEndpoint& endpoint) const
{
    for (const auto& server : mServers)
        if (server->host() == endpoint.host && server->port() == endpoint.port)
            return server.get();
    throw CException("CacheServers::serverByAddr(): No cache server found for " + endpoint.host);
}

// ---- The whole file -----------------------------------------------------------

Config::Config(const Node* node) : CNode(node, validator)
{
    TARVEL_ASSERT(node != nullptr);
    mRequestRouters = std::make_unique<RequestRouters>(node->first_node("requestrouters"));
    mPools = std::make_unique<Pools>(node->first_node("pools"));
    mCacheServers = std::make_unique<CacheServers>(node->first_node("cacheservers"));
}

}  // namespace XMLConfig
