// The Unix service controller: a service is started as a daemon by forking
// this process, tracked in the shared PID list, stopped by signals, or run
// in the foreground.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "servicectl/Service.h"
#include "servicectl/ServiceController.h"

namespace servicectl {
class StartChannel;
}

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

private:
    // The status text and its exit status, from one reading of the list.
    std::string readStatus(int& exitStatus) const;
    int awaitDaemon(servicectl::StartChannel& channel, pid_t pid, const std::string& name);

    // argv and the option names left by the program entry; for runService.
    std::vector<std::string> mArguments;
    static std::map<std::string, CDaemon*> mDaemons;
};

// True when `pid` is a daemon of this installation: a live process (not a
// zombie) running this executable with our TARVEL (see DaemonIdentity.h).
// Never true for pid <= 0.
bool isDaemonPIDAlive(int pid);
