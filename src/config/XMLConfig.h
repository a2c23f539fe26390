// The object model of ServerConfig.xml: the request routers, the pools of
// application servers with their routers and limits, and the cache servers.
// Every class is built from its element, validated against the built-in
// schema first (see XMLConfigValidator.h); the finished model is
// cross-checked and then only read.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/XMLConfigValidator.h"
#include "config/XMLParser.h"

typedef std::vector<std::string> StringVector;

namespace XMLConfig {

// A service address as written in the file; bind comes from the element the
// address belongs to.
struct IPEndpoint {
    IPEndpoint() = default;
    IPEndpoint(const std::string& h, unsigned short p, bool b) : host(h), port(p), bind(b) {}
    bool operator==(const IPEndpoint& other) const
    {
        return host == other.host && port == other.port && bind == other.bind;
    }

    std::string host;
    unsigned short port = 0;
    bool bind = true;
};
typedef std::vector<IPEndpoint> IPEndpointVector;

// Maps keyed by byte string, owning their values, iterated in key order.
template <class T>
using OwningMap = std::map<std::string, std::unique_ptr<T>>;

class RequestRouter : public CNode {
public:
    explicit RequestRouter(const rapidxml::xml_node<char>* node);
    const std::string& name() const { return mName; }
    const std::string& host() const { return mHost; }
    unsigned short port() const { return mPort; }
    unsigned short monitorPort() const { return mMonitorPort; }  // 0: none
    unsigned short mcPort() const { return mMCPort; }            // 0: none
    bool bind() const { return mBind; }

    static const CNodeValidator validator;

private:
    std::string mName;
    std::string mHost;
    unsigned short mPort;
    unsigned short mMonitorPort;
    unsigned short mMCPort;
    bool mBind;
};

class RequestRouters : public CNode {
public:
    explicit RequestRouters(const rapidxml::xml_node<char>* node);
    const OwningMap<RequestRouter>& routers() const { return mRouters; }
    int maxCacheItems() const { return mMaxCacheItems; }
    // Both throw CException when there is no such router.
    const RequestRouter* routerByName(const std::string& name) const;
    const RequestRouter* routerByIP(const std::string& ip) const;

    static const CNodeValidator validator;

private:
    OwningMap<RequestRouter> mRouters;
    int mMaxCacheItems;
};

class ServersPerExtension : public CNode {
public:
    explicit ServersPerExtension(const rapidxml::xml_node<char>* node);
    const std::string& extension() const { return mExtension; }
    int limit() const { return mLimit; }

    static const CNodeValidator validator;

private:
    std::string mExtension;
    int mLimit;
};

class PoolLimits : public CNode {
public:
    // A null node (no <limits> in the pool) means no limits at all.
    explicit PoolLimits(const rapidxml::xml_node<char>* node);
    int serversPerSite() const { return mServersPerSite; }
    int serversPerClient() const { return mServersPerClient; }
    const OwningMap<ServersPerExtension>& extensions() const { return mExtensions; }
    // 0 when the extension has no entry.
    int extensionLimit(const std::string& extension) const;

    static const CNodeValidator validator;

private:
    int mServersPerSite;
    int mServersPerClient;
    OwningMap<ServersPerExtension> mExtensions;
};

class PoolRequestRouter : public CNode {
public:
    explicit PoolRequestRouter(const rapidxml::xml_node<char>* node);
    const std::string& name() const { return mName; }

    static const CNodeValidator validator;

private:
    std::string mName;
};

class PoolRequestRouters : public CNode {
public:
    explicit PoolRequestRouters(const rapidxml::xml_node<char>* node);
    const OwningMap<PoolRequestRouter>& routers() const { return mRouters; }
    // Every name in document order, duplicates kept.
    const StringVector& routerNames() const { return mRouterNames; }

    static const CNodeValidator validator;

private:
    OwningMap<PoolRequestRouter> mRouters;
    StringVector mRouterNames;
};

class AppServer : public CNode {
public:
    explicit AppServer(const rapidxml::xml_node<char>* node);
    // host + "_" + ports text
    const std::string& name() const { return mName; }
    const std::string& host() const { return mHost; }
    // The ports in list order, duplicates kept.
    std::vector<unsigned short> ports() const;
    // The same ports as written: a single port is a range of one. Kept in this
    // form so that a short text like "1-65535" costs a few bytes, not 128 KB.
    const std::vector<Parser::IntRange>& portRanges() const { return mPortRanges; }
    template <class F>
    void forEachPort(F visit) const
    {
        for (const Parser::IntRange& range : mPortRanges)
            range.forEach([&](int port) { visit(static_cast<unsigned short>(port)); });
    }
    int priority() const { return mPriority; }
    bool bind() const { return mBind; }

    static const CNodeValidator validator;

private:
    std::string mName;
    std::string mHost;
    std::vector<Parser::IntRange> mPortRanges;
    int mPriority;
    bool mBind;
};

class AppServers : public CNode {
public:
    explicit AppServers(const rapidxml::xml_node<char>* node);
    const OwningMap<AppServer>& servers() const { return mServers; }
    const AppServer* serverByName(const std::string& name) const;

    static const CNodeValidator validator;

private:
    OwningMap<AppServer> mServers;
};

class Pool : public CNode {
public:
    explicit Pool(const rapidxml::xml_node<char>* node);
    const std::string& name() const { return mName; }
    const PoolLimits& limits() const { return *mLimits; }
    const PoolRequestRouters& requestRouters() const { return *mRequestRouters; }
    const AppServers& appServers() const { return *mAppServers; }

    static const CNodeValidator validator;

private:
    std::string mName;
    std::unique_ptr<PoolLimits> mLimits;
    std::unique_ptr<PoolRequestRouters> mRequestRouters;
    std::unique_ptr<AppServers> mAppServers;
};

class Pools : public CNode {
public:
    explicit Pools(const rapidxml::xml_node<char>* node);
    const OwningMap<Pool>& pools() const { return mPools; }
    const Pool* poolByName(const std::string& name) const;

    static const CNodeValidator validator;

private:
    OwningMap<Pool> mPools;
};

class CacheServer : public CNode {
public:
    explicit CacheServer(const rapidxml::xml_node<char>* node);
    const std::string& host() const { return mHost; }
    unsigned short port() const { return mPort; }
    bool bind() const { return mBind; }
    bool enableCache() const { return mEnableCache; }

    static const CNodeValidator validator;

private:
    std::string mHost;
    unsigned short mPort;
    bool mBind;
    bool mEnableCache;
};

class CacheServers : public CNode {
public:
    explicit CacheServers(const rapidxml::xml_node<char>* node);
    const std::vector<std::unique_ptr<CacheServer>>& servers() const { return mServers; }
    const IPEndpointVector& endpoints() const { return mEndpoints; }
    // The first server with the same host text and port; bind is not compared.
    const CacheServer* serverByAddr(const IPEndpoint& endpoint) const;

    static const CNodeValidator validator;

private:
    std::vector<std::unique_ptr<CacheServer>> mServers;
    IPEndpointVector mEndpoints;
};

class Config : public CNode {
public:
    explicit Config(const rapidxml::xml_node<char>* node);
    const RequestRouters& requestRouters() const { return *mRequestRouters; }
    const Pools& pools() const { return *mPools; }
    const CacheServers& cacheServers() const { return *mCacheServers; }

    static const CNodeValidator validator;

private:
    std::unique_ptr<RequestRouters> mRequestRouters;
    std::unique_ptr<Pools> mPools;
    std::unique_ptr<CacheServers> mCacheServers;
};

// Loads ServerConfig.xml. Every failure is a CException; a failed load
// leaves an object that should be discarded.
class CConfigFile {
public:
    typedef std::function<void(const std::string& host, unsigned short port, bool bind)>
        AppServerCallback;
    typedef std::function<void(const std::string& pool, const std::string& host,
                               unsigned short port, bool bind)>
        PooledAppServerCallback;

    CConfigFile();
    virtual ~CConfigFile();
    CConfigFile(const CConfigFile&) = delete;
    CConfigFile& operator=(const CConfigFile&) = delete;

    // CTarvelEnv::configDir() + "/ServerConfig.xml"
    static std::string defaultFileName();

    void loadFile(const char* path);
    void loadFile(const std::string& path) { loadFile(path.c_str()); }
    void parse(const std::string& text);
    void parse(const rapidxml::xml_node<char>* document);

    // Calls back once per port of every application server whose host text
    // equals (byte for byte) an entry of ipList; pools in name order, servers
    // in name order, ports in list order.
    void getAppServers(const StringVector& ipList, AppServerCallback callback) const;
    // The same, with the name of the pool each server belongs to (a server
    // belongs to the one pool whose <appservers> lists it).
    void getPooledAppServers(const StringVector& ipList, PooledAppServerCallback callback) const;
    // The name of the pool whose application server on host (byte for byte)
    // has port; "" when none has. Walks every server: for one look-up, not
    // one per server of a large landscape (getPooledAppServers is).
    std::string poolOf(const std::string& host, unsigned short port) const;

    IPEndpoint getRequestRouter(const std::string& name) const;
    IPEndpoint getMonitor(const std::string& name) const;
    IPEndpoint getMessageCenter(const std::string& name) const;
    IPEndpointVector getRequestRouters() const;
    IPEndpointVector getMonitors() const;
    IPEndpointVector getMessageCenters() const;
    std::vector<const RequestRouter*> getRequestRoutersByPoolName(const std::string& pool) const;
    bool isASPoolDBCacheEnabled(const IPEndpoint& endpoint) const;

    // The model of the last successful construction; null before.
    const Config* config() const { return mConfig.get(); }

private:
    const Config& model() const;

    std::unique_ptr<Config> mConfig;
};

}  // namespace XMLConfig
