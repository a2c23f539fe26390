#include "service/ApplicationServerService.h"

#include <unistd.h>

#include "config/TarvelEnv.h"
#include "foundation/Exceptions.h"
#include "foundation/Log.h"

CApplicationServerService::CApplicationServerService()
    : CDaemon("TARVEL", "tarvel Application Server",
              "Controls the local Tarvel application server processes")
{
}

// The manager's destructor sends SIGTERM to every server still marked
// running, so a service left by an exception does not leave servers behind.
CApplicationServerService::~CApplicationServerService() = default;

int CApplicationServerService::run(const std::vector<std::string>& args)
{
    if (CDaemon::run(args) != 0)
        throw CException("CService::run() failed");

    // The servers inherit the working directory: they run in the installation.
    std::string baseDir = CTarvelEnv::baseDir();
    if (chdir(baseDir.c_str()) != 0)
        throw CException("CApplicationServerService::run(): error changing directory to " + baseDir);

    mManager.buildTables();

    // Each pass starts what is not running and then sleeps up to a second;
    // any handled signal (a server's SIGCHLD, a stop signal) cuts the sleep
    // short. A failing pass is logged and the loop goes on: the service must
    // keep supervising whatever else it can.
    while (!serviceStopped()) {
        CatchWIException("CApplicationServerService::run", [this] {
            mManager.startServers();
            mManager.waitAndUpdateTerminated(1000);
        });
    }

    mManager.gentleStopServers();
    mManager.stopServers();

    logReceivedSignals();
    KXLogWrite(CLog::_pKXLog, "TARVEL service stops");
    return 0;
}
