// What the control channel can ask of the running service: the table of
// servers, stopping, starting and restarting one server, and reloading the
// configuration. It runs on the service thread as a source of the one wait.
// This class keeps the protocol only: it parses a request, calls the
// manager (which owns the table and runs every stop and start), and formats
// the reply when the manager tells how the request ended.
#pragma once

#include <chrono>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "appserver/AppServerManager.h"
#include "appserver/ControlServer.h"
#include "appserver/EventLoop.h"
#include "appserver/MetricsEndpoint.h"
#include "appserver/ServerStatus.h"
#include "service/ServiceMetrics.h"

class CSystemdNotifier;

class CServerControl : public LoopSource {
public:
    using Clock = std::chrono::steady_clock;
    using ClientId = CControlServer::ClientId;

    CServerControl(CAppServerManager& manager, CSystemdNotifier& notifier);
    ~CServerControl() override;
    CServerControl(const CServerControl&) = delete;
    CServerControl& operator=(const CServerControl&) = delete;

    // Opens the control socket in runDir; when that fails the service runs
    // on without a channel, with a log line that says why.
    void open(const std::string& runDir);
    // The service stops: every pending operation is answered with an error;
    // the full stop takes over the servers.
    void shutdown();

    // The table as the channel shows it, in table order.
    std::vector<ServerStatus> snapshot(time_t now) const;
    // The same now, grouped by pool as -servers shows it.
    std::vector<ServerStatus> grouped() const;
    // The metrics as -metrics and the endpoint give them.
    std::string metrics() const { return ServiceMetricsText(mManager, mReloadCounts); }
    // What -servers (or -servers -json) prints: the table grouped by pool.
    std::string serversText(bool json) const;
    // Listens for scrapes where the manager's settings say (METRICS_LISTEN),
    // or stops listening; a failure is logged (and told to `client`) and the
    // service runs on without the endpoint.
    void applyMetricsListen(ClientId client = 0);

    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

private:
    using Outcome = CAppServerManager::Outcome;

    // A caller waiting for one server to serve (a start, a restart, or a
    // reload's rolling restart); the manager tells when it serves or failed.
    struct Pending {
        ClientId client;        // 0: nobody (a rolling restart answers the reload)
        std::string host;
        unsigned short port;
        bool rolling;
    };
    struct Reload {
        ClientId client = 0;
        std::deque<ReloadPlan::Change> rolling;  // restarts not yet begun, in plan order
        bool rollingNow = false;                 // one runs: the pool keeps serving
        bool failed = false;                     // the rollout stopped at a failure
        unsigned removing = 0;                   // removals waiting for their server's end
        unsigned added = 0, removed = 0, changed = 0, unchanged = 0;
    };

    void handle(ClientId client, const std::string& request);
    void handleServers(ClientId client, bool json);
    void handleOne(ClientId client, const std::string& verb, const std::string& endpoint);
    void handleReload(ClientId client);
    // The waiter of a request on host:port.
    CAppServerManager::Waiter waiterFor(const std::string& host, unsigned short port);
    void onOutcome(Outcome outcome, const AppServerProcess& record);
    void onStarted(Pending& pending, const AppServerProcess& record);
    void onFailed(Pending& pending, const AppServerProcess& record);
    // A rolling restart failed: the rest keep their process, and take the
    // new command at their next start.
    void stopRollout(const std::string& line);
    Pending* pendingFor(const std::string& host, unsigned short port);
    void onRemoved(const AppServerProcess& record);
    // Begins the next rolling restart; answers the reload when nothing is left.
    void checkReload();
    void nextRollingRestart();
    void replyTo(ClientId client, const std::string& lines, bool last);
    void reportStatus();

    CAppServerManager& mManager;
    CSystemdNotifier& mNotifier;
    std::unique_ptr<CControlServer> mChannel;
    std::list<Pending> mPending;
    std::unique_ptr<Reload> mReload;
    ReloadCounts mReloadCounts;
    std::unique_ptr<CMetricsEndpoint> mEndpoint;
    std::string mEndpointListen;  // what mEndpoint listens on
    bool mShutdown = false;
    size_t mChannelFds = 0;  // how many of the last prepare's fds are the channel's
};
