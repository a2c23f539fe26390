#include "service/ServerControl.h"

#include <algorithm>
#include <utility>

#include "appserver/RecordViews.h"
#include "foundation/Log.h"
#include "service/ServerStatus.h"
#include "service/SystemdNotifier.h"

namespace {

// "host:port" or "[v6]:port" into its parts; false when it is neither.
bool ParseEndpoint(const std::string& text, std::string& host, unsigned short& port)
{
    std::string portText;
    return SplitHostPort(text, host, portText) && ParsePort(portText, port);
}

const char* const kStopping = "ERROR the service is stopping\n";
const char* const kRemoved = "ERROR the server was removed by a reload\n";

}  // namespace

CServerControl::CServerControl(CAppServerManager& manager, CSystemdNotifier& notifier)
    : mManager(manager), mNotifier(notifier)
{
}

// The manager outlives this channel: nobody may call back into it.
CServerControl::~CServerControl()
{
    mManager.forgetWaiters();
    mManager.forgetReload();
}

void CServerControl::open(const std::string& runDir)
{
    try {
        mChannel = std::make_unique<CControlServer>(
            runDir, [this](ClientId client, const std::string& request) { handle(client, request); });
    } catch (std::exception& e) {
        KXLogWrite(CLog::_pKXLog, "The service runs without its control channel: %s", e.what());
    }
}

void CServerControl::shutdown()
{
    mShutdown = true;
    mManager.forgetWaiters();
    for (const Pending& pending : mPending)
        replyTo(pending.client, kStopping, true);
    mPending.clear();
    if (mManager.reloading()) {
        mManager.forgetReload();
        replyTo(mReloadClient, kStopping, true);
    }
}

void CServerControl::replyTo(ClientId client, std::string lines, bool last)
{
    if (client != 0 && mChannel)
        mChannel->reply(client, std::move(lines), last);
}

std::vector<ServerStatus> CServerControl::snapshot(time_t now, bool fresh) const
{
    std::vector<ServerStatus> table;
    if (fresh)
        mManager.refreshFigures();
    for (const AppServerProcess& record : mManager.processes())
        table.push_back(StatusOf(record, now));
    return table;
}

void CServerControl::handle(ClientId client, const std::string& request)
{
    if (request == "servers" || request == "servers json") {
        handleServers(client, request != "servers");
        return;
    }
    if (request == "metrics") {
        replyTo(client, metrics() + "OK\n", true);
        return;
    }
    if (mShutdown) {
        replyTo(client, kStopping, true);
        return;
    }
    size_t blank = request.find(' ');
    std::string verb = request.substr(0, blank);
    if (blank != std::string::npos &&
        (verb == "stopserver" || verb == "startserver" || verb == "restartserver")) {
        handleOne(client, verb, request.substr(blank + 1));
        return;
    }
    if (request == "reload") {
        handleReload(client);
        return;
    }
    replyTo(client, "ERROR unknown request '" + request.substr(0, 64) + "'\n", true);
}

void CServerControl::handleServers(ClientId client, bool json)
{
    replyTo(client, serversText(json) + "OK\n", true);
}

std::vector<ServerStatus> CServerControl::grouped(bool fresh) const
{
    std::vector<ServerStatus> table = snapshot(time(nullptr), fresh);
    GroupByPool(table);
    return table;
}

std::string CServerControl::serversText(bool json) const
{
    std::vector<ServerStatus> table = grouped();
    return json ? FormatServerJson(table) : FormatServerTable(table);
}

void CServerControl::handleOne(ClientId client, const std::string& verb,
                               const std::string& endpoint)
{
    std::string host;
    unsigned short port = 0;
    if (!ParseEndpoint(endpoint, host, port)) {
        replyTo(client, "ERROR no server " + endpoint + "\n", true);
        return;
    }
    std::string name = FormatEndpoint(host, port);
    using R = CAppServerManager::Request;
    R result;
    if (verb == "stopserver") {
        auto waiter = [this, client, name](Outcome outcome, const AppServerProcess&) {
            replyTo(client, outcome == Outcome::Stopped ? name + " stopped by operator\nOK\n" : kRemoved,
                    true);
        };
        result = mManager.stopServer(host, port, waiter);
    } else {
        auto waiter = waiterFor(client, name);
        result = verb == "restartserver" ? mManager.restartServer(host, port, "", waiter)
                                         : mManager.startServer(host, port, waiter);
        if (result != R::Accepted)
            mPending.pop_back();
    }
    // The manager looks the record up once; none there is the same answer
    // as an address that names none.
    if (result == R::NoServer)
        replyTo(client, "ERROR no server " + endpoint + "\n", true);
    else if (result == R::Busy)
        replyTo(client, "ERROR server " + name + " is being stopped or started already\n", true);
    else if (result == R::AlreadyHeld)
        replyTo(client, name + " stopped by operator\nOK\n", true);
    else if (result == R::AlreadyRunning)
        replyTo(client, name + " is already running\nOK\n", true);
}

CAppServerManager::Waiter CServerControl::waiterFor(ClientId client, const std::string& name)
{
    auto it = mPending.insert(mPending.end(), Pending{client, name});
    return [this, it](Outcome outcome, const AppServerProcess& record) {
        Pending pending = *it;
        mPending.erase(it);
        onOutcome(pending, outcome, record);
    };
}

void CServerControl::onOutcome(const Pending& pending, Outcome outcome,
                               const AppServerProcess& record)
{
    if (outcome == Outcome::Started)
        replyTo(pending.client,
                pending.name + " started, pid " + std::to_string(record.mPid) + "\nOK\n", true);
    else if (outcome == Outcome::Failed)
        replyTo(pending.client,
                "ERROR " + pending.name + " does not serve: " +
                    (record.mFailure.empty() ? "it ended" : record.mFailure) + " (see the log)\n",
                true);
    else
        replyTo(pending.client, kRemoved, true);
}

bool CServerControl::reportStatus()
{
    unsigned throttled = 0;
    for (const AppServerProcess& record : mManager.processes())
        if (record.mState == ServerState::Throttled)
            ++throttled;
    ServingSummary summary = SummarizeServing(mManager.processes());
    return mNotifier.status(summary.serving, throttled, summary.total - summary.serving - throttled,
                     summary.notServing);
}

void CServerControl::prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline)
{
    size_t before = fds.size();
    if (mChannel)
        mChannel->prepare(fds, deadline);
    mChannelFds = fds.size() - before;
    // systemd hears the counts when a record moved, not on every pass.
    if (mManager.changes() != mReportedChanges) {
        // A dropped status is sent again on the next pass.
        if (reportStatus())
            mReportedChanges = mManager.changes();
    }
}

void CServerControl::reloadOnSignal()
{
    // SIGHUP does what -reload does; only the log hears of it.
    if (mShutdown)
        return;
    if (mManager.reloading())
        KXLogWrite(CLog::_pKXLog, "Reload on SIGHUP skipped: a reload is in progress");
    else
        handleReload(0);
}

void CServerControl::dispatch(struct pollfd* fds, size_t count, Clock::time_point now)
{
    if (mChannel)
        mChannel->dispatch(fds, std::min(count, mChannelFds), now);
}
