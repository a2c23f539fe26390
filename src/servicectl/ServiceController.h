// The command-line front of the service framework: reads one switch, picks
// the service it applies to and calls the matching operation. Starting,
// stopping and status depend on the platform and are left to a subclass.
#pragma once

#include <string>
#include <vector>

#include "foundation/CmdLine.h"
#include "servicectl/Service.h"

class IServiceController {
public:
    virtual void registerService(IService* service) = 0;
    virtual IService* getService(const std::string& name) const = 0;
    virtual int startService(const std::string& name, const std::vector<std::string>& args) = 0;
    virtual void stopService(const std::string& name) = 0;
    virtual int restartService(const std::string& name, const std::vector<std::string>& args) = 0;
    virtual int startServiceConsole(const std::string& name,
                                    const std::vector<std::string>& args) = 0;
    virtual void run(CCmdLine& commandLine) = 0;
    virtual void run(int argc, char** argv) = 0;
    virtual std::string getStatus() const = 0;
    virtual void installServices() = 0;
    virtual void uninstallServices() = 0;
    virtual void runService(const std::string& name) = 0;
    virtual std::string getUsage(const std::string& programName) const = 0;
    virtual std::string getControllerUsage() const = 0;
    virtual std::string getServiceUsage(const std::string& name) const = 0;

protected:
    ~IServiceController() = default;
};

class CServiceControllerBase : public IServiceController {
public:
    // Action codes returned by parseOptions.
    enum Action {
        ACTION_NONE = 0,
        ACTION_INSTALL = 1,
        ACTION_UNINSTALL = 2,
        ACTION_START = 3,
        ACTION_STOP = 4,
        ACTION_RESTART = 5,
        ACTION_CONSOLE = 6,
        ACTION_SYSTEM_START = 7,
        ACTION_STATUS = 8
    };

    static constexpr const char* INSTALL_SWITCH = "-install";
    static constexpr const char* UNINSTALL_SWITCH = "-remove";
    static constexpr const char* START_SWITCH = "-start";
    static constexpr const char* STOP_SWITCH = "-stop";
    static constexpr const char* RESTART_SWITCH = "-restart";
    static constexpr const char* CONSOLE_SWITCH = "-console";
    static constexpr const char* SYSTEM_START_SWITCH = "-runservice";
    static constexpr const char* STATUS_SWITCH = "-status";
    static constexpr const char* SERVICE_SWITCH = "-service";  // not parsed

    // Throws CException when a controller was ever constructed before in
    // this process: there is one controller per process.
    CServiceControllerBase();
    virtual ~CServiceControllerBase();
    CServiceControllerBase(const CServiceControllerBase&) = delete;
    CServiceControllerBase& operator=(const CServiceControllerBase&) = delete;

    int restartService(const std::string& name, const std::vector<std::string>& args) override;
    void run(CCmdLine& commandLine) override;
    void run(int argc, char** argv) override;
    std::string getUsage(const std::string& programName) const override;
    std::string getControllerUsage() const override;
    std::string getServiceUsage(const std::string& name) const override;

    // Pops the first switch found and returns its action code (ACTION_NONE
    // when there is none); a switch's value goes to serviceName.
    virtual int parseOptions(CCmdLine& commandLine, std::string& serviceName);
    // Hook for subclasses with options of their own; returns false.
    virtual bool parseOption(const std::vector<std::string>& args,
                             std::vector<std::string>::const_iterator& position);
    virtual void registerServiceName(const std::string& name);
    // Writes getStatus() to standard output and returns the exit status
    // that the status query ends with; 0 here.
    virtual int showStatus();

    // The exit status for the program after run(): that of the status
    // query, 1 after an unknown switch, -install, -remove or a daemon that
    // reported its failure to start, else 0 (other failures are exceptions).
    int getExitStatus() const { return mExitStatus; }

    bool isServiceRegistered(const std::string& name) const;

    // The options the program entry takes for itself (-debug, -log ...).
    // With no switch on the command line, any other option is reported as
    // an unknown switch.
    void setEntryOptions(const std::vector<std::string>& names) { mEntryOptions = names; }

protected:
    void setExitStatus(int status) { mExitStatus = status; }

    std::vector<std::string> mServiceNames;
    std::vector<std::string> mEntryOptions;
    int mExitStatus = 0;
    static CServiceControllerBase* mSingleInstance;
};

// Appends one usage line to `text`: `left` right-aligned to 34 columns (a
// longer one is not cut), then `description` and a line end.
void AppendUsageLine(std::string& text, const std::string& left, const char* description);
