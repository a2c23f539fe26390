// The Unix service controller: a service is started as a daemon by forking
// this process, tracked in the shared PID list, stopped by signals, or run
// in the foreground.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "foundation/Exceptions.h"
#include "foundation/StopTimes.h"
#include "servicectl/DaemonStart.h"
#include "servicectl/Service.h"
#include "servicectl/ServiceController.h"

namespace servicectl {
class InstallationLock;
class StartChannel;
}

// What -stop throws when no service of this installation runs: the program
// reports it like any failure, but exits 0, since stopping a stopped service
// is no failure (as for LSB init scripts and systemctl).
class CNothingToStop : public CServiceException {
public:
    using CServiceException::CServiceException;
};

class CDaemonController : public CServiceControllerBase {
public:
    CDaemonController();
    ~CDaemonController() override;

    void registerService(IService* service) override;
    IService* getService(const std::string& name) const override;
    // Forks the daemon, which detaches and reports when it is up. In the
    // calling process: waits for that report and returns the daemon's pid;
    // a daemon that failed is reported on standard error with its own error
    // line (exit status 1) or by an exception. The daemon process itself
    // never returns from here (it exits with its run's result).
    int startService(const std::string& name, const std::vector<std::string>& args) override;
    // Stops the daemon if one runs, then starts it.
    int restartService(const std::string& name, const std::vector<std::string>& args) override;
    // Stops this installation's service; throws CNothingToStop when none runs.
    void stopService(const std::string& name) override;
    int startServiceConsole(const std::string& name,
                            const std::vector<std::string>& args) override;
    void run(CCmdLine& commandLine) override;
    void run(int argc, char** argv) override;
    std::string getStatus() const override;
    // Exit status 0 when a daemon of this installation runs, 1 when only
    // entries of ended daemons are listed, 3 when none of ours is listed,
    // 4 when a live entry cannot be checked (no permission).
    int showStatus() override;
    void installServices() override;
    void uninstallServices() override;
    void runService(const std::string& name) override;

    static CDaemon* getDaemonByName(const std::string& name);

    // One service per installation: the running service (daemon or
    // -console) holds the lock in `runDir` (see InstallationLock.h) for its
    // whole life, a second one is refused with the pid of the first, and
    // -status, -stop and -restart find the holder whatever file it was
    // started from; -console joins the PID list like a daemon. Without a
    // call, only the PID list is consulted and -console runs unlisted.
    void setInstallationLock(const std::string& runDir) { mRunDir = runDir; }
    // How long -start waits for the daemon to say it is up (default
    // kStartReportLimit); a service whose start takes longer sets more.
    void setStartReportLimit(std::chrono::seconds limit) { mStartReportLimit = limit; }
    // How long -stop gives the daemon to stop its servers before SIGKILL
    // (default stoptimes::kServiceStopLimit); longer stop times set more.
    void setStopLimit(std::chrono::seconds limit) { mStopLimit = limit; }

private:
    // Takes the installation's lock (when one was set); throws "Service
    // already started (pid N)" for `place` when another process holds it.
    void takeLock(servicectl::InstallationLock& lock, const char* place) const;
    // The holder of the installation's lock when it serves our TARVEL; else 0.
    pid_t lockHolder() const;

    // Tells on standard error, with exit status 1, that the stopped daemon
    // was killed or that its own run failed.
    void reportStop(const std::string& name, pid_t pid, bool killed);
    // The status text and its exit status, from one reading of the list.
    std::string readStatus(int& exitStatus) const;
    int awaitDaemon(servicectl::StartChannel& channel, pid_t pid, const std::string& name);

    // argv and the option names left by the program entry; for runService.
    std::vector<std::string> mArguments;
    std::string mRunDir;
    std::chrono::seconds mStartReportLimit = servicectl::kStartReportLimit;
    std::chrono::seconds mStopLimit = stoptimes::kServiceStopLimit;
    static std::map<std::string, CDaemon*> mDaemons;
};

// True when `pid` is a daemon of this installation: a live process (not a
// zombie) running this executable with our TARVEL (see DaemonIdentity.h).
// Never true for pid <= 0.
bool isDaemonPIDAlive(int pid);
