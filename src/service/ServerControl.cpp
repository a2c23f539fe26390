#include "service/ServerControl.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "appserver/ShutdownRequest.h"
#include "foundation/Log.h"
#include "service/SystemdNotifier.h"

namespace {

// "host:port" or "[v6]:port" into its parts; false when it is neither.
bool ParseEndpoint(const std::string& text, std::string& host, unsigned short& port)
{
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size() || colon + 6 < text.size())
        return false;
    unsigned long number = 0;
    for (size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        number = number * 10 + static_cast<unsigned long>(text[i] - '0');
    }
    if (number == 0 || number > 65535)
        return false;
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    port = static_cast<unsigned short>(number);
    return true;
}

bool Runs(const AppServerProcess& record)
{
    return record.mState == ServerState::Running || record.mState == ServerState::Stopping;
}

std::string Clock24(time_t when)
{
    struct tm parts;
    char text[16];
    if (localtime_r(&when, &parts) == nullptr || strftime(text, sizeof text, "%H:%M:%S", &parts) == 0)
        return std::to_string(static_cast<long long>(when));
    return text;
}

}  // namespace

CServerControl::CServerControl(CAppServerManager& manager, CSystemdNotifier& notifier)
    : mManager(manager), mNotifier(notifier)
{
}

CServerControl::~CServerControl()
{
    for (Job& job : mJobs) {
        if (job.thread.joinable())
            job.thread.join();
        if (job.doneFd >= 0)
            close(job.doneFd);
    }
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
    for (Job& job : mJobs) {
        if (job.client != 0)
            replyTo(job.client, "ERROR the service is stopping\n", true);
        job.client = 0;
    }
    if (mReload) {
        replyTo(mReload->client, "ERROR the service is stopping\n", true);
        mReload.reset();
    }
}

void CServerControl::replyTo(ClientId client, const std::string& lines, bool last)
{
    if (client != 0 && mChannel)
        mChannel->reply(client, lines, last);
}

AppServerProcess* CServerControl::find(const std::string& host, unsigned short port)
{
    for (AppServerProcess& record : mManager.mProcesses)
        if (record.mHost == host && record.mPort == port)
            return &record;
    return nullptr;
}

CServerControl::Job* CServerControl::jobFor(const std::string& host, unsigned short port)
{
    for (Job& job : mJobs)
        if (job.host == host && job.port == port)
            return &job;
    return nullptr;
}

std::vector<ServerStatus> CServerControl::snapshot(time_t now) const
{
    std::vector<ServerStatus> table;
    for (const AppServerProcess& record : mManager.processes()) {
        ServerStatus s;
        s.address = record.mHost;
        s.port = record.mPort;
        bool runs = Runs(record);
        s.pid = runs ? record.mPid : 0;
        if (record.mHeld) {
            s.state = runs ? "stopping" : "stopped by operator";
        } else if (record.mState == ServerState::Stopping) {
            s.state = "stopping";
        } else if (runs) {
            s.state = "running";
        } else if (record.throttled(now)) {
            s.throttledUntil = record.nextDeadline();
            s.state = "throttled until " + Clock24(s.throttledUntil);
        } else {
            s.state = "starting";
        }
        s.uptimeSeconds = runs ? static_cast<long>(now - record.mStartTime) : 0;
        s.restarts = record.mRestarts;
        if (record.mEndTime != 0) {
            s.lastEnd = DescribeEnd(record.mStatus);
            s.lastEndTime = record.mEndTime;
        }
        table.push_back(std::move(s));
    }
    return table;
}

void CServerControl::handle(ClientId client, const std::string& request)
{
    if (request == "servers" || request == "servers json") {
        handleServers(client, request != "servers");
        return;
    }
    if (mShutdown) {
        replyTo(client, "ERROR the service is stopping\n", true);
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
    std::vector<ServerStatus> table = snapshot(time(nullptr));
    replyTo(client, (json ? FormatServerJson(table) : FormatServerTable(table)) + "OK\n", true);
}

void CServerControl::handleOne(ClientId client, const std::string& verb,
                               const std::string& endpoint)
{
    std::string host;
    unsigned short port = 0;
    AppServerProcess* record = ParseEndpoint(endpoint, host, port) ? find(host, port) : nullptr;
    if (record == nullptr) {
        replyTo(client, "ERROR no server " + endpoint + "\n", true);
        return;
    }
    std::string name = FormatEndpoint(record->mHost, record->mPort);
    if (jobFor(host, port) != nullptr) {
        replyTo(client, "ERROR server " + name + " is being stopped or started already\n", true);
        return;
    }
    bool running = record->mState == ServerState::Running;
    if (verb == "stopserver") {
        if (running) {
            beginStop(Purpose::Stop, *record, client);
            return;
        }
        if (!record->mHeld)
            KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu stopped by operator", host.c_str(), port);
        record->mHeld = true;
        replyTo(client, name + " stopped by operator\nOK\n", true);
        return;
    }
    if (verb == "restartserver" && running) {
        beginStop(Purpose::Restart, *record, client);
        return;
    }
    if (running) {
        replyTo(client, name + " is already running\nOK\n", true);
        return;
    }
    beginStart(*record, client, Purpose::Start);
}

void CServerControl::beginStart(AppServerProcess& record, ClientId client, Purpose purpose)
{
    // The operator asks for this start: an earlier run of failures does not
    // hold it back.
    record.mHeld = false;
    record.mFailCount = 0;
    record.mThrottleLogged = false;
    if (purpose == Purpose::Start)
        KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu started by operator", record.mHost.c_str(),
                   record.mPort);
    Job job;
    job.purpose = purpose;
    job.host = record.mHost;
    job.port = record.mPort;
    job.pid = record.mPid;
    job.step = Step::Starting;
    job.deadline = Clock::now() + kStartWait;
    job.client = client;
    mJobs.push_back(std::move(job));
}

void CServerControl::beginStop(Purpose purpose, AppServerProcess& record, ClientId client,
                               const std::string& command)
{
    record.mHeld = true;
    mJobs.emplace_back();
    Job& job = mJobs.back();
    job.purpose = purpose;
    job.host = record.mHost;
    job.port = record.mPort;
    job.pid = record.mPid;
    job.step = Step::Requesting;
    job.client = client;
    job.command = command;
    job.sendStatus = std::make_shared<int>(ERROR_NONE);
    job.requested = std::make_shared<bool>(false);

    if (purpose == Purpose::Stop || purpose == Purpose::Restart)
        KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu: %s by operator", job.host.c_str(), job.port,
                   purpose == Purpose::Stop ? "stop" : "restart");

    // Only the connect and the request run in a thread (the connect may take
    // its 10 s); it reports by closing its end of the pipe.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        KXLogWrite(CLog::_pKXLog, "CServerControl: no pipe for the stop of [%s]:%hu (%s)",
                   job.host.c_str(), job.port, strerror(errno));
        terminate(job, record, Clock::now());
        return;
    }
    try {
        job.thread = std::thread([host = job.host, port = job.port, status = job.sendStatus,
                                  requested = job.requested, writeEnd = ends[1]]() mutable {
            KXStatus sendStatus = ERROR_NONE;
            *requested = SendShutdownRequest("GentleStopAS", host, port, sendStatus);
            *status = sendStatus;
            close(writeEnd);
        });
    } catch (std::system_error& e) {
        close(ends[0]);
        close(ends[1]);
        KXLogWrite(CLog::_pKXLog, "CServerControl: no thread for the stop of [%s]:%hu (%s)",
                   job.host.c_str(), job.port, e.what());
        terminate(job, record, Clock::now());
        return;
    }
    job.doneFd = ends[0];
}

void CServerControl::terminate(Job& job, AppServerProcess& record, Clock::time_point now)
{
    // An unreaped child of ours with this pid: the signal cannot reach another process.
    if (record.mPid == job.pid && record.mState == ServerState::Running)
        record.terminate(SIGTERM);
    job.step = Step::Terminating;
    job.deadline = now + kKillWait;
}

bool CServerControl::advance(Job& job, Clock::time_point now)
{
    AppServerProcess* record = find(job.host, job.port);
    std::string name = FormatEndpoint(job.host, job.port);

    if (job.step == Step::Starting) {
        if (record == nullptr) {
            if (job.purpose == Purpose::Roll)
                finishReloadStep("removed " + name + "\n");
            else
                replyTo(job.client, "ERROR " + name + " was removed by a reload\n", true);
            return true;
        }
        // A server that ends at once was still started; its end is logged.
        bool started = job.started || (Runs(*record) && record->mPid != job.pid);
        if (!started && now < job.deadline)
            return false;
        std::string line = started ? name + " started, pid " + std::to_string(record->mPid) + "\n"
                                   : "ERROR " + name + " did not start within 5 s (see the log)\n";
        if (job.purpose == Purpose::Roll) {
            finishReloadStep(started ? "restarted " + name + "\n" : line.substr(6));
            return true;
        }
        replyTo(job.client, started ? line + "OK\n" : line, true);
        return true;
    }

    bool ended = record == nullptr || record->mPid != job.pid || !Runs(*record);
    if (ended) {
        if (job.thread.joinable() && job.doneFd >= 0)
            return false;  // the request thread is about to finish; it reports soon
        switch (job.purpose) {
        case Purpose::Stop:
            KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu stopped by operator", job.host.c_str(),
                       job.port);
            replyTo(job.client, name + " stopped by operator\nOK\n", true);
            return true;
        case Purpose::Remove:
            if (record != nullptr) {
                auto& table = mManager.mProcesses;
                table.erase(table.begin() + (record - table.data()));
            }
            finishReloadStep("removed " + name + "\n");
            return true;
        case Purpose::Roll:
            if (record != nullptr)
                record->mCommand = job.command;
            [[fallthrough]];
        case Purpose::Restart:
            if (record == nullptr) {
                replyTo(job.client, "ERROR " + name + " is gone\n", true);
                return true;
            }
            beginStart(*record, 0, job.purpose);
            mJobs.back().client = job.client;
            mJobs.back().pid = job.pid;
            return true;
        case Purpose::Start:
            return true;
        }
    }
    if (mShutdown)
        return false;  // the full stop takes over; nothing is signalled from here
    if (job.step == Step::Waiting && now >= job.deadline) {
        KXLogWrite(CLog::_pKXLog,
                   "Failed to shut down application server at [%s]:%hu after %d sec. (%d)",
                   job.host.c_str(), job.port, static_cast<int>(kStopWait.count()),
                   *job.sendStatus);
        terminate(job, *record, now);
    } else if (job.step == Step::Terminating && now >= job.deadline) {
        if (record->mState == ServerState::Stopping && record->mPid == job.pid) {
            kill(job.pid, SIGKILL);
            KXLogWrite(CLog::_pKXLog, "Server [%s]:%hu: killed \"%s\" (pid %d) after 5 s",
                       job.host.c_str(), job.port, record->mCommand.c_str(),
                       static_cast<int>(job.pid));
        }
        job.step = Step::Killing;
        job.deadline = Clock::time_point::max();
    }
    return false;
}

void CServerControl::handleReload(ClientId client)
{
    if (mReload) {
        replyTo(client, "ERROR a reload is in progress\n", true);
        return;
    }
    mNotifier.reloading();
    std::vector<AppServerProcess> table;
    try {
        table = mManager.loadTable(true);
    } catch (std::exception& e) {
        KXLogWrite(CLog::_pKXLog, "Reload failed, nothing changed: %s", e.what());
        mNotifier.ready();
        replyTo(client, std::string("ERROR ") + e.what() + "\n", true);
        return;
    }

    mReload = std::make_unique<Reload>();
    mReload->client = client;
    std::string lines;
    for (AppServerProcess& fresh : table) {
        std::string name = FormatEndpoint(fresh.mHost, fresh.mPort);
        AppServerProcess* record = find(fresh.mHost, fresh.mPort);
        if (record == nullptr) {
            KXLogWrite(CLog::_pKXLog, "Reload: new server [%s]:%hu", fresh.mHost.c_str(),
                       fresh.mPort);
            lines += "added " + name + "\n";
            ++mReload->added;
            mManager.mProcesses.push_back(fresh);
        } else if (record->mCommand != fresh.mCommand) {
            KXLogWrite(CLog::_pKXLog, "Reload: command line of [%s]:%hu changed: \"%s\"",
                       fresh.mHost.c_str(), fresh.mPort, fresh.mCommand.c_str());
            ++mReload->changed;
            Job* job = jobFor(fresh.mHost, fresh.mPort);
            if (record->mState == ServerState::Running && !record->mHeld && job == nullptr) {
                mReload->rolling.push_back({fresh.mHost, fresh.mPort, fresh.mCommand});
            } else {
                // Not running: its next start takes the new command.
                record->mCommand = fresh.mCommand;
                if (job != nullptr)
                    job->command = fresh.mCommand;
                lines += "changed " + name + "\n";
            }
        } else {
            ++mReload->unchanged;
        }
    }
    // What the new table no longer has goes, gently when it runs.
    auto& records = mManager.mProcesses;
    for (size_t i = 0; i < records.size();) {
        AppServerProcess& record = records[i];
        bool kept = std::any_of(table.begin(), table.end(), [&](const AppServerProcess& fresh) {
            return fresh.mHost == record.mHost && fresh.mPort == record.mPort;
        });
        // The records just appended at the end are new, not gone.
        bool added = i >= records.size() - mReload->added;
        if (kept || added) {
            ++i;
            continue;
        }
        ++mReload->removed;
        KXLogWrite(CLog::_pKXLog, "Reload: server [%s]:%hu removed", record.mHost.c_str(),
                   record.mPort);
        Job* job = jobFor(record.mHost, record.mPort);
        if (job != nullptr) {
            replyTo(job->client, "ERROR the server was removed by a reload\n", true);
            job->client = 0;
            if (job->step != Step::Starting) {
                job->purpose = Purpose::Remove;
                ++i;
                continue;
            }
        }
        if (record.mState == ServerState::Running) {
            beginStop(Purpose::Remove, record, 0);
            ++i;
            continue;
        }
        if (Runs(record)) {
            ++i;  // already being signalled; its job removes it
            continue;
        }
        lines += "removed " + FormatEndpoint(record.mHost, record.mPort) + "\n";
        records.erase(records.begin() + static_cast<long>(i));
    }
    replyTo(client, lines, false);
    checkReload();
}

void CServerControl::nextRollingRestart()
{
    if (!mReload)
        return;
    for (const Job& job : mJobs)
        if (job.purpose == Purpose::Roll)
            return;  // one at a time: the pool keeps serving
    while (!mReload->rolling.empty()) {
        Rolling next = mReload->rolling.front();
        const std::string& host = next.host;
        unsigned short port = next.port;
        const std::string& command = next.command;
        mReload->rolling.erase(mReload->rolling.begin());
        AppServerProcess* record = find(host, port);
        if (record == nullptr)
            continue;
        if (record->mState == ServerState::Running && !record->mHeld &&
            jobFor(host, port) == nullptr) {
            beginStop(Purpose::Roll, *record, 0, command);
            return;
        }
        record->mCommand = command;
        replyTo(mReload->client, "changed " + FormatEndpoint(host, port) + "\n", false);
    }
}

void CServerControl::finishReloadStep(const std::string& line)
{
    if (mReload)
        replyTo(mReload->client, line, false);
}

void CServerControl::checkReload()
{
    if (!mReload)
        return;
    nextRollingRestart();
    if (!mReload->rolling.empty())
        return;
    for (const Job& job : mJobs)
        if (job.purpose == Purpose::Roll || job.purpose == Purpose::Remove)
            return;
    std::string summary = std::to_string(mReload->added) + " added, " +
                          std::to_string(mReload->removed) + " removed, " +
                          std::to_string(mReload->changed) + " changed, " +
                          std::to_string(mReload->unchanged) + " unchanged";
    KXLogWrite(CLog::_pKXLog, "Reload: %s", summary.c_str());
    mNotifier.ready();
    replyTo(mReload->client, summary + "\nOK\n", true);
    mReload.reset();
}

void CServerControl::prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline)
{
    size_t before = fds.size();
    if (mChannel)
        mChannel->prepare(fds, deadline);
    mChannelFds = fds.size() - before;

    mPolledJobs.clear();
    time_t wall = time(nullptr);
    for (Job& job : mJobs) {
        if (job.doneFd >= 0) {
            fds.push_back({job.doneFd, POLLIN, 0});
            mPolledJobs.push_back(&job);
        }
        // A server started by the pass just before this wait is there now.
        if (job.step == Step::Starting) {
            AppServerProcess* record = find(job.host, job.port);
            if (record != nullptr && Runs(*record) && record->mPid != job.pid)
                job.started = true;
            if (record == nullptr || job.started)
                deadline = Clock::now();
        }
        if (job.deadline < deadline)
            deadline = job.deadline;
    }

    unsigned running = 0, throttled = 0, stopped = 0;
    for (const AppServerProcess& record : mManager.processes()) {
        if (record.mState == ServerState::Running && !record.mHeld)
            ++running;
        else if (!Runs(record) && !record.mHeld && record.throttled(wall))
            ++throttled;
        else
            ++stopped;
    }
    mNotifier.status(running, throttled, stopped);
}

void CServerControl::dispatch(struct pollfd* fds, size_t count, Clock::time_point now)
{
    size_t channelFds = std::min(count, mChannelFds);
    for (size_t i = 0; i < mPolledJobs.size() && channelFds + i < count; ++i) {
        Job& job = *mPolledJobs[i];
        if (fds[channelFds + i].revents == 0)
            continue;
        job.thread.join();
        close(job.doneFd);
        job.doneFd = -1;
        AppServerProcess* record = find(job.host, job.port);
        bool runs = record != nullptr && record->mPid == job.pid &&
                    record->mState == ServerState::Running;
        if (runs && *job.requested) {
            job.step = Step::Waiting;
            job.deadline = now + kStopWait;
        } else if (runs && !mShutdown) {
            // No connection: as in the full stop, the hard stop follows at once.
            terminate(job, *record, now);
        }
    }
    mPolledJobs.clear();

    for (auto it = mJobs.begin(); it != mJobs.end();) {
        // advance may append a job (a restart's start); the list keeps `it` valid.
        if (advance(*it, now)) {
            if (it->thread.joinable())
                it->thread.join();
            if (it->doneFd >= 0)
                close(it->doneFd);
            it = mJobs.erase(it);
        } else {
            ++it;
        }
    }

    checkReload();

    if (mChannel)
        mChannel->dispatch(fds, channelFds, now);
}
