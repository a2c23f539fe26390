// What the control channel can ask of the running service: the table of
// servers, stopping, starting and restarting one server, and reloading the
// configuration. It runs on the service thread as a source of the one wait.
// This class keeps the protocol only: it parses a request, calls the
// manager (which owns the table and runs every stop and start), and formats
// the reply when the manager tells how the request ended.
#pragma once

#include <chrono>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "appserver/AppServerManager.h"
#include "appserver/ServerStatus.h"
#include "endpoints/ControlServer.h"
#include "foundation/EventLoop.h"
#include "foundation/HostPort.h"
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
    // A SIGHUP: the reload -reload would run, answered only in the log.
    void reloadOnSignal();

    // The table as the channel shows it, in table order.
    // With `fresh`, the trees' figures are read first (at most once a
    // second); otherwise they are the last reading.
    std::vector<ServerStatus> snapshot(time_t now, bool fresh = true) const;
    // The same now, grouped by pool as -servers shows it.
    std::vector<ServerStatus> grouped(bool fresh = true) const;
    // The metrics as -metrics and the endpoint give them. The trees'
    // figures are the last reading (every ACCOUNTING_INTERVAL, or the last
    // -servers): a scraper comes back on its own cadence, and a reading of
    // a thousand trees is thousands of reads of /proc and the cgroups.
    std::string metrics() const { return ServiceMetricsText(mManager, mReloadCounts); }
    // What -servers (or -servers -json) prints: the table grouped by pool.
    std::string serversText(bool json) const;
    // Moves the metrics endpoint to a reload's METRICS_LISTEN: false with the
    // reason when the new address cannot be bound. The owner of the
    // endpoint sets it; without it a reload leaves the endpoint alone.
    using Relisten = std::function<bool(const ListenAddress& address, std::string& reason)>;
    void onMetricsListen(Relisten relisten) { mRelisten = std::move(relisten); }

    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

private:
    using Outcome = CAppServerManager::Outcome;

    // A caller waiting for one server to serve (a start or a restart); the
    // manager tells when it serves or failed.
    struct Pending {
        ClientId client;
        std::string name;       // host:port as the replies write it
    };

    void handle(ClientId client, const std::string& request);
    void handleServers(ClientId client, bool json);
    void handleOne(ClientId client, const std::string& verb, const std::string& endpoint);
    void handleReload(ClientId client);
    // The waiter of a start or restart; it answers from the announcement.
    // The entry goes when the manager calls it.
    CAppServerManager::Waiter waiterFor(ClientId client, const std::string& name);
    void onOutcome(const Pending& pending, Outcome outcome, const AppServerProcess& record);
    // What the running reload's caller hears.
    void onReloadLines(const std::string& lines, bool done, bool ok);
    void replyTo(ClientId client, std::string lines, bool last);
    // Tells systemd the counts; false when the status was dropped.
    bool reportStatus();

    CAppServerManager& mManager;
    CSystemdNotifier& mNotifier;
    std::unique_ptr<CControlServer> mChannel;
    std::list<Pending> mPending;
    ClientId mReloadClient = 0;  // who asked for the running reload; 0: SIGHUP
    ReloadCounts mReloadCounts;
    Relisten mRelisten;
    bool mShutdown = false;
    size_t mChannelFds = 0;  // how many of the last prepare's fds are the channel's
    unsigned long mReportedChanges = ~0ul;  // mManager.changes() at the last status
};
