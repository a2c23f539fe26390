// What the control channel can ask of the running service: the table of
// servers, stopping, starting and restarting one server, and reloading the
// configuration. It runs on the service thread as a source of the one wait,
// so the table has one owner. A server is stopped as in the full stop (the
// shutdown request, 30 s for its end, SIGTERM, then SIGKILL), but only the
// request's connect runs in a thread: the wait for the end is a deadline of
// the loop, so supervision of every other server goes on meanwhile.
#pragma once

#include <chrono>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "appserver/AppServerManager.h"
#include "appserver/ControlServer.h"
#include "appserver/EventLoop.h"
#include "appserver/ServerStatus.h"

class CSystemdNotifier;

class CServerControl : public LoopSource {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::chrono::seconds kStopWait{30};    // for the end after the request
    static constexpr std::chrono::seconds kKillWait{5};     // after SIGTERM, before SIGKILL
    static constexpr std::chrono::seconds kStartWait{5};    // for a started server to run

    CServerControl(CAppServerManager& manager, CSystemdNotifier& notifier);
    // Waits for the request threads still connecting (at most their 10 s).
    ~CServerControl() override;
    CServerControl(const CServerControl&) = delete;
    CServerControl& operator=(const CServerControl&) = delete;

    // Opens the control socket in runDir; when that fails the service runs
    // on without a channel, with a log line that says why.
    void open(const std::string& runDir);
    // The service stops: every pending operation is answered with an error
    // and no server is signalled from here any more; the full stop takes over.
    void shutdown();

    // The table as the channel shows it, in table order.
    std::vector<ServerStatus> snapshot(time_t now) const;

    void prepare(std::vector<struct pollfd>& fds, Clock::time_point& deadline) override;
    void dispatch(struct pollfd* fds, size_t count, Clock::time_point now) override;

private:
    using ClientId = CControlServer::ClientId;

    enum class Purpose { Stop, Restart, Remove, Roll, Start };
    enum class Step { Requesting, Waiting, Terminating, Killing, Starting };
    struct Job {
        Purpose purpose;
        std::string host;
        unsigned short port;
        pid_t pid;                 // the process being stopped (or the last one, for Start)
        Step step;
        Clock::time_point deadline = Clock::time_point::max();
        int doneFd = -1;           // read end; the request thread closes the write end
        std::thread thread;
        std::shared_ptr<int> sendStatus;  // written by the thread before it closes its end
        std::shared_ptr<bool> requested;
        ClientId client = 0;       // 0: nobody waits for this job
        bool started = false;      // a new process was seen running (Starting)
        std::string command;       // the new command line of a rolling restart
    };
    struct Rolling {
        std::string host;
        unsigned short port;
        std::string command;
    };
    struct Reload {
        ClientId client = 0;
        std::vector<Rolling> rolling;  // restarts not yet begun, in table order
        unsigned added = 0, removed = 0, changed = 0, unchanged = 0;
    };

    void handle(ClientId client, const std::string& request);
    void handleServers(ClientId client, bool json);
    void handleOne(ClientId client, const std::string& verb, const std::string& endpoint);
    void handleReload(ClientId client);

    AppServerProcess* find(const std::string& host, unsigned short port);
    Job* jobFor(const std::string& host, unsigned short port);
    // Begins the gentle stop of a running record; the job ends with its end.
    void beginStop(Purpose purpose, AppServerProcess& record, ClientId client,
                   const std::string& command = std::string());
    void beginStart(AppServerProcess& record, ClientId client, Purpose purpose);
    // Moves the job on; true when it is finished and can go.
    bool advance(Job& job, Clock::time_point now);
    void terminate(Job& job, AppServerProcess& record, Clock::time_point now);
    // A line of progress to the caller of the reload.
    void finishReloadStep(const std::string& line);
    // Begins the next rolling restart; answers the reload when nothing is left.
    void checkReload();
    void nextRollingRestart();
    void replyTo(ClientId client, const std::string& lines, bool last);

    CAppServerManager& mManager;
    CSystemdNotifier& mNotifier;
    std::unique_ptr<CControlServer> mChannel;
    std::list<Job> mJobs;
    std::unique_ptr<Reload> mReload;
    bool mShutdown = false;
    size_t mChannelFds = 0;     // how many of the last prepare's fds are the channel's
    std::vector<Job*> mPolledJobs;
};
