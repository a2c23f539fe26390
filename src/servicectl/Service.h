// What a controller knows of a service (IService), a service's identity
// (CServiceBase), and the base of every service that runs as a Unix daemon
// (CDaemon): termination signals are read by the service's own thread and
// become a process-wide stop flag (see Signals.h).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class IService {
public:
    // Nothing in this system reads the start type; every service starts as
    // START_AUTOMATIC.
    enum StartType { START_BOOT = 0, START_AUTOMATIC = 1, START_MANUAL = 2, START_DISABLED = 3 };

    virtual int run(const std::vector<std::string>& args) = 0;
    virtual const std::string& getName() const = 0;
    virtual const std::string& getDisplayName() const = 0;
    virtual const std::string& getDescription() const = 0;
    virtual StartType getStartType() const = 0;
    virtual void setStartType(StartType startType) = 0;
    virtual std::string getUsage() = 0;
    virtual bool serviceStopped() = 0;
    virtual void installSignalHandlers() = 0;

protected:
    // Controllers never own their services, so they never delete through
    // this interface.
    ~IService() = default;
};

class CServiceBase : public IService {
public:
    CServiceBase(const std::string& name, const std::string& displayName,
                 const std::string& description);
    virtual ~CServiceBase();

    int run(const std::vector<std::string>& args) override;
    const std::string& getName() const override { return mName; }
    const std::string& getDisplayName() const override { return mDisplayName; }
    const std::string& getDescription() const override { return mDescription; }
    StartType getStartType() const override { return mStartType; }
    void setStartType(StartType startType) override { mStartType = startType; }
    std::string getUsage() override;
    bool serviceStopped() override = 0;
    void installSignalHandlers() override;

private:
    std::string mName;
    std::string mDisplayName;
    std::string mDescription;
    StartType mStartType = START_AUTOMATIC;
};

class CDaemon : public CServiceBase {
public:
    CDaemon(const std::string& name, const std::string& displayName,
            const std::string& description);
    ~CDaemon() override;

    // Sets up the service's signals (servicectl::WatchSignals); a service's
    // run calls this first, before it creates threads or children. Returns 0.
    int run(const std::vector<std::string>& args) override;
    // The process-wide stop flag, after reading the pending signals (see
    // logReceivedSignals).
    bool serviceStopped() override;
    // Blocks SIGCHLD and the termination signals and installs the handler of
    // SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGINT, SIGPWR, SIGSEGV and SIGTERM; a
    // failure is logged.
    void installSignalHandlers() override;

    // Reads the pending signals; the "Signal received: %d" line of each is
    // written here, on the service's own thread, where taking the log's lock
    // and allocating are safe. Call it before the service's last log line so
    // that no received signal goes unlogged.
    void logReceivedSignals();

    pid_t getPid() const { return mPid; }
    // Set by the daemon controller in the forked daemon process.
    void setPid(pid_t pid) { mPid = pid; }

    // The service calls this once it is up (for the application server
    // service: after the first start of its servers). It runs the hooks that
    // were added, in order, the first time only; later calls do nothing.
    void serviceReady();
    // A hook for serviceReady: the controller's report to the process that
    // started the daemon, a service manager's readiness notification.
    void addReadyHook(std::function<void()> hook);
    // What the service says once it is up, before serviceReady: a line for
    // the caller of -start (empty: none), and whether it is fully up (the
    // caller exits 0) or only partly (exit 1; the service runs on).
    void setReadyReport(const std::string& line, bool complete);
    const std::string& readyLine() const { return mReadyLine; }
    bool readyComplete() const { return mReadyComplete; }

    // Where a detached daemon's own standard output and error go; the
    // default is /dev/null.
    virtual std::string getOutputFile();
    // Called in the detached daemon process before run: a service whose
    // children print can send their output to files of their own.
    virtual void prepareDetached();

private:
    pid_t mPid = 0;
    std::vector<std::function<void()>> mReadyHooks;
    bool mReady = false;
    std::string mReadyLine;
    bool mReadyComplete = true;
};

// argv[0] .. argv[argc-1], in order.
std::vector<std::string> makeServiceArguments(int argc, char** argv);
